// The session history: what it records about each session, that it survives a restart within
// its bound, and that a file it cannot use costs one log line and nothing else.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "core/session/SessionJournal.hpp"
#include "tests/session/SessionFixture.hpp"
#include "tests/support/ChildProcess.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;
using Session = SessionJournal::Session;

class SessionJournalTest : public SessionFixture {
  protected:
    fs::path file() { return SessionJournal::standardFile(); }
    std::vector<std::string> whats(const Session& session) {
        std::vector<std::string> list;
        for (const auto& event : session.events) {
            list.push_back(event.what);
        }
        return list;
    }
    void restart() {
        controller->shutdown();
        controller.reset();
        start();
    }
    void plant(const std::string& text) {
        fs::create_directories(file().parent_path());
        std::ofstream(file()) << text;
    }
    void expectMovedAsideOnce() {
        EXPECT_EQ(log.count("session history unusable"), 0u);  // only the full line counts
        std::size_t lines = 0;
        for (const auto& message : log.messages()) {
            lines += message.rfind("session history unusable", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(lines, 1u);
        EXPECT_TRUE(fs::exists(fs::symlink_status(file().string() + ".bad")));
    }
};

TEST_F(SessionJournalTest, SessionsAreRecordedWithTheirLidAndEndAndSurviveARestart) {
    auto& session = start();
    ASSERT_TRUE(session.arm("menu"));
    closeLid();
    openLid();  // ends it: stayOnAfterOpeningLid is off
    commitGesture();
    closeLid();
    power().postWorkspace(os::Workspace::Notification::didWake);
    runUntilIdle();
    restart();

    const auto& sessions = controller->journal().sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].source, "menu");
    EXPECT_THAT(whats(sessions[0]), ElementsAre("lid closed", "lid opened"));
    EXPECT_EQ(sessions[0].endReason, "lid-open");
    EXPECT_EQ(sessions[1].source, "gesture");
    EXPECT_THAT(whats(sessions[1]), ElementsAre("lid closed", "slept while armed"));
    EXPECT_EQ(sessions[1].endReason, "quit");
    EXPECT_TRUE(log.contains("slept while armed (the system did not say why)"));

    struct stat info {};
    ASSERT_EQ(::stat(file().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(file().parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    std::string problem;
    const auto read = SessionJournal::read(file(), &problem);
    ASSERT_TRUE(read.has_value()) << problem;
    EXPECT_EQ(*read, sessions);
    EXPECT_NE(SessionJournal::describe(*read).find("ended (lid-open)"), std::string::npos);
}

TEST_F(SessionJournalTest, WakeAfterADisarmWithTheLidShutIsAnExpectedSleep) {
    auto& session = start();
    ASSERT_TRUE(session.arm("hotkey"));
    closeLid();
    ASSERT_TRUE(session.disarm("menu"));
    power().postWorkspace(os::Workspace::Notification::didWake);
    runUntilIdle();
    EXPECT_THAT(whats(session.journal().sessions().back()),
                ElementsAre("lid closed", "slept and woke"));
    EXPECT_FALSE(log.contains("slept while armed (the system did not say why)"));
}

// A withdrawn gesture ends its entry even when the kernel refuses the clear: the retry that
// follows is no session, and the next one must not close it as "unknown".
TEST_F(SessionJournalTest, AWithdrawnGestureEndsItsEntryWhenItsClearIsRefused) {
    auto& session = start();
    commitGesture();
    power().setRefuseFlag(true);
    cancelGesture();
    ASSERT_EQ(session.state(), State::restoreFailed);
    EXPECT_FALSE(session.journal().isSessionOpen());
    EXPECT_EQ(session.journal().sessions().back().endReason, "gesture abandoned before close");
    power().setRefuseFlag(false);
    advance(5);
    ASSERT_TRUE(session.arm("menu"));
    ASSERT_EQ(session.journal().sessions().size(), 2u);
    EXPECT_EQ(session.journal().sessions().front().endReason, "gesture abandoned before close");
}

TEST_F(SessionJournalTest, KeepsOnlyTheLastSessions) {
    auto& session = start();
    for (std::size_t i = 0; i < SessionJournal::kMaxSessions + 5; ++i) {
        ASSERT_TRUE(session.arm("n" + std::to_string(i)));
        ASSERT_TRUE(session.disarm("menu"));
    }
    restart();
    const auto& sessions = controller->journal().sessions();
    ASSERT_EQ(sessions.size(), SessionJournal::kMaxSessions);
    EXPECT_EQ(sessions.front().source, "n5");
    EXPECT_EQ(sessions.back().source, "n204");
}

// Corrupt, huge, a link (never followed) or a folder: each is moved aside with one line, and the
// session goes on with a fresh file of its own.
TEST_F(SessionJournalTest, AnUnusableFileIsMovedAsideWithOneLineAndTheStartGoesOn) {
    const std::string corrupt = "{\"sessions\": [ {\"armed\": \"yesterday\"} ]}";
    const fs::path bad = file().string() + ".bad";
    const fs::path elsewhere = temp.path() / "elsewhere";
    std::ofstream(elsewhere) << "precious";
    const struct {
        const char* name;
        std::function<void()> plant;
        std::function<void()> movedAside;
    } cases[] = {
        {"corrupt", [&] { plant(corrupt); }, [&] { EXPECT_EQ(readFile(bad), corrupt); }},
        {"huge", [&] { plant(std::string(SessionJournal::kMaxFileBytes + 1, ' ')); }, [] {}},
        {"a link", [&] { fs::create_symlink(elsewhere, file()); },
         [&] { EXPECT_TRUE(fs::is_symlink(bad)); }},
        {"a folder", [&] { fs::create_directories(file() / "inner"); },
         [&] { EXPECT_TRUE(fs::exists(bad / "inner")); }},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(file().c_str(), 0600), 0); },
         [&] { EXPECT_TRUE(fs::is_fifo(bad)); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(file());
        fs::remove_all(bad);
        fs::create_directories(file().parent_path());
        c.plant();
        log.clear();
        auto& session = start();
        expectMovedAsideOnce();
        c.movedAside();
        ASSERT_TRUE(session.arm("menu"));
        EXPECT_EQ(session.journal().sessions().size(), 1u);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file())));
        session.shutdown();
    }
    EXPECT_EQ(readFile(elsewhere), "precious");
}

// A history and a leftover temporary file its user may not read (another user's, mode 000):
// the history is moved aside with its line, the leftover replaced, and the session recorded.
TEST_F(SessionJournalTest, FilesItMayNotReadAreMovedAsideOrReplacedNotWaitedOn) {
    const fs::path folder = file().parent_path();
    fs::create_directories(folder);
    for (const fs::path& planted : {file(), fs::path(file().string() + ".tmp")}) {
        std::ofstream(planted) << "{\"sessions\": []}";
        ::chmod(planted.c_str(), 0);
    }
    constexpr uid_t kNobody = 65534;
    for (fs::path up = folder; up != temp.path().parent_path(); up = up.parent_path()) {
        ASSERT_EQ(::chown(up.c_str(), kNobody, kNobody), 0);
    }
    test::ChildProcess child([&] {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            return 100;
        }
        SessionJournal journal(file());
        journal.began("menu");
        int wrong = log.count("session history unusable (Permission denied); moved aside to " +
                              file().string() + ".bad, starting a new one") == 1
                        ? 0
                        : 1;
        std::string problem;
        const auto saved = SessionJournal::read(file(), &problem);
        wrong |= saved && saved->size() == 1 ? 0 : 2;
        wrong |= fs::exists(file().string() + ".tmp") ? 4 : 0;
        return wrong;
    });
    EXPECT_EQ(child.wait().status, 0) << "bits: 1 line, 2 not recorded, 4 temporary left";
}

// The temporary file every save writes first: a FIFO there held the main thread in open(), so
// that neither a disarm nor SIGTERM got through. Now it goes aside with one line.
TEST_F(SessionJournalTest, AFifoOrFolderAtTheTemporaryFileIsMovedAsideAndTheSaveGoesOn) {
    const fs::path temporary = file().string() + ".tmp";
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "a FIFO" : "a folder");
        fs::remove_all(file().parent_path());
        fs::create_directories(file().parent_path());
        if (fifo) {
            ASSERT_EQ(::mkfifo(temporary.c_str(), 0600), 0);
        } else {
            fs::create_directories(temporary / "inner");
        }
        log.clear();
        auto& session = start();
        ASSERT_TRUE(session.arm("menu"));
        ASSERT_TRUE(session.disarm("menu"));
        EXPECT_EQ(
            log.count("session history: " + temporary.string() +
                      " was not a file of ours; moved aside to " + temporary.string() + ".bad"),
            1u);
        std::string problem;
        const auto saved = SessionJournal::read(file(), &problem);
        ASSERT_TRUE(saved) << problem;
        ASSERT_EQ(saved->size(), 1u);
        EXPECT_EQ(saved->back().endReason, "menu");
        EXPECT_FALSE(fs::exists(temporary));
        session.shutdown();
        controller.reset();
    }
}

// Earlier versions kept the history in the state folder itself, where another program's file
// of the same name may stand: only a journal of ours moves in, and never over one already there.
TEST_F(SessionJournalTest, AnEarlierHistoryMovesInOnlyWhenItIsOurs) {
    const std::string ours = SessionJournal::toJson(
        {{1'700'000'000'000'000, "menu", {}, 1'700'000'060'000'000, "lid-open"}});
    const std::string theirs = "{\"history\": [\"ls\", \"cd\"]}";
    const struct {
        const char* name;
        std::string earlier;
        std::optional<std::string> present;  // already at the new place
        bool moves;
    } cases[] = {
        {"ours", ours, std::nullopt, true},
        {"another program's", theirs, std::nullopt, false},
        {"empty", "", std::nullopt, false},
        {"ours, but one stands at the new place", ours, SessionJournal::toJson({}), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path earlier = SessionJournal::earlierStandardFile();
        fs::remove_all(earlier.parent_path());
        fs::create_directories(file().parent_path());
        std::ofstream(earlier) << c.earlier;
        if (c.present) {
            std::ofstream(file()) << *c.present;
        }
        log.clear();
        auto& session = start();
        EXPECT_EQ(fs::exists(earlier), !c.moves);
        if (!c.moves) {
            EXPECT_EQ(readFile(earlier), c.earlier);
            EXPECT_EQ(log.count("session history moved from " + earlier.string() + " to " +
                                file().string()),
                      0u);
        } else {
            EXPECT_EQ(readFile(file()), ours);
            EXPECT_TRUE(log.contains("session history moved from " + earlier.string() + " to " +
                                     file().string()));
            ASSERT_EQ(session.journal().sessions().size(), 1u);
            EXPECT_EQ(session.journal().sessions()[0].endReason, "lid-open");
        }
        session.shutdown();
        controller.reset();
    }
}

}  // namespace
}  // namespace noctave::test
