#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/runtime/Clock.hpp"

namespace noctave {

// A short history of sessions, so that "why did it sleep?" has an answer: when each session
// was armed and by what, what happened to the lid and the machine while it stood, and why it
// ended. Kept as JSON in the state folder (0600, never through a link, replaced atomically),
// bounded to the last kMaxSessions sessions, read back at start.
//
// A file that cannot be used (not JSON, too large, a link or a folder in its place) costs one log
// line: it is moved aside to "<file>.bad" (or the first free "<file>.bad.N") and a new history
// starts; when it cannot even be moved, the history lives in memory only so nothing is lost.
// Main queue only.
class SessionJournal {
  public:
    static constexpr std::size_t kMaxSessions = 200;
    // A lid that flaps for hours must not grow one session without bound.
    static constexpr std::size_t kMaxEventsPerSession = 100;
    static constexpr std::size_t kMaxFileBytes = 1 << 20;

    struct Event {
        uint64_t atUsec = 0;
        std::string what;  // "lid closed", "lid opened", "woke", "slept while armed"
        std::string detail;
        friend bool operator==(const Event&, const Event&) = default;
    };
    struct Session {
        uint64_t armedUsec = 0;
        std::string source;  // what armed it: "menu", "gesture", "hotkey", "dbus", ...
        std::vector<Event> events;
        uint64_t endedUsec = 0;  // 0: still standing (or the program stopped without ending it)
        std::string endReason;
        friend bool operator==(const Session&, const Session&) = default;
    };

    // Loads `file` (a missing file is an empty history).
    explicit SessionJournal(std::filesystem::path file);

    // The journal of the installed system: "history.json" in the program's own state folder.
    static std::filesystem::path standardFile();
    // Where earlier versions kept it: "history.json" in the user's state folder itself.
    static std::filesystem::path earlierStandardFile();
    // Moves the journal at `earlier` to `file` when nothing stands at `file` yet and `earlier`
    // is a journal of ours (it parses as one); anything else of that name (another program's)
    // is left where it is. One log line when it moves.
    static void adoptEarlierFile(const std::filesystem::path& earlier,
                                 const std::filesystem::path& file);

    void began(const std::string& source);
    void note(const std::string& what, const std::string& detail = {});
    void ended(const std::string& reason);
    // Adds an event to the last session even when it has ended (a wake after its disarm).
    void noteAfter(const std::string& what, const std::string& detail = {});

    bool isSessionOpen() const { return !sessions_.empty() && sessions_.back().endedUsec == 0; }
    const std::vector<Session>& sessions() const { return sessions_; }
    const std::filesystem::path& file() const { return file_; }

    // Reads a journal file without changing anything (for `noctave ctl history`); no value, with
    // `problem` set, when it cannot be used. A missing file is an empty history.
    static std::optional<std::vector<Session>> read(const std::filesystem::path& file,
                                                    std::string* problem);
    // The sessions of a history's JSON text (toJson's); an empty text is an empty history.
    static std::optional<std::vector<Session>> parse(const std::string& text, std::string* problem);
    static std::string toJson(const std::vector<Session>& sessions);
    // One block per session, oldest first, in local time, for people.
    static std::string describe(const std::vector<Session>& sessions);

  private:
    void add(Event event);
    void save();

    std::filesystem::path file_;
    std::vector<Session> sessions_;
    bool isWritable_ = true;
};

}  // namespace noctave
