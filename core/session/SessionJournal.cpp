#include "core/session/SessionJournal.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "core/os/Paths.hpp"
#include "core/os/System.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/Deadlines.hpp"
#include "core/support/Log.hpp"
#include "core/support/PrivateFiles.hpp"

namespace noctave {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

uint64_t nowUsec() {
    const auto since = runtime::clock().wall().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

// The whole file, or no value with `problem` set. A missing file reads as an empty text.
std::optional<std::string> readBounded(const fs::path& file, std::string* problem) {
    std::error_code error;
    const auto type = fs::symlink_status(file, error).type();
    if (type == fs::file_type::not_found) {
        return std::string();
    }
    // Never opened: a pipe would block the start, and a link is not ours to follow.
    if (type == fs::file_type::symlink) {
        *problem = "a link stands where the file should be";
        return std::nullopt;
    }
    if (type != fs::file_type::regular && type != fs::file_type::directory) {
        *problem = "not a regular file";
        return std::nullopt;
    }
    return files::readBoundedFile(file, SessionJournal::kMaxFileBytes,
                                  std::to_string(SessionJournal::kMaxFileBytes) + " bytes",
                                  files::Links::refuse, problem);
}

}  // namespace

std::optional<std::vector<SessionJournal::Session>> SessionJournal::parse(const std::string& text,
                                                                          std::string* problem) {
    std::vector<SessionJournal::Session> sessions;
    if (text.empty()) {
        return sessions;
    }
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("sessions") ||
        !document["sessions"].is_array()) {
        *problem = "not a session history";
        return std::nullopt;
    }
    try {
        for (const auto& item : document["sessions"]) {
            SessionJournal::Session session;
            session.armedUsec = item.at("armed").get<uint64_t>();
            session.source = item.at("source").get<std::string>();
            session.endedUsec = item.value("ended", uint64_t{0});
            session.endReason = item.value("reason", std::string());
            for (const auto& event : item.value("events", json::array())) {
                session.events.push_back({event.at("at").get<uint64_t>(),
                                          event.at("what").get<std::string>(),
                                          event.value("detail", std::string())});
            }
            sessions.push_back(std::move(session));
        }
    } catch (const json::exception&) {
        *problem = "a session entry is malformed";
        return std::nullopt;
    }
    return sessions;
}

namespace {

std::string localStamp(uint64_t usec) {
    return deadlines::localText(
        runtime::WallTime(std::chrono::duration_cast<runtime::WallTime::duration>(
            std::chrono::microseconds(usec))),
        "%Y-%m-%d %H:%M:%S");
}

}  // namespace

SessionJournal::SessionJournal(fs::path file) : file_(std::move(file)) {
    std::string problem;
    if (auto loaded = read(file_, &problem)) {
        sessions_ = std::move(*loaded);
        return;
    }
    const fs::path aside = files::freeAsideName(file_);
    if (::rename(file_.c_str(), aside.c_str()) == 0) {
        Log::warn("session history unusable (" + problem + "); moved aside to " + aside.string() +
                  ", starting a new one");
        return;
    }
    isWritable_ = false;
    Log::warn("session history unusable (" + problem + ") and could not be moved aside (" +
              std::strerror(errno) + "); this run's history stays in memory");
}

fs::path SessionJournal::standardFile() {
    return os::system().paths->applicationSupport() / "history.json";
}

std::optional<std::vector<SessionJournal::Session>> SessionJournal::read(const fs::path& file,
                                                                         std::string* problem) {
    problem->clear();
    const auto text = readBounded(file, problem);
    if (!text) {
        return std::nullopt;
    }
    return parse(*text, problem);
}

void SessionJournal::began(const std::string& source) {
    if (isSessionOpen()) {
        // The previous one never ended here: the program stopped under it.
        sessions_.back().endedUsec = nowUsec();
        sessions_.back().endReason = "unknown";
    }
    sessions_.push_back(Session{nowUsec(), source, {}, 0, {}});
    if (sessions_.size() > kMaxSessions) {
        sessions_.erase(
            sessions_.begin(),
            sessions_.begin() + static_cast<std::ptrdiff_t>(sessions_.size() - kMaxSessions));
    }
    save();
}

void SessionJournal::note(const std::string& what, const std::string& detail) {
    if (isSessionOpen()) {
        add(Event{nowUsec(), what, detail});
    }
}

void SessionJournal::noteAfter(const std::string& what, const std::string& detail) {
    if (!sessions_.empty()) {
        add(Event{nowUsec(), what, detail});
    }
}

void SessionJournal::ended(const std::string& reason) {
    if (!isSessionOpen()) {
        return;
    }
    sessions_.back().endedUsec = nowUsec();
    sessions_.back().endReason = reason;
    save();
}

void SessionJournal::add(Event event) {
    auto& events = sessions_.back().events;
    if (events.size() >= kMaxEventsPerSession) {
        return;
    }
    events.push_back(std::move(event));
    save();
}

void SessionJournal::save() {
    if (!isWritable_ || !files::makePrivateFolder(file_.parent_path())) {
        return;
    }
    const std::string text = toJson(sessions_) + "\n";
    const fs::path temporary = file_.string() + ".tmp";
    const int fd = files::openPrivateFile(temporary, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) {
        Log::debug(
            [&] { return "session history not written: " + std::string(std::strerror(errno)); });
        return;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    const bool complete = written == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    // rename() replaces a link planted at the file's name rather than writing through it.
    if (!complete || ::rename(temporary.c_str(), file_.c_str()) != 0) {
        ::unlink(temporary.c_str());
    }
}

std::string SessionJournal::toJson(const std::vector<Session>& sessions) {
    json list = json::array();
    for (const auto& session : sessions) {
        json events = json::array();
        for (const auto& event : session.events) {
            json item = {{"at", event.atUsec}, {"what", event.what}};
            if (!event.detail.empty()) {
                item["detail"] = event.detail;
            }
            events.push_back(std::move(item));
        }
        json item = {{"armed", session.armedUsec}, {"source", session.source}, {"events", events}};
        if (session.endedUsec != 0) {
            item["ended"] = session.endedUsec;
            item["reason"] = session.endReason;
        }
        list.push_back(std::move(item));
    }
    // Replacement of invalid UTF-8 keeps a stray byte in a source from failing the whole dump.
    return json{{"sessions", list}}.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string SessionJournal::describe(const std::vector<Session>& sessions) {
    if (sessions.empty()) {
        return "No sessions yet.\n";
    }
    std::string text;
    for (const auto& session : sessions) {
        text += localStamp(session.armedUsec) + "  armed (" + session.source + ")\n";
        for (const auto& event : session.events) {
            text += localStamp(event.atUsec) + "    " + event.what +
                    (event.detail.empty() ? "" : " (" + event.detail + ")") + "\n";
        }
        if (session.endedUsec != 0) {
            text += localStamp(session.endedUsec) + "  ended (" + session.endReason + ")\n";
        } else {
            text += "                     still armed\n";
        }
    }
    return text;
}

}  // namespace noctave
