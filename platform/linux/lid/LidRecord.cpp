#include "platform/linux/lid/LidRecord.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/support/Log.hpp"
#include "core/support/PrivateFiles.hpp"

namespace noctave::linuxos::lid {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks after boot; 0 for
// no process, or one that has exited and waits to be reaped (its settings are ours to put
// back already). The command name before it may hold spaces and parentheses, so count from
// its last ')'.
unsigned long long startTimeOf(int pid) {
    const std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) {
        return 0;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
        if (i == 3 && (field == "Z" || field == "X")) {
            return 0;
        }
        if (i == 22) {
            return std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return 0;
}

std::string currentBootId() {
    return firstLine("/proc/sys/kernel/random/boot_id");
}

bool syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}  // namespace

std::string LidRecord::toText() const {
    json entriesJson = json::array();
    for (const auto& entry : entries) {
        entriesJson.push_back({{"key", entry.key},
                               {"original", entry.original ? json(*entry.original) : json()},
                               {"set", entry.set}});
    }
    const json document = {{"pid", pid},           {"startTime", startTime},
                           {"bootId", bootId},     {"program", program},
                           {"location", location}, {"entries", entriesJson}};
    return document.dump(2) + "\n";
}

std::optional<LidRecord> LidRecord::fromText(std::string_view text) {
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return std::nullopt;
    }
    try {
        LidRecord record;
        record.pid = document.at("pid").get<int>();
        record.startTime = document.at("startTime").get<unsigned long long>();
        record.bootId = document.at("bootId").get<std::string>();
        record.program = document.at("program").get<std::string>();
        record.location = document.at("location").get<std::string>();
        for (const auto& item : document.at("entries")) {
            Entry entry;
            entry.key = item.at("key").get<std::string>();
            const auto& original = item.at("original");
            if (!original.is_null()) {
                entry.original = original.get<std::string>();
            }
            entry.set = item.at("set").get<std::string>();
            record.entries.push_back(std::move(entry));
        }
        return record;
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

LidRecord LidRecord::forThisProcess() {
    LidRecord record;
    record.pid = static_cast<int>(::getpid());
    record.startTime = startTimeOf(record.pid);
    record.bootId = currentBootId();
    return record;
}

bool LidRecord::writerAlive() const {
    if (pid < 1 || bootId != currentBootId()) {
        return false;
    }
    const unsigned long long started = startTimeOf(pid);
    return started != 0 && started == startTime;
}

bool LidRecord::writtenByThisProcess() const {
    return pid == static_cast<int>(::getpid()) && writerAlive();
}

fs::path lidRecordPath() {
    return Log::directory() / "lid-owner.record";
}

bool writeDurably(const fs::path& file, const std::string& text) {
    fs::path temporary = file;
    temporary += "." + std::to_string(::getpid()) + ".tmp";
    const int fd = files::openPrivateFile(temporary, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) {
        return false;
    }
    const bool written =
        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(fd) == 0;
    std::error_code error;
    if (::close(fd) != 0 || !written) {
        fs::remove(temporary, error);
        return false;
    }
    fs::rename(temporary, file, error);
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    return syncFolder(file.parent_path());
}

bool removeDurably(const fs::path& file) {
    std::error_code error;
    fs::remove(file, error);
    if (error) {
        return false;
    }
    syncFolder(file.parent_path());
    return true;
}

}  // namespace noctave::linuxos::lid
