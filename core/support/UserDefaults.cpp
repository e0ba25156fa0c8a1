#include "core/support/UserDefaults.hpp"

#include <charconv>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>

#include "core/os/Paths.hpp"
#include "core/os/System.hpp"
#include "core/support/Log.hpp"
#include "core/text/Iso8601.hpp"

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
                out += c;
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

std::optional<std::map<std::string, UserDefaults::Value, std::less<>>> UserDefaults::parse(
    std::string_view text, std::string* error) {
    std::map<std::string, Value, std::less<>> values;
    int lineNumber = 0;
    auto fail = [&](std::string_view why) {
        if (error != nullptr) {
            *error = "line " + std::to_string(lineNumber) + ": " + std::string(why);
        }
        return std::nullopt;
    };
    while (!text.empty()) {
        ++lineNumber;
        const auto end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            return fail("expected key = value");
        }
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view raw = trim(line.substr(equals + 1));
        if (!validKey(key)) {
            return fail("bad key");
        }
        Value value;
        int64_t integer = 0;
        if (raw == "true" || raw == "false") {
            value = raw == "true";
        } else if (!raw.empty() && raw.front() == '"') {
            auto string = unquote(raw);
            if (!string) {
                return fail("bad string");
            }
            value = std::move(*string);
        } else if (auto [ptr, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), integer);
                   !raw.empty() && ec == std::errc{} && ptr == raw.data() + raw.size()) {
            value = integer;
        } else if (auto date = iso8601::parse(raw)) {
            value = *date;
        } else {
            return fail("unreadable value for " + std::string(key));
        }
        values.insert_or_assign(std::string(key), std::move(value));
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

void UserDefaults::reloadIfChangedLocked() {
    Stamp stamp;
    std::error_code error;
    if (fs::exists(file_, error)) {
        stamp.exists = true;
        stamp.mtime = fs::last_write_time(file_, error);
        stamp.size = fs::file_size(file_, error);
    }
    if (loaded_ && *loaded_ == stamp) {
        return;
    }
    loaded_ = stamp;
    values_.clear();
    if (!stamp.exists) {
        return;
    }
    std::ifstream in(file_, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    std::string why;
    if (auto parsed = parse(contents.str(), &why)) {
        values_ = std::move(*parsed);
        return;
    }
    // Keep the user's file for inspection rather than overwriting it with our next write.
    fs::path aside = file_;
    aside += ".bad";
    fs::rename(file_, aside, error);
    loaded_ = Stamp{};
    Log::warn("settings file unreadable (" + why + "); using defaults, kept it as " +
              aside.string());
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

bool UserDefaults::writeLocked(const std::map<std::string, Value, std::less<>>& values) {
    std::error_code error;
    fs::create_directories(file_.parent_path(), error);
    fs::path temporary = file_;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            return false;
        }
        fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, error);
        const std::string text = serialize(values);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temporary, error);
            return false;
        }
    }
    fs::rename(temporary, file_, error);
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    loaded_.reset();  // pick up our own write (and its new stamp) at the next read
    return true;
}

bool UserDefaults::set(std::string_view key, Value value) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    auto next = values_;
    next.insert_or_assign(std::string(key), std::move(value));
    if (!writeLocked(next)) {
        Log::error("could not write settings file " + file_.string());
        return false;
    }
    values_ = std::move(next);
    return true;
}

bool UserDefaults::remove(std::string_view key) {
    std::lock_guard lock(mutex_);
    reloadIfChangedLocked();
    auto next = values_;
    if (next.erase(std::string(key)) == 0) {
        return true;
    }
    if (!writeLocked(next)) {
        Log::error("could not write settings file " + file_.string());
        return false;
    }
    values_ = std::move(next);
    return true;
}

}  // namespace noctave
