// The lid owners' stand-down and restore, on real files: PowerDevil's KConfig files (the
// user's and a system-wide one), GSettings in its keyfile store, and the record beside them.
// The guardian cases kill a real process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>

#include "platform/linux/lid/GSettingsLidOwner.hpp"
#include "platform/linux/lid/LidGuardian.hpp"
#include "platform/linux/lid/LidRecord.hpp"
#include "platform/linux/lid/LidStandDown.hpp"
#include "platform/linux/lid/LogindLidSettings.hpp"
#include "platform/linux/lid/PowerDevilLidOwner.hpp"
#include "tests/support/ScopedVariable.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::linuxos::lid {
namespace {

namespace fs = std::filesystem;
using test::readFile;

void writeFile(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

// A Plasma 5 profiles file as PowerDevil writes it, with the user's own lines around the keys.
const std::string kProfiles =
    "[AC]\nicon=battery-charging\n\n[AC][HandleButtonEvents]\nlidAction=1\npowerButtonAction=16\n"
    "\n[Battery][HandleButtonEvents]\nlidAction=32\n\n[LowBattery][DimDisplay]\nidleTime=60000\n";

OwnerFactory powerDevilFactory() {
    return [](const std::string& program, const std::string& location) {
        return program == "PowerDevil"
                   ? makePowerDevilLidOwner(PowerDevilFiles::ofLocation(location), nullptr)
                   : nullptr;
    };
}

struct Files {
    test::TempDir dir;
    fs::path profiles = dir.path() / "powermanagementprofilesrc";
    fs::path record = dir.path() / "state" / "lid-owner.record";
    fs::path system = dir.path() / "xdg";
    test::ScopedVariable state{"XDG_STATE_HOME", (dir.path() / "state").string()};
    test::ScopedVariable configDirs{"XDG_CONFIG_DIRS", system.string()};

    Files() { fs::create_directories(system); }

    // PowerDevil's owner over the user's files in `dir` and the system-wide ones in `system`.
    std::unique_ptr<LidOwner> owner(Plasma version) const {
        return makePowerDevilLidOwner(PowerDevilFiles{dir.path(), {system}, {version}}, nullptr);
    }

    // PowerDevil 5's owner over the profiles file, holding `text` (none: no file), stood down.
    std::unique_ptr<LidOwner> standDownProfiles(const std::optional<std::string>& text) {
        if (text) {
            writeFile(profiles, *text);
        }
        auto owner = this->owner(Plasma::five);
        std::string why;
        EXPECT_TRUE(standDown(*owner, record, &why)) << why;
        return owner;
    }

    Restore restore(Writer writer) { return restoreRecord(record, writer, powerDevilFactory()); }
};

TEST(LidStandDown, PowerDevilSetsEveryProfileToNothingAndRestoresTheFileByteForByte) {
    Files files;
    auto owner = files.standDownProfiles(kProfiles);

    // Every profile does nothing, including the one the user had no lid key in; the rest of
    // the file is untouched.
    SettingValue value;
    for (const auto& key : owner->keys()) {
        ASSERT_TRUE(owner->read(key.name, value));
        EXPECT_EQ(value, "0") << key.name;
    }
    EXPECT_NE(readFile(files.profiles).find("powerButtonAction=16\n"), std::string::npos);
    ASSERT_TRUE(fs::exists(files.record));
    EXPECT_EQ(fs::status(files.record).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    EXPECT_EQ(files.restore(Writer::thisProcess), Restore::restored);
    EXPECT_EQ(readFile(files.profiles), kProfiles);
    EXPECT_FALSE(fs::exists(files.record));
}

TEST(LidStandDown, AFileThatDidNotExistIsGoneAgainAfterTheRestore) {
    Files files;
    auto owner = files.standDownProfiles(std::nullopt);
    EXPECT_TRUE(fs::exists(files.profiles));
    EXPECT_EQ(files.restore(Writer::thisProcess), Restore::restored);
    EXPECT_FALSE(fs::exists(files.profiles));
}

TEST(LidStandDown, NothingIsRecordedWhenTheLidAlreadyDoesNothing) {
    Files files;
    const std::string quiet =
        "[AC][HandleButtonEvents]\nlidAction=0\n[Battery][HandleButtonEvents]\nlidAction=0\n"
        "[LowBattery][HandleButtonEvents]\nlidAction=0\n";
    files.standDownProfiles(quiet);
    EXPECT_FALSE(fs::exists(files.record));
    EXPECT_EQ(readFile(files.profiles), quiet);
}

// An owner whose store refuses the n-th write: a stand-down cut short must put back what it
// had changed and leave no record behind.
class FailingOwner final : public LidOwner {
  public:
    explicit FailingOwner(int writesAllowed) : writesAllowed_(writesAllowed) {}
    std::string program() const override { return "test"; }
    std::string mechanism() const override { return "memory"; }
    std::string location() const override { return {}; }
    std::vector<Key> keys() const override { return {{"a", "off"}, {"b", "off"}}; }
    bool read(const std::string& key, SettingValue& value) override {
        value = values_.at(key);
        return true;
    }
    bool write(const std::string& key, const SettingValue& value) override {
        if (writes_++ == writesAllowed_) {
            return false;
        }
        values_[key] = value;
        return true;
    }
    // The daemon's word: its store's values, unless it is stuck on its own.
    LidAnswer answer() override {
        LidAnswer answer;
        for (const auto& [key, value] : values_) {
            answer.states.push_back({key, value.value_or("unset"), value == "off" && !isStuck_});
        }
        return answer;
    }
    std::map<std::string, SettingValue> values_{{"a", "suspend"}, {"b", std::nullopt}};
    bool isStuck_ = false;

  private:
    int writesAllowed_;
    int writes_ = 0;
};

TEST(LidStandDown, AStandDownCutShortPutsBackWhatItChangedAndKeepsNoRecord) {
    Files files;
    FailingOwner owner(1);
    std::string why;
    EXPECT_FALSE(standDown(owner, files.record, &why));
    EXPECT_EQ(why, "cannot write b of test");
    EXPECT_EQ(owner.values_.at("a"), "suspend");
    EXPECT_EQ(owner.values_.at("b"), std::nullopt);
    EXPECT_FALSE(fs::exists(files.record));

    // Every write taken, but the daemon still answers that it acts: a failure, undone.
    FailingOwner stuck(99);
    stuck.isStuck_ = true;
    EXPECT_FALSE(standDown(stuck, files.record, &why));
    EXPECT_EQ(why, "test answers a: off; b: off");
    EXPECT_EQ(stuck.values_.at("a"), "suspend");
    EXPECT_FALSE(fs::exists(files.record));
}

TEST(LidStandDown, RestoresActOnlyOnTheRecordsTheyMayTouch) {
    Files files;
    auto owner = files.standDownProfiles(kProfiles);
    // Our record while we run is not a dead writer's.
    EXPECT_EQ(files.restore(Writer::gone), Restore::nothing);
    EXPECT_TRUE(fs::exists(files.record));

    // A record whose writer's number now names another process is a dead writer's.
    auto record = LidRecord::fromText(readFile(files.record));
    ASSERT_TRUE(record);
    record->startTime += 1;
    writeFile(files.record, record->toText());
    EXPECT_EQ(files.restore(Writer::thisProcess), Restore::nothing);
    EXPECT_EQ(files.restore(Writer::gone), Restore::restored);
    EXPECT_EQ(readFile(files.profiles), kProfiles);

    // An owner this build cannot reach fails, and the record stays for a later try.
    record->program = "unknown-daemon";
    writeFile(files.record, record->toText());
    EXPECT_EQ(files.restore(Writer::gone), Restore::failed);
    EXPECT_TRUE(fs::exists(files.record));
}

// KConfig's own rules on the user's file and the system-wide one beneath it: the stand-down
// changes the entry KConfig reads and nothing else, and the restore gives back every byte;
// what it cannot change exactly it refuses, leaving everything as it was.
struct KConfigCase {
    const char* name;
    const char* user;    // the user's powermanagementprofilesrc; null: none
    const char* system;  // the system-wide one; null: none
    const char* after;   // a line the stand-down leaves in the user's file; null: refused
    const char* why;     // what the refusal says
};

const KConfigCase kKConfigCases[] = {
    {"the last of duplicated keys", "[AC][HandleButtonEvents]\nlidAction=0\nlidAction = 1 \n",
     nullptr, "lidAction=0\nlidAction = 0 \n", nullptr},
    {"the last of duplicated groups",
     "[AC][HandleButtonEvents]\nlidAction=2\n\n[AC]\nicon=x\n\n[AC][HandleButtonEvents]\n"
     "powerButtonAction=16\nlidAction=1\n",
     nullptr,
     "lidAction=2\n\n[AC]\nicon=x\n\n[AC][HandleButtonEvents]\npowerButtonAction=16\nlidAction=0\n",
     nullptr},
    {"translated and expanded keys left alone",
     "[AC][HandleButtonEvents]\nlidAction[de]=1\nlidAction[$e]=$LID\nlidAction=1\n", nullptr,
     "lidAction[de]=1\nlidAction[$e]=$LID\nlidAction=0\n", nullptr},
    {"a system-wide value beneath", nullptr, "[Battery][HandleButtonEvents]\nlidAction=1\n",
     "[Battery][HandleButtonEvents]\nlidAction=0\n", nullptr},
    {"an immutable entry", "[AC][HandleButtonEvents]\nlidAction[$i]=1\n", nullptr, nullptr,
     "lidAction in [AC][HandleButtonEvents] is immutable ([$i]) in "},
    {"an immutable group", "[AC][HandleButtonEvents][$i]\nlidAction=1\n", nullptr, nullptr,
     "[AC][HandleButtonEvents] is immutable ([$i]) in "},
    {"a system-wide immutable group", "[AC][HandleButtonEvents]\nlidAction=1\n",
     "[AC][HandleButtonEvents][$i]\nlidAction=1\n", nullptr,
     "lidAction in [AC][HandleButtonEvents] is immutable in "},
    {"an expanded value that decides",
     "[AC][HandleButtonEvents]\nlidAction=0\nlidAction[$e]=$LID\n", nullptr, nullptr,
     "is not a plain value"},
    {"a line that is not KConfig's", "[AC][HandleButtonEvents\nlidAction=1\n", nullptr, nullptr,
     "line 1 is not KConfig's"},
};

TEST(LidStandDown, PowerDevilFollowsKConfigsRulesOrRefusesTheFile) {
    for (const auto& c : kKConfigCases) {
        SCOPED_TRACE(c.name);
        Files files;
        if (c.user != nullptr) {
            writeFile(files.profiles, c.user);
        }
        if (c.system != nullptr) {
            writeFile(files.system / "powermanagementprofilesrc", c.system);
        }
        auto owner = files.owner(Plasma::five);
        std::string why;
        const bool stood = standDown(*owner, files.record, &why);
        if (c.after == nullptr) {
            EXPECT_FALSE(stood);
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
            EXPECT_EQ(c.user ? readFile(files.profiles) : std::string(), c.user ? c.user : "");
            EXPECT_FALSE(fs::exists(files.record));
            continue;
        }
        ASSERT_TRUE(stood) << why;
        EXPECT_NE(readFile(files.profiles).find(c.after), std::string::npos)
            << readFile(files.profiles);
        EXPECT_TRUE(owner->answer().doesNothing()) << owner->answer().describe();
        EXPECT_EQ(files.restore(Writer::thisProcess), Restore::restored);
        EXPECT_EQ(fs::exists(files.profiles) ? readFile(files.profiles) : std::string(),
                  c.user ? c.user : "");
    }
}

TEST(LidStandDown, PowerDevilRefusesAFileItCannotReadAndALidLockedSystemWide) {
    Files files;
    // A folder where the file should be: nothing to read, nothing written.
    fs::create_directories(files.profiles);
    std::string why;
    EXPECT_FALSE(standDown(*files.owner(Plasma::five), files.record, &why));
    EXPECT_NE(why.find("cannot read " + files.profiles.string()), std::string::npos) << why;
    EXPECT_FALSE(fs::exists(files.record));
    fs::remove(files.profiles);

    // The user's file already says nothing, but an administrator's immutable value wins: the
    // owner's answer is what fails the stand-down.
    const std::string quiet =
        "[AC][HandleButtonEvents]\nlidAction=0\n[Battery][HandleButtonEvents]\nlidAction=0\n"
        "[LowBattery][HandleButtonEvents]\nlidAction=0\n";
    writeFile(files.profiles, quiet);
    writeFile(files.system / "powermanagementprofilesrc",
              "[Battery][HandleButtonEvents]\nlidAction[$i]=1\n");
    EXPECT_FALSE(standDown(*files.owner(Plasma::five), files.record, &why));
    EXPECT_NE(why.find("PowerDevil answers"), std::string::npos) << why;
    EXPECT_NE(why.find("Battery (powermanagementprofilesrc): lidAction=1 (sleep)"),
              std::string::npos)
        << why;
    EXPECT_EQ(readFile(files.profiles), quiet);
}

// Which file PowerDevil reads, told by the files alone (no daemon, no program to look at).
TEST(LidStandDown, PlasmaSixIsToldFromItsFilesFreshOrUpgradedFromFive) {
    const std::string migrated = "[Migration]\nMigratedProfilesToPlasma6=true\n";
    const std::string five = "[AC][HandleButtonEvents]\nlidAction=1\n";
    const std::string six = "[AC][SuspendAndShutdown]\nLidAction=1\n";
    const struct {
        const char* name;
        std::string profiles;
        std::string powerdevilrc;
        std::optional<Plasma> expected;
    } cases[] = {
        {"fresh Plasma 6", migrated, "", Plasma::six},
        {"upgraded from Plasma 5", five + migrated, six, Plasma::six},
        {"upgraded, nothing migrated", five + migrated, "", Plasma::six},
        {"Plasma 6 profiles alone", "", six, Plasma::six},
        {"Plasma 5", five, "[General]\nx=1\n", Plasma::five},
        {"nothing to tell", "", "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Files files;
        writeFile(files.profiles, c.profiles);
        writeFile(files.dir.path() / "powerdevilrc", c.powerdevilrc);
        EXPECT_EQ(plasmaOfFiles(files.dir.path()), c.expected);
    }
    Files files;
    const char program[] =
        "\x7f"
        "ELF\0libQt6Core.so.6";
    writeFile(files.dir.path() / "program", std::string(program, sizeof program - 1));
    EXPECT_EQ(plasmaOfProgram(files.dir.path() / "program"), Plasma::six);
}

TEST(LidStandDown, PlasmaSixWritesPowerdevilrcAndLeavesThePlasmaFiveFileAlone) {
    Files files;
    const std::string profiles =
        "[AC][HandleButtonEvents]\nlidAction=1\n[Migration]\n"
        "MigratedProfilesToPlasma6=true\n";
    writeFile(files.profiles, profiles);
    auto owner = files.owner(Plasma::six);
    EXPECT_FALSE(owner->answer().doesNothing());
    std::string why;
    ASSERT_TRUE(standDown(*owner, files.record, &why)) << why;
    EXPECT_EQ(readFile(files.profiles), profiles);
    EXPECT_EQ(readFile(files.dir.path() / "powerdevilrc"),
              "[AC][SuspendAndShutdown]\nLidAction=0\n\n[Battery][SuspendAndShutdown]\n"
              "LidAction=0\n\n[LowBattery][SuspendAndShutdown]\nLidAction=0\n");
    EXPECT_EQ(files.restore(Writer::thisProcess), Restore::restored);
    EXPECT_FALSE(fs::exists(files.dir.path() / "powerdevilrc"));
}

// Whatever sits at the record's path, a start or the guardian neither hangs nor fails on it
// again: an unusable record is moved aside (and a second look finds nothing).
TEST(LidStandDown, AnUnusableRecordIsMovedAsideAtOnce) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> plant;
    } cases[] = {
        {"garbage", [](const fs::path& at) { writeFile(at, "{\"pid\": "); }},
        {"a FIFO", [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
        {"a link", [](const fs::path& at) { fs::create_symlink(at.string() + ".target", at); }},
        {"a folder", [](const fs::path& at) { fs::create_directories(at); }},
        {"a huge file", [](const fs::path& at) { writeFile(at, std::string(1024 * 1024, '{')); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Files files;
        fs::create_directories(files.record.parent_path());
        c.plant(files.record);
        EXPECT_EQ(files.restore(Writer::gone), Restore::movedAside);
        EXPECT_FALSE(fs::exists(fs::symlink_status(files.record)));
        EXPECT_TRUE(fs::exists(fs::symlink_status(files.record.string() + ".bad")));
        EXPECT_EQ(files.restore(Writer::gone), Restore::nothing);
    }
}

// The guardian, as the real program beside a real process.
struct Guarded {
    Files files;
    int pipeEnds[2] = {-1, -1};

    // A child that stands PowerDevil down, starts the guardian and reports its pid, then waits
    // to be killed (or, with `disarm`, restores, stops the guardian and exits).
    pid_t startArmedChild(bool disarm) {
        writeFile(files.profiles, kProfiles);
        EXPECT_EQ(::pipe(pipeEnds), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeEnds[0]);
            auto owner = files.owner(Plasma::five);
            std::string why;
            pid_t guardianPid = -1;
            std::unique_ptr<LidGuardian> guardian;
            if (standDown(*owner, files.record, &why)) {
                guardian = LidGuardian::start(NOCTAVE_LID_GUARDIAN, files.record);
                guardianPid = guardian ? guardian->pid() : -1;
            }
            if (disarm) {
                const bool restored = restoreRecord(files.record, Writer::thisProcess,
                                                    powerDevilFactory()) == Restore::restored;
                guardian.reset();
                // Reaped by the destructor: nothing of that pid is left to wait for.
                const bool reaped = ::waitpid(guardianPid, nullptr, WNOHANG) < 0 && errno == ECHILD;
                (void)!::write(pipeEnds[1], &guardianPid, sizeof guardianPid);
                ::_exit(restored && reaped ? 0 : 1);
            }
            (void)!::write(pipeEnds[1], &guardianPid, sizeof guardianPid);
            ::pause();
            ::_exit(0);
        }
        ::close(pipeEnds[1]);
        return child;
    }

    pid_t guardianPid() {
        pid_t pid = -1;
        EXPECT_EQ(::read(pipeEnds[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
        ::close(pipeEnds[0]);
        return pid;
    }
};

// Waits for a process that is not our child to end; false if it still runs after 10 s.
bool waitForEnd(pid_t pid) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return errno == ESRCH;
    }
    pollfd entry{fd, POLLIN, 0};
    const bool ended = ::poll(&entry, 1, 10'000) == 1;
    ::close(fd);
    return ended;
}

TEST(LidGuardian, RestoresTheSettingsAfterSigkillAndExits) {
    Guarded guarded;
    const pid_t child = guarded.startArmedChild(false);
    const pid_t guardian = guarded.guardianPid();
    ASSERT_GT(guardian, 0);
    ASSERT_NE(readFile(guarded.files.profiles), kProfiles);

    const auto killed = std::chrono::steady_clock::now();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(waitForEnd(guardian));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - killed)
                        .count();
    std::printf("restored %lld ms after SIGKILL\n", static_cast<long long>(ms));
    EXPECT_EQ(readFile(guarded.files.profiles), kProfiles);
    EXPECT_FALSE(fs::exists(guarded.files.record));
}

// An owner that dies by SIGKILL once it has made `writes` changes: the arm cut short at each
// of its steps, in a real process.
class DyingOwner final : public LidOwner {
  public:
    DyingOwner(std::unique_ptr<LidOwner> inner, int writes)
        : inner_(std::move(inner)), writes_(writes) {}
    std::string program() const override { return inner_->program(); }
    std::string mechanism() const override { return inner_->mechanism(); }
    std::string location() const override { return inner_->location(); }
    std::vector<Key> keys() const override { return inner_->keys(); }
    bool read(const std::string& key, SettingValue& value) override {
        return inner_->read(key, value);
    }
    bool write(const std::string& key, const SettingValue& value) override {
        if (writes_-- == 0) {
            ::raise(SIGKILL);
        }
        return inner_->write(key, value);
    }
    LidAnswer answer() override { return inner_->answer(); }

  private:
    std::unique_ptr<LidOwner> inner_;
    int writes_;
};

TEST(LidGuardian, StandsBeforeTheFirstChangeSoADeathAtAnyStepIsUndone) {
    for (const int writes : {0, 1, 2}) {
        SCOPED_TRACE(writes);
        Guarded guarded;
        writeFile(guarded.files.profiles, kProfiles);
        ASSERT_EQ(::pipe(guarded.pipeEnds), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(guarded.pipeEnds[0]);
            DyingOwner owner(guarded.files.owner(Plasma::five), writes);
            std::unique_ptr<LidGuardian> guardian;
            std::string why;
            standDown(owner, guarded.files.record, &why, [&] {
                guardian = LidGuardian::start(NOCTAVE_LID_GUARDIAN, guarded.files.record);
                const pid_t pid = guardian ? guardian->pid() : -1;
                (void)!::write(guarded.pipeEnds[1], &pid, sizeof pid);
            });
            ::_exit(3);  // not reached: the owner dies first
        }
        ::close(guarded.pipeEnds[1]);
        const pid_t guardian = guarded.guardianPid();
        ASSERT_GT(guardian, 0);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        ASSERT_TRUE(waitForEnd(guardian));
        EXPECT_EQ(readFile(guarded.files.profiles), kProfiles);
        EXPECT_FALSE(fs::exists(guarded.files.record));
    }
}

TEST(LidGuardian, ExitsWithoutTouchingAnythingWhenTheRecordIsRemovedNormally) {
    Guarded guarded;
    const pid_t child = guarded.startArmedChild(true);
    const pid_t guardian = guarded.guardianPid();
    ASSERT_GT(guardian, 0);
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readFile(guarded.files.profiles), kProfiles);
    // The user changes the file after the disarm: no guardian is left to undo it.
    writeFile(guarded.files.profiles, "[AC][HandleButtonEvents]\nlidAction=0\n");
    EXPECT_TRUE(waitForEnd(guardian));
    EXPECT_EQ(readFile(guarded.files.profiles), "[AC][HandleButtonEvents]\nlidAction=0\n");
}

// GSettings in its keyfile store under a private config folder, with a schema shaped like
// mate-power-manager's (enumerated lid actions).
class GSettingsStandDown : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static test::TempDir* dir = new test::TempDir();  // GIO keeps its schema source for good
        const fs::path schemas = dir->path() / "schemas";
        fs::create_directories(schemas);
        writeFile(schemas / "org.mate.power-manager.gschema.xml", R"(<schemalist>
  <enum id="org.mate.power-manager.ActionType">
    <value nick="blank" value="0"/><value nick="suspend" value="1"/>
    <value nick="shutdown" value="2"/><value nick="hibernate" value="3"/>
    <value nick="interactive" value="4"/><value nick="nothing" value="5"/>
  </enum>
  <schema id="org.mate.power-manager" path="/org/mate/power-manager/">
    <key name="button-lid-battery" enum="org.mate.power-manager.ActionType"><default>'suspend'</default></key>
    <key name="button-lid-ac" enum="org.mate.power-manager.ActionType"><default>'suspend'</default></key>
  </schema>
</schemalist>)");
        const std::string compile = "glib-compile-schemas " + schemas.string();
        ASSERT_EQ(std::system(compile.c_str()), 0);
        ::setenv("GSETTINGS_SCHEMA_DIR", schemas.c_str(), 1);
        // Only these schemas: not the machine's own, which may hold the real desktops'.
        ::setenv("XDG_DATA_DIRS", (dir->path() / "data").c_str(), 1);
        ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
        ::setenv("XDG_CONFIG_HOME", (dir->path() / "config").c_str(), 1);
    }
};

TEST_F(GSettingsStandDown, KeysTheUserNeverSetAreResetNotWrittenAndSetOnesComeBack) {
    Files files;
    auto owner = makeMateLidOwner();
    ASSERT_TRUE(owner);
    EXPECT_FALSE(makeCinnamonLidOwner()) << "no Cinnamon schema installed here";
    ASSERT_TRUE(owner->write("button-lid-ac", "'hibernate'"));
    EXPECT_EQ(owner->answer().describe(),
              "on battery: button-lid-battery='suspend'; on AC: button-lid-ac='hibernate' "
              "[GSettings org.mate.power-manager as mate-power-manager reads it]");
    std::string why;
    ASSERT_TRUE(standDown(*owner, files.record, &why)) << why;
    EXPECT_TRUE(owner->answer().doesNothing());
    SettingValue value;
    ASSERT_TRUE(owner->read("button-lid-battery", value));
    EXPECT_EQ(value, "'nothing'");

    auto factory = [](const std::string&, const std::string&) { return makeMateLidOwner(); };
    EXPECT_EQ(restoreRecord(files.record, Writer::thisProcess, factory), Restore::restored);
    ASSERT_TRUE(owner->read("button-lid-battery", value));
    EXPECT_EQ(value, std::nullopt);
    ASSERT_TRUE(owner->read("button-lid-ac", value));
    EXPECT_EQ(value, "'hibernate'");
    EXPECT_FALSE(owner->write("button-lid-ac", "'no-such-action'"));

    // A record naming a key this schema lacks (another version's): that entry is skipped with
    // a log line, never a GLib abort, and the rest comes back.
    ASSERT_TRUE(owner->write("button-lid-ac", "'nothing'"));
    LidRecord record = LidRecord::forThisProcess();
    record.program = "mate-power-manager";
    record.entries = {{"button-lid-gone", "'suspend'", "'nothing'"},
                      {"button-lid-ac", std::nullopt, "'nothing'"}};
    fs::create_directories(files.record.parent_path());
    writeFile(files.record, record.toText());
    EXPECT_FALSE(owner->read("button-lid-gone", value));
    EXPECT_EQ(restoreRecord(files.record, Writer::thisProcess, factory), Restore::restored);
    ASSERT_TRUE(owner->read("button-lid-ac", value));
    EXPECT_EQ(value, std::nullopt);
}

// logind's lid settings: the main file, then drop-ins by name, /etc's over /run's over
// /usr/lib's for one name, a later name winning.
TEST(LogindLidSettings, DropInsOverrideTheMainFileInNameOrderWithEtcWinningForOneName) {
    test::TempDir root;
    for (const char* folder : {"etc/systemd/logind.conf.d", "run/systemd/logind.conf.d",
                               "usr/lib/systemd/logind.conf.d"}) {
        fs::create_directories(root.path() / folder);
    }
    writeFile(root.path() / "etc/systemd/logind.conf",
              "[Login]\n#HandleLidSwitch=ignore\nHandleLidSwitch=hibernate\n"
              "HandleLidSwitchDocked=ignore\nKillUserProcesses=no\n");
    writeFile(root.path() / "usr/lib/systemd/logind.conf.d/10-vendor.conf",
              "[Login]\nLidSwitchIgnoreInhibited=no\nHandleLidSwitchDocked=suspend\n");
    writeFile(root.path() / "run/systemd/logind.conf.d/10-vendor.conf",
              "[Login]\nHandleLidSwitchDocked=lock\n");
    writeFile(
        root.path() / "etc/systemd/logind.conf.d/20-user.conf",
        "[Other]\nHandleLidSwitch=poweroff\n[Login]\n HandleLidSwitchExternalPower = ignore\n");
    const auto settings = readLogindLidSettings(root.path());
    EXPECT_EQ(settings,
              (std::map<std::string, std::string>{{"HandleLidSwitch", "hibernate"},
                                                  {"HandleLidSwitchDocked", "lock"},
                                                  {"HandleLidSwitchExternalPower", "ignore"}}));
}

}  // namespace
}  // namespace noctave::linuxos::lid
