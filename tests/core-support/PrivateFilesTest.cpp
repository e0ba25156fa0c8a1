// Where the program's files go and how they are created, with the environment a careless
// start-up (a service, su, an empty environment) may hand it.
#include "core/support/PrivateFiles.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "core/os/Paths.hpp"
#include "core/support/Log.hpp"
#include "tests/support/ScopedVariable.hpp"
#include "tests/support/SimTest.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave {
namespace {

namespace fs = std::filesystem;

using test::ScopedVariable;

class PrivateFilesTest : public test::SimTest {};

TEST_F(PrivateFilesTest, FilesNeverLandInAFolderEveryoneCanWrite) {
    const fs::path account = ::getpwuid(::geteuid())->pw_dir;
    const fs::path shared = temp.path() / "shared";
    fs::create_directories(shared);
    fs::permissions(shared, fs::perms::all);
    const fs::path own = temp.path() / "own";
    const struct {
        std::optional<std::string> home, state, config;
        fs::path support, settings;
    } cases[] = {
        // Nothing set: the account's home from the password database, not /tmp.
        {std::nullopt, std::nullopt, std::nullopt, account / ".local/state",
         account / ".config/com.quillor.noctave.conf"},
        {"", "relative/state", "", account / ".local/state",
         account / ".config/com.quillor.noctave.conf"},
        // A world-writable HOME or XDG folder is passed over.
        {"/tmp", shared.string(), shared.string(), account / ".local/state",
         account / ".config/com.quillor.noctave.conf"},
        {own.string(), std::nullopt, (own / "cfg").string(), own / ".local/state",
         own / "cfg/com.quillor.noctave.conf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.home.value_or("(no HOME)"));
        ScopedVariable home("HOME", c.home);
        ScopedVariable state("XDG_STATE_HOME", c.state);
        ScopedVariable config("XDG_CONFIG_HOME", c.config);
        const os::EnvPaths paths;
        EXPECT_EQ(paths.applicationSupport(), c.support);
        EXPECT_EQ(paths.userDefaultsFile(), c.settings);
    }
}

TEST_F(PrivateFilesTest, FoldersAre0700WhateverTheUmaskAndAPlantedLinkIsNeverFollowed) {
    const mode_t saved = ::umask(0);
    const fs::path deep = temp.path() / "a" / "b" / "Noctave";
    EXPECT_TRUE(files::createPrivateDirectories(deep));
    ::umask(saved);
    for (const fs::path& folder : {temp.path() / "a", temp.path() / "a" / "b", deep}) {
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    }

    // Someone plants a link where the log will be: the line is not appended through it.
    const fs::path victim = temp.path() / "victim";
    std::ofstream(victim) << "precious\n";
    fs::create_directories(Log::directory());
    fs::create_symlink(victim, Log::directory() / "diagnostics.log");
    Log::info("a line");
    Log::flush();
    runUntilIdle();
    EXPECT_EQ(test::readFile(victim), "precious\n");

    const int fd = files::openPrivateFile(temp.path() / "new", O_WRONLY | O_CREAT);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    ::close(fd);
    EXPECT_EQ(fs::status(temp.path() / "new").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

// An older version, a copy or a restored backup left the folder and the log readable by all:
// the next start makes them private, and a linked folder's target is left alone.
TEST_F(PrivateFilesTest, ALooseFolderAndLogAreMadePrivateAtTheNextWriteButNotThroughALink) {
    const fs::path folder = Log::directory();
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    std::ofstream(folder / "diagnostics.log") << "earlier\n";
    fs::permissions(folder / "diagnostics.log", fs::perms::owner_read | fs::perms::owner_write |
                                                    fs::perms::group_read | fs::perms::others_read);
    Log::info("a line");
    Log::flush();
    runUntilIdle();
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(folder / "diagnostics.log").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(test::readFile(folder / "diagnostics.log").starts_with("earlier\n"));

    const fs::path elsewhere = temp.path() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::permissions(elsewhere, fs::perms::all & ~fs::perms::others_write);
    fs::create_directory_symlink(elsewhere, temp.path() / "linked");
    files::makePrivateFolder(temp.path() / "linked");
    EXPECT_EQ(fs::status(elsewhere).permissions(), fs::perms::all & ~fs::perms::others_write);
}

// Whatever stands where one of our files should be, nothing waits on it: a FIFO nobody writes
// to is refused at once for reading and writing, and a temporary file's name is cleared of it.
TEST_F(PrivateFilesTest, OnlyRegularFilesOpenAndATemporarysNameIsClearedOfAnythingElse) {
    const fs::path target = temp.path() / "target";
    std::ofstream(target) << "theirs";
    const struct {
        const char* name;
        std::function<void(const fs::path&)> plant;
        int openErrno;  // of openPrivateFile(O_RDONLY)
        bool movedAside;
    } cases[] = {
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, ENXIO, true},
        {"a folder", [](const fs::path& p) { fs::create_directories(p / "inside"); }, EISDIR, true},
        {"a link", [&](const fs::path& p) { fs::create_symlink(target, p); }, ELOOP, true},
        {"a leftover file", [](const fs::path& p) { std::ofstream(p) << "half a write"; }, 0,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = temp.path() / "state.tmp";
        fs::remove_all(file);
        fs::remove_all(file.string() + ".bad");
        c.plant(file);
        for (const int access : {O_RDONLY, O_WRONLY}) {
            const int fd = files::openPrivateFile(file, access);
            if (c.openErrno == 0) {
                EXPECT_GE(fd, 0);
                ::close(fd);
            } else {
                EXPECT_EQ(fd, -1);
                // Writing a folder is refused by the kernel itself, with the same word.
                EXPECT_EQ(errno, c.openErrno);
            }
        }
        fs::path aside;
        const int fd = files::createTemporaryFile(file, &aside);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(::write(fd, "new", 3), 3);
        ::close(fd);
        EXPECT_EQ(test::readFile(file), "new");
        EXPECT_EQ(aside.empty(), !c.movedAside);
        EXPECT_EQ(fs::exists(fs::symlink_status(file.string() + ".bad")), c.movedAside);
        if (c.movedAside) {
            EXPECT_EQ(aside, file.string() + ".bad");
        }
    }
    EXPECT_EQ(test::readFile(target), "theirs");
}

}  // namespace
}  // namespace noctave
