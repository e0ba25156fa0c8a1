#include "app/integration/LoginItem.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <sstream>
#include <string_view>
#include <system_error>

#include "core/os/Paths.hpp"
#include "core/os/System.hpp"
#include "core/support/Log.hpp"
#include "core/support/PrivateFiles.hpp"

namespace noctave::app::LoginItem {

namespace fs = std::filesystem;

namespace {

enum class Status { enabled, notRegistered };

// The platform's autostart folders, the user's first; read at every call, like the environment
// they come from.
std::vector<fs::path> autostartFolders() {
    return os::system().paths->autostartFolders();
}

fs::path userAutostart() {
    return autostartFolders().front();
}

std::optional<fs::path> systemEntry() {
    const auto folders = autostartFolders();
    for (const auto& folder : std::span(folders).subspan(1)) {
        std::error_code error;
        if (fs::is_regular_file(folder / kEntryName, error)) {
            return folder / kEntryName;
        }
    }
    return std::nullopt;
}

// An entry starts the program unless its [Desktop Entry] group hides it or switches it off.
// One that cannot be read (a FIFO, a folder, a huge file) starts nothing, and is never waited on.
bool entryStarts(const fs::path& entry) {
    constexpr std::size_t kEntryLimit = 64 * 1024;
    std::string why;
    const auto text =
        files::readBoundedFile(entry, kEntryLimit, "64 KiB", files::Links::follow, &why);
    if (!text) {
        return false;
    }
    std::istringstream file(*text);
    std::string line;
    bool inMainGroup = false;
    bool starts = true;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        while (!key.empty() && key.back() == ' ') {
            key.pop_back();
        }
        value.erase(0, value.find_first_not_of(' '));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            starts = false;
        }
    }
    return starts;
}

Status status() {
    const fs::path user = userAutostart() / kEntryName;
    std::error_code error;
    if (fs::exists(user, error)) {
        return entryStarts(user) ? Status::enabled : Status::notRegistered;
    }
    const auto system = systemEntry();
    return system && entryStarts(*system) ? Status::enabled : Status::notRegistered;
}

std::string describe(const std::string& what, const fs::path& path, int error) {
    return "Could not " + what + " \"" + path.string() + "\": " + std::strerror(error) + ".";
}

// Writes the user's entry through a temporary file and a rename, so the desktop never reads
// half an entry. An error description, or nothing on success.
std::optional<std::string> writeEntry(const std::string& contents) {
    const fs::path folder = userAutostart();
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        return "Could not create \"" + folder.string() + "\": " + error.message() + ".";
    }
    std::string temporary = (folder / (std::string(".") + kEntryName + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return describe("write in", folder, errno);
    }
    const auto fail = [&](const std::string& what, int code) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return describe(what, folder / kEntryName, code);
    };
    std::string_view left = contents;
    while (!left.empty()) {
        const ssize_t written = ::write(fd, left.data(), left.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return fail("write", errno);
        }
        left.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
        return fail("write", errno);
    }
    if (::close(fd) != 0) {
        ::unlink(temporary.c_str());
        return describe("write", folder / kEntryName, errno);
    }
    if (::rename(temporary.c_str(), (folder / kEntryName).c_str()) != 0) {
        const int code = errno;
        ::unlink(temporary.c_str());
        return describe("write", folder / kEntryName, code);
    }
    return std::nullopt;
}

std::optional<std::string> registerEntry() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return "Could not find the running program: " + error.message() + ".";
    }
    const auto exec = execValue(program);
    if (!exec) {
        return "The program's path \"" + program.string() + "\" cannot be started at login.";
    }
    return writeEntry(
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Noctave\n"
        "Comment=Keeps the laptop awake with its lid closed.\n"
        "Exec=" +
        *exec +
        "\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n");
}

std::optional<std::string> unregisterEntry() {
    // A system-wide entry of the same name would start us anyway: only a hidden entry of the
    // user's own overrides it.
    if (systemEntry()) {
        return writeEntry(
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Noctave\n"
            "Hidden=true\n");
    }
    const fs::path entry = userAutostart() / kEntryName;
    if (::unlink(entry.c_str()) != 0 && errno != ENOENT) {
        return describe("remove", entry, errno);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> execValue(const fs::path& program) {
    const std::string path = program.string();
    if (path.find_first_of("\n\r") != std::string::npos) {
        return std::nullopt;
    }
    // Arguments with reserved characters are double-quoted, with " ` $ \ escaped inside.
    constexpr std::string_view kReserved = " \t\"'\\><~|&;$*?#()`";
    std::string argument;
    if (path.find_first_of(kReserved) == std::string::npos) {
        argument = path;
    } else {
        argument = "\"";
        for (const char c : path) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') {
                argument += '\\';
            }
            argument += c;
        }
        argument += '"';
    }
    // Then the key's own rules: % starts a field code, and a backslash is itself escaped.
    std::string value;
    for (const char c : argument) {
        if (c == '%') {
            value += "%%";
        } else if (c == '\\') {
            value += "\\\\";
        } else {
            value += c;
        }
    }
    return value;
}

bool isEnabled() {
    return status() == Status::enabled;
}

void setEnabled(bool enabled) {
    const Status current = status();
    if (enabled) {
        if (current == Status::enabled) {
            Log::info("login item registered");
            return;
        }
        if (const auto error = registerEntry()) {
            Log::warn("login item change failed: " + *error);
            return;
        }
        Log::info("login item registered");
        return;
    }
    if (current != Status::enabled) {
        Log::info("login item removed");
        return;
    }
    if (const auto error = unregisterEntry()) {
        Log::warn("login item change failed: " + *error);
        return;
    }
    Log::info("login item removed");
}

}  // namespace noctave::app::LoginItem
