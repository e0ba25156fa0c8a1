#include "platform/linux/lid/PowerDevilLidOwner.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/linux/lid/KConfigFile.hpp"
#include "platform/linux/lid/LidRecord.hpp"

namespace noctave::linuxos::lid {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPowerDevil = "org.kde.Solid.PowerManagement";
constexpr const char* kPowerDevilPath = "/org/kde/Solid/PowerManagement";
constexpr double kTimeout = 5.0;

fs::path configHome() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "") / ".config";
}

// "[AC][HandleButtonEvents]lidAction" -> group "[AC][HandleButtonEvents]", key "lidAction".
std::pair<std::string, std::string> splitKey(const std::string& name) {
    const auto close = name.rfind(']');
    return {name.substr(0, close + 1), name.substr(close + 1)};
}

class PowerDevilLidOwner final : public LidOwner {
  public:
    PowerDevilLidOwner(fs::path file, std::shared_ptr<DBusConnection> bus)
        : file_(std::move(file)), bus_(std::move(bus)) {}

    std::string program() const override { return "PowerDevil"; }
    std::string mechanism() const override {
        return "KConfig file " + file_.string() + " and PowerDevil's reload on the session bus";
    }
    std::string location() const override { return file_.string(); }
    std::vector<Key> keys() const override {
        const bool plasma6 = file_.filename() == "powerdevilrc";
        const char* group = plasma6 ? "][SuspendAndShutdown]" : "][HandleButtonEvents]";
        const char* key = plasma6 ? "LidAction" : "lidAction";
        std::vector<Key> keys;
        for (const char* profile : {"AC", "Battery", "LowBattery"}) {
            keys.push_back({std::string("[") + profile + group + key, "0"});
        }
        return keys;
    }

    bool read(const std::string& key, SettingValue& value) override {
        std::string text;
        if (!load(text)) {
            return false;
        }
        const auto [group, name] = splitKey(key);
        value = KConfigLines(text).get(group, name);
        return true;
    }

    bool write(const std::string& key, const SettingValue& value) override {
        std::string text;
        if (!load(text)) {
            return false;
        }
        KConfigLines lines(text);
        const auto [group, name] = splitKey(key);
        lines.set(group, name, value);
        const std::string updated = lines.text();
        std::error_code error;
        // A file kept elsewhere and linked here stays linked: the change goes to its target.
        const bool linked = fs::is_symlink(fs::symlink_status(file_, error));
        error.clear();  // a missing file is one to create
        const fs::path target = linked ? fs::canonical(file_, error) : file_;
        if (error) {
            return false;
        }
        if (updated.empty()) {
            fs::remove(target, error);
            return !error;
        }
        fs::create_directories(target.parent_path(), error);
        // The user's file keeps its mode; a new one is private like every KConfig file.
        struct stat info {};
        const bool existed = ::stat(target.c_str(), &info) == 0;
        if (!writeDurably(target, updated)) {
            return false;
        }
        if (existed) {
            ::chmod(target.c_str(), info.st_mode & 07777);
        }
        return true;
    }

    bool reload() override {
        if (!bus_ || bus_->nameHasOwner(kPowerDevil, kTimeout) != true) {
            return true;  // a PowerDevil that starts later reads the file as it is
        }
        if (!bus_->call({kPowerDevil, kPowerDevilPath, kPowerDevil, "reparseConfiguration"}, {}, {},
                        kTimeout)
                 .ok()) {
            return false;
        }
        const auto status = bus_->call(
            {kPowerDevil, kPowerDevilPath, kPowerDevil, "loadProfile"},
            [](sd_bus_message* m) { return sd_bus_message_append(m, "b", 1); }, {}, kTimeout);
        return status.ok();
    }

  private:
    // The file's text; a missing file is an empty one.
    bool load(std::string& text) const {
        std::ifstream in(file_, std::ios::binary);
        if (!in) {
            std::error_code error;
            return !fs::exists(file_, error) && !error;
        }
        std::ostringstream buffer;
        buffer << in.rdbuf();
        text = buffer.str();
        return !in.bad();
    }

    fs::path file_;
    std::shared_ptr<DBusConnection> bus_;
};

}  // namespace

fs::path powerDevilProfilesFile() {
    const fs::path home = configHome();
    const char* version = std::getenv("KDE_SESSION_VERSION");
    std::error_code error;
    if ((version != nullptr && std::string(version) == "6") ||
        !fs::exists(home / "powermanagementprofilesrc", error)) {
        std::ifstream in(home / "powerdevilrc");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("[AC]", 0) == 0 || line.rfind("[Battery]", 0) == 0) {
                return home / "powerdevilrc";
            }
        }
        if (version != nullptr && std::string(version) == "6") {
            return home / "powerdevilrc";
        }
    }
    return home / "powermanagementprofilesrc";
}

std::unique_ptr<LidOwner> makePowerDevilLidOwner(fs::path file,
                                                 std::shared_ptr<DBusConnection> sessionBus) {
    return std::make_unique<PowerDevilLidOwner>(std::move(file), std::move(sessionBus));
}

}  // namespace noctave::linuxos::lid
