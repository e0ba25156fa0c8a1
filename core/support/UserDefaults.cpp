#include "core/support/UserDefaults.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <set>
#include <system_error>
#include <vector>

#include "core/os/Paths.hpp"
#include "core/os/System.hpp"
#include "core/support/Log.hpp"
#include "core/support/PrivateFiles.hpp"
#include "core/text/Iso8601.hpp"
#include "core/text/Utf8.hpp"

namespace noctave {

namespace fs = std::filesystem;

namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool validKey(std::string_view key) {
    if (key.empty()) {
        return false;
    }
    for (char c : key) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> unquote(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            return std::nullopt;
        }
        if (c == '\\') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            switch (text[++i]) {
                case '"':
                    c = '"';
                    break;
                case '\\':
                    c = '\\';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case 'x': {
                    // Two hex digits, still inside the closing quote.
                    if (i + 3 >= text.size()) {
                        return std::nullopt;
                    }
                    unsigned value = 0;
                    const auto [end, error] =
                        std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
                    if (error != std::errc{} || end != text.data() + i + 3) {
                        return std::nullopt;
                    }
                    c = static_cast<char>(value);
                    i += 2;
                    break;
                }
                default:
                    return std::nullopt;
            }
        }
        out += c;
    }
    return out;
}

std::string quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                // Other control characters (a remote notice id may hold a NUL) are escaped, so
                // the file stays text and every line reads back whole.
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    static constexpr char kHex[] = "0123456789abcdef";
                    out += "\\x";
                    out += kHex[static_cast<unsigned char>(c) >> 4];
                    out += kHex[static_cast<unsigned char>(c) & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

UserDefaults::UserDefaults(fs::path file) : file_(std::move(file)) {}

UserDefaults& UserDefaults::standard() {
    // One store per file, never released: each test's virtual laptop has its own file.
    static auto* stores = new std::map<fs::path, std::unique_ptr<UserDefaults>>();
    const fs::path file = os::system().paths->userDefaultsFile();
    std::lock_guard lock(registryMutex());
    auto& slot = (*stores)[file];
    if (!slot) {
        slot = std::make_unique<UserDefaults>(file);
    }
    return *slot;
}

namespace {

// One line of the file: nothing (blank or comment), a setting, or why it is not one.
struct Line {
    std::string_view key;  // empty for blank lines and comments
    std::optional<UserDefaults::Value> value;
    std::string error;  // set when the line is neither blank, a comment nor a setting
};

Line readLine(std::string_view raw) {
    Line result;
    const std::string_view line = trim(raw);
    if (line.empty() || line.front() == '#') {
        return result;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
        result.error = "expected key = value";
        return result;
    }
    const std::string_view key = trim(line.substr(0, equals));
    const std::string_view text = trim(line.substr(equals + 1));
    if (!validKey(key)) {
        result.error = "bad key";
        return result;
    }
    result.key = key;
    int64_t integer = 0;
    if (text == "true" || text == "false") {
        result.value = text == "true";
    } else if (!text.empty() && text.front() == '"') {
        if (auto string = unquote(text)) {
            result.value = std::move(*string);
        } else {
            result.error = "bad string";
        }
    } else if (auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), integer);
               !text.empty() && ec == std::errc{} && ptr == text.data() + text.size()) {
        result.value = integer;
    } else if (auto date = iso8601::parse(text)) {
        result.value = *date;
    } else {
        result.error = "unreadable value for " + std::string(key);
    }
    return result;
}

// Calls `visit(line, lineText)` for each line of `text`, the newline not included.
template <class Visit>
void forEachLine(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const auto end = text.find('\n');
        visit(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
}

}  // namespace

std::optional<std::map<std::string, UserDefaults::Value, std::less<>>> UserDefaults::parse(
    std::string_view text, std::string* error) {
    std::map<std::string, Value, std::less<>> values;
    int lineNumber = 0;
    bool failed = false;
    forEachLine(text, [&](std::string_view raw) {
        ++lineNumber;
        if (failed) {
            return;
        }
        Line line = readLine(raw);
        if (!line.error.empty()) {
            failed = true;
            if (error != nullptr) {
                *error = "line " + std::to_string(lineNumber) + ": " + line.error;
            }
        } else if (line.value) {
            values.insert_or_assign(std::string(line.key), std::move(*line.value));
        }
    });
    if (failed) {
        return std::nullopt;
    }
    return values;
}

std::string UserDefaults::serialize(const std::map<std::string, Value, std::less<>>& values) {
    std::string out =
        "# Noctave settings. You may edit this file; Noctave reads it again when it changes.\n";
    for (const auto& [key, value] : values) {
        out += key;
        out += " = ";
        if (const bool* b = std::get_if<bool>(&value)) {
            out += *b ? "true" : "false";
        } else if (const int64_t* i = std::get_if<int64_t>(&value)) {
            out += std::to_string(*i);
        } else if (const std::string* s = std::get_if<std::string>(&value)) {
            out += quote(*s);
        } else {
            out += iso8601::format(std::get<runtime::WallTime>(value));
        }
        out += '\n';
    }
    return out;
}

namespace {

constexpr std::size_t kMaxFileBytes = 1 << 20;

UserDefaults::Stamp stampOf(const fs::path& file) {
    UserDefaults::Stamp stamp;
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        return stamp;
    }
    stamp.exists = true;
    // The change time and inode too: a chmod that makes the file readable again, or a file
    // renamed into place within the same second and size, must be noticed.
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = static_cast<std::uintmax_t>(info.st_size);
    stamp.mtimeNs = info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec;
    stamp.ctimeNs = info.st_ctim.tv_sec * 1'000'000'000LL + info.st_ctim.tv_nsec;
    return stamp;
}

// The value as the file spells it.
std::string valueText(const UserDefaults::Value& value) {
    if (const bool* b = std::get_if<bool>(&value)) {
        return *b ? "true" : "false";
    }
    if (const int64_t* i = std::get_if<int64_t>(&value)) {
        return std::to_string(*i);
    }
    if (const std::string* s = std::get_if<std::string>(&value)) {
        return quote(*s);
    }
    return iso8601::format(std::get<runtime::WallTime>(value));
}

}  // namespace

void UserDefaults::reloadIfChangedLocked() {
    const Stamp stamp = stampOf(file_);
    if (loaded_ && *loaded_ == stamp) {
        return;
    }
    loaded_ = stamp;
    values_.clear();
    text_.clear();
    const bool wasUnreadable = unreadable_;
    unreadable_ = false;
    if (!stamp.exists) {
        return;
    }
    std::string why;
    auto contents =
        files::readBoundedFile(file_, kMaxFileBytes, "1 MiB", files::Links::follow, &why);
    if (contents && (!utf8::isValid(*contents) || contents->find('\0') != std::string::npos)) {
        // Not text at all: nothing in it can be a setting. Moved aside, never overwritten.
        const fs::path aside = files::freeAsideName(file_);
        std::error_code error;
        fs::rename(file_, aside, error);
        if (!error) {
            loaded_ = stampOf(file_);
            Log::warn("settings file unreadable (not text); using defaults, kept it as " +
                      aside.string());
            return;
        }
        contents.reset();
        why = "not text";
    }
    if (!contents) {
        // Written over, it would be lost: run on defaults in memory and leave the file alone.
        unreadable_ = true;
        if (!wasUnreadable) {
            Log::warn("settings file unreadable (" + why + "); using defaults, leaving " +
                      file_.string() + " as it is");
        }
        return;
    }
    text_ = std::move(*contents);
    int lineNumber = 0;
    forEachLine(text_, [&](std::string_view raw) {
        ++lineNumber;
        Line line = readLine(raw);
        if (!line.error.empty()) {
            // One bad line costs only itself; it stays in the file for the user to see, and
            // is reported once, not at every re-read.
            if (!warnedLines_.insert(std::string(raw)).second) {
                return;
            }
            Log::warn("settings file line " + std::to_string(lineNumber) + " ignored (" +
                      line.error + ")");
        } else if (line.value) {
            values_.insert_or_assign(std::string(line.key), std::move(*line.value));
        }
    });
}

std::optional<UserDefaults::Value> UserDefaults::lookupLocked(std::string_view key) {
    reloadIfChangedLocked();
    if (auto found = values_.find(key); found != values_.end()) {
        return found->second;
    }
    if (auto found = defaults_.find(key); found != defaults_.end()) {
        return found->second;
    }
    return std::nullopt;
}

void UserDefaults::registerDefaults(const std::map<std::string, Value, std::less<>>& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [key, value] : defaults) {
        defaults_.insert_or_assign(key, value);
    }
}

std::optional<UserDefaults::Value> UserDefaults::object(std::string_view key) {
    std::lock_guard lock(mutex_);
    return lookupLocked(key);
}

bool UserDefaults::boolForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto value = lookupLocked(key);
    if (!value) {
        return false;
    }
    if (const bool* b = std::get_if<bool>(&*value)) {
        return *b;
    }
    if (const int64_t* i = std::get_if<int64_t>(&*value)) {
        return *i != 0;
    }
    if (const std::string* s = std::get_if<std::string>(&*value)) {
        return *s == "true" || *s == "YES" || *s == "yes" || *s == "1";
    }
    return false;
}

int64_t UserDefaults::integerForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto value = lookupLocked(key);
    if (!value) {
        return 0;
    }
    if (const int64_t* i = std::get_if<int64_t>(&*value)) {
        return *i;
    }
    if (const bool* b = std::get_if<bool>(&*value)) {
        return *b ? 1 : 0;
    }
    if (const std::string* s = std::get_if<std::string>(&*value)) {
        int64_t parsed = 0;
        const std::string_view text = trim(*s);
        auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        return ec == std::errc{} && ptr == text.data() + text.size() ? parsed : 0;
    }
    return 0;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto value = lookupLocked(key);
    if (value) {
        if (const std::string* s = std::get_if<std::string>(&*value)) {
            return *s;
        }
    }
    return std::nullopt;
}

std::optional<runtime::WallTime> UserDefaults::dateForKey(std::string_view key) {
    std::lock_guard lock(mutex_);
    auto value = lookupLocked(key);
    if (value) {
        if (const auto* d = std::get_if<runtime::WallTime>(&*value)) {
            return *d;
        }
    }
    return std::nullopt;
}

// Changes the lines of `key` in the file's text (the last one wins when read, so earlier
// duplicates go), or appends one; comments, order and lines it cannot read are kept as they are.
std::string UserDefaults::editedText(std::string_view key,
                                     const std::optional<Value>& value) const {
    std::string out = text_.empty() && value ? serialize({}) : std::string{};
    std::size_t lastOfKey = std::string::npos;
    std::vector<std::string_view> lines;
    forEachLine(text_, [&](std::string_view raw) { lines.push_back(raw); });
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line line = readLine(lines[i]);
        if (!line.key.empty() && line.key == key) {
            lastOfKey = i;
        }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Line line = readLine(lines[i]);
        if (!line.key.empty() && line.key == key) {
            if (i == lastOfKey && value) {
                out += std::string(key) + " = " + valueText(*value) + "\n";
            }
            continue;
        }
        out += lines[i];
        out += '\n';
    }
    if (lastOfKey == std::string::npos && value) {
        out += std::string(key) + " = " + valueText(*value) + "\n";
    }
    return out;
}

bool UserDefaults::writeLocked(const std::string& text) {
    std::error_code error;
    // Through a symbolic link to the file it names: the user keeps the link.
    fs::path target = file_;
    if (fs::is_symlink(fs::symlink_status(file_, error))) {
        target = fs::weakly_canonical(file_, error);
        if (error) {
            return false;
        }
    }
    files::createPrivateDirectories(target.parent_path());
    fs::path temporary = target;
    temporary += ".tmp." + std::to_string(::getpid());
    mode_t mode = S_IRUSR | S_IWUSR;
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        mode = existing.st_mode & 0777;
    }
    fs::path aside;
    const int fd = files::createTemporaryFile(temporary, &aside);
    if (!aside.empty()) {
        Log::warn("settings file: " + temporary.string() +
                  " was not a file of ours; moved aside to " + aside.string());
    }
    if (fd < 0) {
        return false;
    }
    ::fchmod(fd, mode);
    std::size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(put);
    }
    ok = ::close(fd) == 0 && ok;
    if (ok) {
        fs::rename(temporary, target, error);
        ok = !error;
    }
    if (!ok) {
        fs::remove(temporary, error);
        return false;
    }
    loaded_.reset();  // pick up our own write (and its new stamp) at the next read
    return true;
}

bool UserDefaults::set(std::string_view key, Value value) {
    std::lock_guard lock(mutex_);
    if (lookupLocked(key) == value) {
        return true;  // nothing changes, so nothing is written
    }
    if (unreadable_) {
        values_.insert_or_assign(std::string(key), std::move(value));
        return false;
    }
    if (!writeLocked(editedText(key, value))) {
        Log::error("could not write settings file " + file_.string());
        return false;
    }
    values_.insert_or_assign(std::string(key), std::move(value));
    return true;
}

bool UserDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    if (values_.find(key) == values_.end()) {
        return true;
    }
    if (unreadable_) {
        values_.erase(values_.find(key));
        return false;
    }
    if (!writeLocked(editedText(key, std::nullopt))) {
        Log::error("could not write settings file " + file_.string());
        return false;
    }
    values_.erase(values_.find(key));
    return true;
}

}  // namespace noctave
