#include "platform/linux/desktops/PowerDevilLidOwner.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/linux/desktops/LidRecord.hpp"

namespace noctave::linuxos::desktops {

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

std::string trim(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

// A KConfig file as its lines, each with its line feed, so what is not edited is written
// back byte for byte.
class KConfigLines {
  public:
    explicit KConfigLines(const std::string& text) {
        std::size_t start = 0;
        while (start < text.size()) {
            const auto end = text.find('\n', start);
            const auto stop = end == std::string::npos ? text.size() : end + 1;
            lines_.push_back(text.substr(start, stop - start));
            start = stop;
        }
    }

    std::string text() const {
        std::string out;
        for (const auto& line : lines_) {
            out += line;
        }
        return out;
    }

    SettingValue get(const std::string& group, const std::string& key) const {
        const auto [header, end] = groupRange(group);
        if (header < 0) {
            return std::nullopt;
        }
        const auto line = keyLine(header, end, key);
        if (line < 0) {
            return std::nullopt;
        }
        const auto& text = lines_[static_cast<std::size_t>(line)];
        return trim(std::string_view(text).substr(text.find('=') + 1));
    }

    void set(const std::string& group, const std::string& key, const SettingValue& value) {
        auto [header, end] = groupRange(group);
        const auto line = header < 0 ? -1 : keyLine(header, end, key);
        if (value) {
            const std::string entry = key + "=" + *value + "\n";
            if (line >= 0) {
                lines_[static_cast<std::size_t>(line)] = entry;
            } else if (header >= 0) {
                lines_.insert(lines_.begin() + header + 1, entry);
            } else {
                if (!lines_.empty()) {
                    if (lines_.back().back() != '\n') {
                        lines_.back() += '\n';
                    }
                    lines_.emplace_back("\n");
                }
                lines_.push_back(group + "\n");
                lines_.push_back(entry);
            }
            return;
        }
        if (line < 0) {
            return;
        }
        lines_.erase(lines_.begin() + line);
        std::tie(header, end) = groupRange(group);
        for (auto i = header + 1; i < end; ++i) {
            if (!trim(lines_[static_cast<std::size_t>(i)]).empty()) {
                return;
            }
        }
        // The group held only this key: it was the stand-down's; remove it and the blank
        // line that separated it from the group before.
        auto first = header;
        if (first > 0 && trim(lines_[static_cast<std::size_t>(first - 1)]).empty()) {
            --first;
        }
        lines_.erase(lines_.begin() + first, lines_.begin() + end);
    }

  private:
    // The header's index and the index past the group's last line; -1 when there is none.
    std::pair<long, long> groupRange(const std::string& group) const {
        long header = -1;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const std::string line = trim(lines_[i]);
            if (header < 0) {
                if (line == group) {
                    header = static_cast<long>(i);
                }
            } else if (!line.empty() && line.front() == '[') {
                return {header, static_cast<long>(i)};
            }
        }
        return {header, static_cast<long>(lines_.size())};
    }

    long keyLine(long header, long end, const std::string& key) const {
        for (auto i = header + 1; i < end; ++i) {
            const auto& line = lines_[static_cast<std::size_t>(i)];
            const auto equals = line.find('=');
            if (equals != std::string::npos && trim(line.substr(0, equals)) == key) {
                return i;
            }
        }
        return -1;
    }

    std::vector<std::string> lines_;
};

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

}  // namespace noctave::linuxos::desktops
