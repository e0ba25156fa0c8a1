#include "platform/linux/lid/PowerDevilLidOwner.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/support/PrivateFiles.hpp"
#include "platform/linux/lid/KConfigFile.hpp"
#include "platform/linux/lid/LidRecord.hpp"

namespace noctave::linuxos::lid {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPowerDevil = "org.kde.Solid.PowerManagement";
constexpr const char* kPowerDevilPath = "/org/kde/Solid/PowerManagement";
constexpr const char* kButtons = "org.kde.Solid.PowerManagement.Actions.HandleButtonEvents";
constexpr const char* kButtonsPath = "/org/kde/Solid/PowerManagement/Actions/HandleButtonEvents";
constexpr double kTimeout = 5.0;
constexpr const char* kPlasma5File = "powermanagementprofilesrc";
constexpr const char* kPlasma6File = "powerdevilrc";
constexpr const char* kProfiles[] = {"AC", "Battery", "LowBattery"};
// A profiles file is a few kilobytes; a program is read only as far as its linked names.
constexpr std::size_t kFileLimit = 1024 * 1024;
constexpr std::size_t kProgramLimit = 64 * 1024 * 1024;
// Where distributions install the daemon.
constexpr const char* kPrograms[] = {
    "/usr/lib/x86_64-linux-gnu/libexec/org_kde_powerdevil",
    "/usr/lib/aarch64-linux-gnu/libexec/org_kde_powerdevil",
    "/usr/libexec/org_kde_powerdevil",
    "/usr/lib/libexec/org_kde_powerdevil",
    "/usr/lib64/libexec/org_kde_powerdevil",
};

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// The file's text; a missing file is an empty one. None, with `why`, when it cannot be read
// as a plain file (a FIFO, a folder, too large, unreadable).
std::optional<std::string> load(const fs::path& file, std::string* why) {
    auto text = files::readBoundedFile(file, kFileLimit, "1 MiB", files::Links::follow, why);
    if (!text && errno == ENOENT) {
        std::error_code error;
        if (!fs::exists(fs::symlink_status(file, error))) {
            return std::string();
        }
    }
    return text;
}

// "[AC][SuspendAndShutdown]" and "LidAction" for each profile of a layout.
struct Layout {
    const char* file;
    const char* group;
    const char* key;
};
Layout layoutOf(Plasma version) {
    return version == Plasma::six ? Layout{kPlasma6File, "][SuspendAndShutdown]", "LidAction"}
                                  : Layout{kPlasma5File, "][HandleButtonEvents]", "lidAction"};
}

// "powerdevilrc[AC][SuspendAndShutdown]LidAction" -> file, group and key; a key that names no
// file is in `unnamedFile`.
struct KeyName {
    std::string file;
    std::string group;
    std::string key;
};
KeyName splitKey(const std::string& name, const std::string& unnamedFile) {
    const auto open = name.find('[');
    const auto close = name.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return {unnamedFile, {}, name};
    }
    return {open == 0 ? unnamedFile : name.substr(0, open), name.substr(open, close + 1 - open),
            name.substr(close + 1)};
}

std::string actionName(const std::string& value) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"0", "nothing"},          {"1", "sleep"},
        {"2", "hibernate"},        {"4", "hybrid sleep"},
        {"8", "shut down"},        {"16", "log out dialog"},
        {"32", "lock the screen"}, {"64", "turn the screen off"}};
    for (const auto& [number, name] : kNames) {
        if (value == number) {
            return value + " (" + name + ")";
        }
    }
    return value;
}

std::optional<Plasma> plasmaOfText(const std::string& text) {
    if (text.find("libQt6Core") != std::string::npos) {
        return Plasma::six;
    }
    if (text.find("libQt5Core") != std::string::npos) {
        return Plasma::five;
    }
    return std::nullopt;
}

class PowerDevilLidOwner final : public LidOwner {
  public:
    PowerDevilLidOwner(PowerDevilFiles files, std::shared_ptr<DBusConnection> bus)
        : files_(std::move(files)), bus_(std::move(bus)) {}

    std::string program() const override { return "PowerDevil"; }
    std::string mechanism() const override {
        std::string names;
        for (const auto version : files_.versions) {
            names += std::string(names.empty() ? "" : " and ") +
                     (files_.configHome / layoutOf(version).file).string();
        }
        return "KConfig file " + names + " and PowerDevil's reload on the session bus";
    }
    std::string location() const override { return files_.configHome.string(); }
    std::vector<Key> keys() const override {
        std::vector<Key> keys;
        for (const auto version : files_.versions) {
            const Layout layout = layoutOf(version);
            for (const char* profile : kProfiles) {
                keys.push_back(
                    {std::string(layout.file) + "[" + profile + layout.group + layout.key, "0"});
            }
        }
        return keys;
    }

    bool read(const std::string& key, SettingValue& value) override {
        const KeyName name = splitKey(key, files_.unnamedFile);
        std::string why;
        const auto text = load(files_.configHome / name.file, &why);
        if (!text) {
            return false;
        }
        const auto entry = KConfigLines(*text).entry(name.group, name.key);
        value = entry ? SettingValue(entry->value) : std::nullopt;
        return true;
    }

    std::string refusal(const std::string& key) override {
        const KeyName name = splitKey(key, files_.unnamedFile);
        const fs::path file = files_.configHome / name.file;
        std::string why;
        const auto text = load(file, &why);
        if (!text) {
            return "cannot read " + file.string() + " (" + why + ")";
        }
        if (auto refused = KConfigLines(*text).refusal(name.group, name.key); !refused.empty()) {
            return refused + " in " + file.string();
        }
        const auto value = cascaded(name);
        if (!value.immutableIn.empty() && value.immutableIn != file) {
            return name.key + " in " + name.group + " is immutable in " +
                   value.immutableIn.string();
        }
        return {};
    }

    bool write(const std::string& key, const SettingValue& value) override {
        const KeyName name = splitKey(key, files_.unnamedFile);
        const fs::path file = files_.configHome / name.file;
        std::string why;
        const auto text = load(file, &why);
        if (!text) {
            return false;
        }
        KConfigLines lines(*text);
        if (!lines.refusal(name.group, name.key).empty()) {
            return false;
        }
        lines.set(name.group, name.key, value);
        const std::string updated = lines.text();
        std::error_code error;
        // A file kept elsewhere and linked here stays linked: the change goes to its target.
        const bool linked = fs::is_symlink(fs::symlink_status(file, error));
        error.clear();  // a missing file is one to create
        const fs::path target = linked ? fs::canonical(file, error) : file;
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

    LidAnswer answer() override {
        LidAnswer answer;
        // Every profile as KConfig gives it to PowerDevil, the system-wide files included: the
        // daemon answers only for the profile it runs now.
        for (const auto version : files_.versions) {
            const Layout layout = layoutOf(version);
            for (const char* profile : kProfiles) {
                const KeyName name{layout.file, std::string("[") + profile + layout.group,
                                   layout.key};
                const auto value = cascaded(name);
                answer.states.push_back({std::string(profile) + " (" + layout.file + ")",
                                         value.value
                                             ? name.key + "=" + actionName(*value.value)
                                             : name.key + " unset (PowerDevil's default: sleep)",
                                         value.value == "0"});
            }
        }
        if (!bus_ || bus_->nameHasOwner(kPowerDevil, kTimeout) != true) {
            answer.source = "PowerDevil is not running; its files as KConfig reads them";
            return answer;
        }
        int action = -1;
        const auto status = bus_->call(
            {kPowerDevil, kButtonsPath, kButtons, "lidAction"}, {},
            [&](sd_bus_message* m) { return sd_bus_message_read(m, "i", &action); }, kTimeout);
        if (!status.ok()) {
            answer.source = "PowerDevil did not answer lidAction() (" + status.describe() +
                            "); its files as KConfig reads them";
            return answer;
        }
        answer.states.insert(
            answer.states.begin(),
            {"now", "lidAction() = " + actionName(std::to_string(action)), action == 0});
        answer.source = "PowerDevil on the session bus, and its files as KConfig reads them";
        return answer;
    }

  private:
    KConfigValue cascaded(const KeyName& name) const {
        std::vector<std::pair<fs::path, KConfigLines>> files;
        for (auto dir = files_.systemDirs.rbegin(); dir != files_.systemDirs.rend(); ++dir) {
            std::string why;
            if (auto text = load(*dir / name.file, &why); text && !text->empty()) {
                files.emplace_back(*dir / name.file, KConfigLines(*text));
            }
        }
        std::string why;
        if (auto text = load(files_.configHome / name.file, &why)) {
            files.emplace_back(files_.configHome / name.file, KConfigLines(*text));
        }
        return cascade(files, name.group, name.key);
    }

    PowerDevilFiles files_;
    std::shared_ptr<DBusConnection> bus_;
};

}  // namespace

PowerDevilFiles PowerDevilFiles::ofSession() {
    PowerDevilFiles files;
    const std::string xdg = environment("XDG_CONFIG_HOME");
    files.configHome = !xdg.empty() && xdg.front() == '/'
                           ? fs::path(xdg)
                           : fs::path(environment("HOME")) / ".config";
    std::string dirs = environment("XDG_CONFIG_DIRS");
    if (dirs.empty()) {
        dirs = "/etc/xdg";
    }
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto end = std::min(dirs.find(':', start), dirs.size());
        if (end > start && dirs[start] == '/') {
            files.systemDirs.emplace_back(dirs.substr(start, end - start));
        }
        start = end + 1;
    }
    return files;
}

PowerDevilFiles PowerDevilFiles::ofLocation(const std::string& location) {
    PowerDevilFiles files = ofSession();
    const fs::path path(location);
    const bool isFile = path.filename() == kPlasma5File || path.filename() == kPlasma6File;
    files.configHome = isFile ? path.parent_path() : path;
    if (isFile) {
        files.unnamedFile = path.filename().string();
    }
    return files;
}

std::optional<Plasma> plasmaOfProcess(pid_t pid) {
    std::string why;
    const auto maps = files::readBoundedFile("/proc/" + std::to_string(pid) + "/maps",
                                             kProgramLimit, "64 MiB", files::Links::follow, &why);
    return maps ? plasmaOfText(*maps) : std::nullopt;
}

std::optional<Plasma> plasmaOfProgram(const fs::path& program) {
    std::string why;
    const auto text =
        files::readBoundedFile(program, kProgramLimit, "64 MiB", files::Links::follow, &why);
    return text ? plasmaOfText(*text) : std::nullopt;
}

std::optional<Plasma> plasmaOfFiles(const fs::path& configHome) {
    std::string why;
    const auto six = load(configHome / kPlasma6File, &why);
    const auto five = load(configHome / kPlasma5File, &why);
    // Profile groups: "[AC][...]" and its like.
    const auto hasProfiles = [](const std::optional<std::string>& text) {
        if (!text) {
            return false;
        }
        const KConfigLines lines(*text);
        for (const char* profile : kProfiles) {
            if (lines.hasGroupStartingWith(std::string("[") + profile + "][")) {
                return true;
            }
        }
        return false;
    };
    if (hasProfiles(six) ||
        (five && KConfigLines(*five).entry("[Migration]", "MigratedProfilesToPlasma6"))) {
        return Plasma::six;
    }
    if (hasProfiles(five)) {
        return Plasma::five;
    }
    return std::nullopt;
}

std::vector<Plasma> plasmaVersions(const fs::path& configHome,
                                   const std::shared_ptr<DBusConnection>& sessionBus) {
    std::optional<Plasma> version;
    if (sessionBus) {
        uint32_t pid = 0;
        const auto status = sessionBus->call(
            {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "GetConnectionUnixProcessID"},
            [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kPowerDevil); },
            [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &pid); }, kTimeout);
        if (status.ok() && pid != 0) {
            version = plasmaOfProcess(static_cast<pid_t>(pid));
        }
    }
    for (const char* program : kPrograms) {
        if (!version) {
            version = plasmaOfProgram(program);
        }
    }
    if (!version) {
        version = plasmaOfFiles(configHome);
    }
    if (!version) {
        return {Plasma::five, Plasma::six};
    }
    return {*version};
}

std::unique_ptr<LidOwner> makePowerDevilLidOwner(PowerDevilFiles files,
                                                 std::shared_ptr<DBusConnection> sessionBus) {
    return std::make_unique<PowerDevilLidOwner>(std::move(files), std::move(sessionBus));
}

}  // namespace noctave::linuxos::lid
