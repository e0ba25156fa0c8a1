#include "core/support/Log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>

#include "core/os/Paths.hpp"
#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/support/PrivateFiles.hpp"
#include "core/text/Iso8601.hpp"
#include "core/text/Utf8.hpp"

namespace noctave::Log {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kRotateAbove = 262'144;

std::atomic<bool> gVerbose{false};
std::atomic<bool> gStandardError{true};

std::mutex& observerMutex() {
    static std::mutex mutex;
    return mutex;
}
Observer& observer() {
    static Observer instance;
    return instance;
}

struct Followers {
    std::mutex mutex;
    uint64_t nextId = 1;
    std::map<uint64_t, Follower> byId;
};
Followers& followers() {
    static Followers instance;
    return instance;
}

// The file queue belongs to the runtime installed when it was made; a new runtime (a test's)
// gets a new queue.
struct FileQueue {
    std::mutex mutex;
    runtime::Runtime* owner = nullptr;
    std::shared_ptr<runtime::Queue> queue;
};
FileQueue& fileQueue() {
    static FileQueue instance;
    return instance;
}

std::shared_ptr<runtime::Queue> currentFileQueue() {
    if (!runtime::isInstalled()) {
        return nullptr;
    }
    auto& files = fileQueue();
    std::lock_guard lock(files.mutex);
    runtime::Runtime* now = &runtime::current();
    if (files.owner != now || !files.queue) {
        files.owner = now;
        files.queue = now->makeSerialQueue("noctave.log", runtime::QoS::background);
    }
    return files.queue;
}

// With no runtime installed, appends run on the caller's thread under this lock.
std::mutex& inlineAppendMutex() {
    static std::mutex mutex;
    return mutex;
}

// "[time] LVL message\n". Always the real clock: the checks on the virtual laptop run in virtual
// time, and their lines share the file with the application's; a reader must be able to trust
// every stamp.
std::string formatLine(Level level, std::string_view message) {
    const runtime::WallTime now = std::chrono::system_clock::now();
    std::string line;
    line.reserve(message.size() + 34);
    line += '[';
    line += iso8601::format(now);
    line += "] ";
    line += rawValue(level);
    line += ' ';
    line += message;
    line += '\n';
    return line;
}

// Our own file, never a link planted in its place: a root instance must not append to
// whatever such a link names.
bool appendTo(const fs::path& file, const std::string& line, bool truncate) {
    const int fd =
        files::openPrivateFile(file, O_WRONLY | O_CREAT | (truncate ? O_TRUNC : O_APPEND));
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    return written;
}

void append(const fs::path& folder, const std::string& line) {
    if (!files::makePrivateFolder(folder)) {
        return;
    }
    const fs::path current = folder / "diagnostics.log";
    struct stat info {};
    const bool exists = ::lstat(current.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
        // A FIFO, folder or link in its place would cost every line from now on: it goes aside
        // and the log starts again, saying so in its first line.
        const fs::path aside = files::freeAsideName(current);
        if (::rename(current.c_str(), aside.c_str()) == 0) {
            appendTo(current,
                     formatLine(Level::warn,
                                "log file was not a file; moved aside to " + aside.string()) +
                         line,
                     true);
        }
        return;
    }
    if (!exists || static_cast<std::uintmax_t>(info.st_size) <= kRotateAbove) {
        appendTo(current, line, false);
        return;
    }
    std::error_code error;
    const fs::path previous = folder / "diagnostics.1.log";
    fs::remove(previous, error);
    fs::rename(current, previous, error);
    appendTo(current, line, true);
}

// A log file holds at most kRotateAbove bytes and a line; a larger one is not ours to copy.
constexpr std::size_t kSnapshotLimit = 1 << 20;

std::string readUtf8(const fs::path& file) {
    std::string why;
    auto text = files::readBoundedFile(file, kSnapshotLimit, "1 MiB", files::Links::refuse, &why);
    return text && utf8::isValid(*text) ? std::move(*text) : std::string();
}

}  // namespace

std::string_view rawValue(Level level) {
    switch (level) {
        case Level::debug:
            return "DBG";
        case Level::info:
            return "INF";
        case Level::warn:
            return "WRN";
        case Level::error:
            return "ERR";
    }
    return "ERR";
}

std::optional<Level> levelFromRawValue(std::string_view raw) {
    for (Level level : {Level::debug, Level::info, Level::warn, Level::error}) {
        if (rawValue(level) == raw) {
            return level;
        }
    }
    return std::nullopt;
}

bool verbose() {
    return gVerbose.load(std::memory_order_relaxed);
}
void setVerbose(bool on) {
    gVerbose.store(on, std::memory_order_relaxed);
}

void setStandardErrorEnabled(bool on) {
    gStandardError.store(on);
}

void setObserver(Observer newObserver) {
    std::lock_guard lock(observerMutex());
    observer() = std::move(newObserver);
}

uint64_t addFollower(Follower follower) {
    auto& all = followers();
    std::lock_guard lock(all.mutex);
    const uint64_t id = all.nextId++;
    all.byId.emplace(id, std::move(follower));
    return id;
}

void removeFollower(uint64_t id) {
    auto& all = followers();
    std::lock_guard lock(all.mutex);
    all.byId.erase(id);
}

fs::path directory() {
    return os::system().paths->applicationSupport() / "Noctave";
}

void write(Level level, std::string_view message) {
    std::string line = formatLine(level, message);

    if (gStandardError.load(std::memory_order_relaxed)) {
        // stderr is unbuffered: one fwrite of the whole line is one write.
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    {
        std::lock_guard lock(observerMutex());
        if (observer()) {
            observer()(level, message);
        }
    }
    {
        auto& all = followers();
        std::lock_guard lock(all.mutex);
        for (const auto& [id, follower] : all.byId) {
            follower(std::string_view(line).substr(0, line.size() - 1));
        }
    }
    fs::path folder = directory();
    if (auto queue = currentFileQueue()) {
        queue->async(
            [folder = std::move(folder), line = std::move(line)] { append(folder, line); });
    } else {
        std::lock_guard lock(inlineAppendMutex());
        append(folder, line);
    }
}

std::string snapshot() {
    const fs::path folder = directory();
    return readUtf8(folder / "diagnostics.1.log") + readUtf8(folder / "diagnostics.log");
}

void flush() {
    if (auto queue = currentFileQueue(); queue && !queue->isCurrent()) {
        queue->sync([] {});
    }
}

}  // namespace noctave::Log
