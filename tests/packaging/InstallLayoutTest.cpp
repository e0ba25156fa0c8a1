#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <QImage>
#include <nlohmann/json.hpp>

#include "platform/linux/GnomeShellExtension.hpp"
#include "platform/linux/HingeSensorNodes.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

const std::string kAppId = "com.quillor.noctave";

// Installs the build into a fresh prefix once, as `cmake --install` would for a user.
class InstallLayoutTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        prefix_ = new TempDir();
        install_ =
            new ProgramRun(runProgram(NOCTAVE_CMAKE_COMMAND, {"--install", NOCTAVE_BUILD_DIR,
                                                              "--prefix", prefix().string()}));
    }
    static void TearDownTestSuite() {
        delete install_;
        delete prefix_;
    }
    void SetUp() override { ASSERT_EQ(install_->status, 0) << install_->out << install_->err; }

    static fs::path prefix() { return prefix_->path(); }
    static fs::path installed(const std::string& relative) { return prefix() / relative; }

    static std::string helpText() {
        return runProgram(installed(NOCTAVE_INSTALL_BINDIR "/noctave").string(), {"--help"}).out;
    }

  private:
    static TempDir* prefix_;
    static ProgramRun* install_;
};
TempDir* InstallLayoutTest::prefix_ = nullptr;
ProgramRun* InstallLayoutTest::install_ = nullptr;

// Key -> value of one group of a desktop entry.
std::map<std::string, std::string> desktopGroup(const std::string& text, const std::string& group) {
    std::map<std::string, std::string> keys;
    bool inside = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("[")) {
            inside = line == "[" + group + "]";
        } else if (const auto equals = line.find('='); inside && equals != std::string::npos) {
            keys[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return keys;
}

std::string firstMatch(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : "";
}

std::set<std::string> longOptions(const std::string& text) {
    std::set<std::string> options;
    const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        options.insert(it->str());
    }
    return options;
}

const std::string kExtensionFolder =
    NOCTAVE_INSTALL_DATADIR "/gnome-shell/extensions/" + std::string(linuxos::kGnomeExtensionUuid);

std::string readText(const fs::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::pair<const char*, int> kIconFolders[] = {
    {"16x16", 16},      {"16x16@2", 32},  {"32x32", 32},       {"32x32@2", 64},
    {"64x64", 64},      {"128x128", 128}, {"128x128@2", 256},  {"256x256", 256},
    {"256x256@2", 512}, {"512x512", 512}, {"512x512@2", 1024},
};

TEST_F(InstallLayoutTest, InstallsTheApplicationFilesAndNothingElse) {
    std::set<std::string> expected = {
        NOCTAVE_INSTALL_BINDIR "/noctave",
        NOCTAVE_INSTALL_BINDIR "/noctave-lid-guardian",
        NOCTAVE_INSTALL_DATADIR "/applications/" + kAppId + ".desktop",
        NOCTAVE_INSTALL_DATADIR "/metainfo/" + kAppId + ".metainfo.xml",
        NOCTAVE_INSTALL_MANDIR "/man1/noctave.1.gz",
        NOCTAVE_INSTALL_UDEVRULESDIR "/70-noctave-hinge-sensor.rules",
    };
    for (const auto& [folder, pixels] : kIconFolders) {
        expected.insert(NOCTAVE_INSTALL_DATADIR "/icons/hicolor/" + std::string(folder) + "/apps/" +
                        kAppId + ".png");
    }
    for (const char* file : {"metadata.json", "extension.js", "noctave.js"}) {
        expected.insert(kExtensionFolder + "/" + file);
    }
    for (const char* state : {"ready", "armed", "warning"}) {
        expected.insert(NOCTAVE_INSTALL_DATADIR "/icons/hicolor/scalable/status/" + kAppId + "-" +
                        state + "-symbolic.svg");
    }
    if (NOCTAVE_HAS_BUS_SERVICE) {
        expected.insert(NOCTAVE_INSTALL_DATADIR "/dbus-1/services/" + kAppId + ".service");
    }
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(prefix())) {
        if (!entry.is_directory()) {
            found.insert(fs::relative(entry.path(), prefix()).string());
        }
    }
    EXPECT_EQ(found, expected);
    const auto program = fs::status(installed(NOCTAVE_INSTALL_BINDIR "/noctave")).permissions();
    EXPECT_NE(program & fs::perms::others_exec, fs::perms::none);
}

// The shell loads extension.js as an ES module from GNOME 45 on and through the legacy importer
// before: the installed form and the versions its metadata names agree, or the shell refuses it.
TEST_F(InstallLayoutTest, GnomeShellExtensionIsTheFormOfTheShellLinesItNames) {
    const auto metadata =
        nlohmann::json::parse(readText(installed(kExtensionFolder + "/metadata.json")));
    EXPECT_EQ(metadata.at("uuid"), linuxos::kGnomeExtensionUuid);
    const auto& versions = metadata.at("shell-version");
    ASSERT_FALSE(versions.empty());
    const bool modules = std::stoi(versions.front().get<std::string>()) >= 45;
    for (const auto& version : versions) {
        EXPECT_EQ(std::stoi(version.get<std::string>()) >= 45, modules) << version;
    }
    const std::regex moduleSyntax(R"(^(import|export) )", std::regex::multiline);
    for (const char* file : {"extension.js", "noctave.js"}) {
        EXPECT_EQ(
            std::regex_search(readText(installed(kExtensionFolder + "/" + file)), moduleSyntax),
            modules)
            << file;
    }
}

TEST_F(InstallLayoutTest, EveryIconIsTheDrawnTileAtItsFolderSize) {
    for (const auto& [folder, pixels] : kIconFolders) {
        SCOPED_TRACE(folder);
        const fs::path file = installed(NOCTAVE_INSTALL_DATADIR "/icons/hicolor/" +
                                        std::string(folder) + "/apps/" + kAppId + ".png");
        const QImage icon(QString::fromStdString(file.string()));
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(icon.width(), pixels);
        EXPECT_EQ(icon.height(), pixels);
        // A tile: opaque in the middle, and more than one colour on it.
        const QColor centre = icon.pixelColor(pixels / 2, pixels / 2);
        EXPECT_EQ(centre.alpha(), 255);
        bool varied = false;
        for (int y = 0; y < pixels && !varied; y += std::max(1, pixels / 32)) {
            for (int x = 0; x < pixels && !varied; x += std::max(1, pixels / 32)) {
                varied = icon.pixelColor(x, y) != centre;
            }
        }
        EXPECT_TRUE(varied);
    }
}

TEST_F(InstallLayoutTest, DesktopEntryAndMetadataValidateAndNameTheInstalledFiles) {
    const fs::path desktopFile =
        installed(NOCTAVE_INSTALL_DATADIR "/applications/" + kAppId + ".desktop");
    const fs::path metainfoFile =
        installed(NOCTAVE_INSTALL_DATADIR "/metainfo/" + kAppId + ".metainfo.xml");
    const ProgramRun desktopCheck = runProgram("desktop-file-validate", {desktopFile.string()});
    EXPECT_EQ(desktopCheck.status, 0) << desktopCheck.err;
    EXPECT_EQ(desktopCheck.out + desktopCheck.err, "");
    const ProgramRun metainfoCheck =
        runProgram("appstreamcli", {"validate", "--no-net", "--pedantic", metainfoFile.string()});
    EXPECT_EQ(metainfoCheck.status, 0) << metainfoCheck.out << metainfoCheck.err;

    const std::string desktop = readFile(desktopFile);
    const auto entry = desktopGroup(desktop, "Desktop Entry");
    EXPECT_EQ(entry.at("Exec"), "noctave");
    EXPECT_TRUE(fs::exists(installed(NOCTAVE_INSTALL_BINDIR "/" + entry.at("Exec"))));
    EXPECT_EQ(entry.at("Icon"), kAppId);
    EXPECT_EQ(entry.at("StartupNotify"), "false");
    // Started by the bus under the entry's own name, which the bus service file must carry;
    // the actions' names are the ones the running program answers to.
    EXPECT_EQ(entry.at("DBusActivatable"), "true");
    EXPECT_EQ(entry.at("Actions"), "settings;onboarding;");
    EXPECT_EQ(desktopGroup(desktop, "Desktop Action settings").at("Exec"),
              "noctave --show-settings");
    EXPECT_EQ(desktopGroup(desktop, "Desktop Action onboarding").at("Exec"),
              "noctave --show-onboarding");
    const auto service = desktopGroup(
        readFile(installed(NOCTAVE_INSTALL_DATADIR "/dbus-1/services/" + kAppId + ".service")),
        "D-BUS Service");
    EXPECT_EQ(service.at("Name"), kAppId);
    // The prefix of this install, not the configured one: the program that is really there.
    EXPECT_EQ(service.at("Exec").substr(0, service.at("Exec").find(' ')),
              installed(NOCTAVE_INSTALL_BINDIR "/noctave").string());

    const std::string metainfo = readFile(metainfoFile);
    EXPECT_EQ(firstMatch(metainfo, "<id>([^<]*)</id>"), kAppId);
    EXPECT_EQ(firstMatch(metainfo, "<launchable type=\"desktop-id\">([^<]*)<"),
              desktopFile.filename());
    EXPECT_EQ(firstMatch(metainfo, "<binary>([^<]*)</binary>"), "noctave");
    // The release is the version the installed program reports, without " Beta".
    const ProgramRun version =
        runProgram(installed(NOCTAVE_INSTALL_BINDIR "/noctave").string(), {"--version"});
    const std::string shown = firstMatch(version.out, "^Noctave ([^ \n]+)");
    ASSERT_FALSE(shown.empty()) << version.out;
    EXPECT_EQ(firstMatch(metainfo, "<release version=\"([^\"]*)\""), shown);
}

TEST_F(InstallLayoutTest, ManPageRendersCleanlyAndDocumentsWhatTheHelpLists) {
    const fs::path page = installed(NOCTAVE_INSTALL_MANDIR "/man1/noctave.1.gz");
    const ProgramRun man = runProgram(
        "man", {"--warnings", "-E", "UTF-8", "-l", page.string()},
        {.set = {
             {"LC_ALL", "C.UTF-8"}, {"MANWIDTH", "100"}, {"MANROFFSEQ", ""}, {"MANPAGER", "cat"}}});
    ASSERT_EQ(man.status, 0) << man.err;
    EXPECT_EQ(man.err, "");

    const std::string help = helpText();
    ASSERT_FALSE(help.empty());
    // Every mode the program has, in both texts; and neither text names an option the other
    // leaves out.
    for (const char* mode :
         {"--selftest", "--diagnose", "--verify-disconnect-guard", "--preview-anim",
          "--preview-menu-icon", "--export-app-icon-set", "--show-settings", "--show-onboarding",
          "--snapshot-settings", "--snapshot-onboarding", "--snapshot-settings-hover", "--simulate",
          "--snapshot-simulator", "--help", "--version", "ctl"}) {
        EXPECT_NE(help.find(mode), std::string::npos) << mode;
    }
    EXPECT_EQ(longOptions(man.out), longOptions(help));
    for (const char* variable : {"NOCTAVE_PLATFORM", "NOCTAVE_SIM", "NOCTAVE_SIM_HOME"}) {
        EXPECT_NE(help.find(variable), std::string::npos) << variable;
        EXPECT_NE(man.out.find(variable), std::string::npos) << variable;
    }
    for (const char* section : {"\nENVIRONMENT\n", "\nFILES\n", "\nEXIT STATUS\n"}) {
        EXPECT_NE(man.out.find(section), std::string::npos) << section;
    }
}

TEST_F(InstallLayoutTest, UdevRuleLetsTheInputGroupReadOnlyOrientationSensorsAsNoctaveFindsThem) {
    const fs::path rule = installed(NOCTAVE_INSTALL_UDEVRULESDIR "/70-noctave-hinge-sensor.rules");
    std::istringstream lines(readFile(rule));
    int rules = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.starts_with("#")) {
            continue;
        }
        ++rules;
        EXPECT_NE(line.find("SUBSYSTEM==\"hidraw\""), std::string::npos) << line;
        // Read for the group, nothing for others; no seat ACL, which would grant writing too.
        EXPECT_NE(line.find("GROUP=\"input\", MODE=\"0640\""), std::string::npos) << line;
        EXPECT_EQ(line.find("uaccess"), std::string::npos) << line;
        // Each pattern is a descriptor prefix that the program's own parser reads as
        // Sensor / Device Orientation.
        std::smatch match;
        std::regex_search(line, match, std::regex(R"re(ATTRS\{report_descriptor\}==e"([^"]*)")re"));
        ASSERT_EQ(match.size(), 2u) << line;
        std::stringstream patterns(match[1].str());
        int prefixes = 0;
        for (std::string pattern; std::getline(patterns, pattern, '|');) {
            ASSERT_TRUE(pattern.ends_with("*")) << pattern;
            std::vector<uint8_t> bytes;
            for (std::size_t i = 0; i + 3 < pattern.size(); i += 4) {
                ASSERT_EQ(pattern.substr(i, 2), "\\x") << pattern;
                bytes.push_back(
                    static_cast<uint8_t>(std::stoi(pattern.substr(i + 2, 2), nullptr, 16)));
            }
            bytes.insert(bytes.end(), {0xA1, 0x01});  // Collection (Application)
            const auto usage = linuxos::primaryUsage(bytes);
            ASSERT_TRUE(usage.has_value()) << pattern;
            EXPECT_EQ(*usage, linuxos::kHingeSensorUsage) << pattern;
            ++prefixes;
        }
        EXPECT_EQ(prefixes, 2);
    }
    EXPECT_EQ(rules, 1);
}

// Both packages, made once by CPack from this build as `make package` makes them.
class PackagesTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        out_ = new TempDir();
        cpack_ = new ProgramRun(runProgram(NOCTAVE_CPACK_COMMAND,
                                           {"-G", "DEB;RPM", "-B", out_->path().string(),
                                            "--config", NOCTAVE_BUILD_DIR "/CPackConfig.cmake"},
                                           {}, 240));
    }
    static void TearDownTestSuite() {
        delete cpack_;
        delete out_;
    }
    void SetUp() override {
        ASSERT_EQ(cpack_->status, 0) << cpack_->out << cpack_->err;
        ASSERT_FALSE(package(".deb").empty()) << cpack_->out;
        ASSERT_FALSE(package(".rpm").empty()) << cpack_->out;
    }

    static fs::path package(const std::string& extension) {
        for (const auto& entry : fs::directory_iterator(out_->path())) {
            if (entry.path().extension() == extension) {
                return entry.path();
            }
        }
        return {};
    }
    static ProgramRun checkRpm(const fs::path& deb) {
        return runProgram(NOCTAVE_CHECK_RPM, {package(".rpm").string(), deb.string()}, {}, 60);
    }

  private:
    static TempDir* out_;
    static ProgramRun* cpack_;
};
TempDir* PackagesTest::out_ = nullptr;
ProgramRun* PackagesTest::cpack_ = nullptr;

// A build configured for /usr/local (the default) still makes a package that lives in /usr, where
// udev reads its rule and the bus finds the program its activation file names.
TEST_F(PackagesTest, TheDebInstallsUnderUsrWhateverTheBuildsPrefix) {
    const fs::path deb = package(".deb");
    const ProgramRun listing = runProgram("dpkg-deb", {"-c", deb.string()});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::istringstream lines(listing.out);
    int files = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::string path = line.substr(line.rfind(' ') + 1);
        EXPECT_TRUE(path == "./" || path.starts_with("./usr/")) << path;
        EXPECT_FALSE(path.starts_with("./usr/local")) << path;
        files += line.starts_with("-") ? 1 : 0;
    }
    EXPECT_GT(files, 10);

    TempDir root;
    ASSERT_EQ(runProgram("dpkg-deb", {"-x", deb.string(), root.path().string()}).status, 0);
    EXPECT_TRUE(fs::exists(root.path() / "usr/bin/noctave"));
    // Without it beside the program, a SIGKILL leaves the desktop's lid settings changed.
    EXPECT_TRUE(fs::exists(root.path() / "usr/bin/noctave-lid-guardian"));
    EXPECT_TRUE(fs::exists(root.path() / "usr/lib/udev/rules.d/70-noctave-hinge-sensor.rules"));
    if (NOCTAVE_HAS_BUS_SERVICE) {
        const auto service = desktopGroup(
            readFile(root.path() / ("usr/share/dbus-1/services/" + kAppId + ".service")),
            "D-BUS Service");
        EXPECT_EQ(service.at("Exec").substr(0, service.at("Exec").find(' ')), "/usr/bin/noctave");
    }
}

// The check compares files, folders, contents, requirements and scripts of the two; what it
// finds wrong is the RPM's doing, since the .deb has its own tests.
TEST_F(PackagesTest, TheRpmHoldsTheDebsFilesAndAsksForItsLibrariesBySoname) {
    const ProgramRun check = checkRpm(package(".deb"));
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_TRUE(check.out.ends_with("check-rpm: PASS\n")) << check.out;
    const ProgramRun dependencies =
        runProgram("rpm", {"-qp", "--nosignature", "--requires", package(".rpm").string()});
    EXPECT_NE(dependencies.out.find("\nlibQt6Widgets.so.6()(64bit)\n"), std::string::npos)
        << dependencies.out;
}

// The check itself: a .deb that differs from the RPM in one way, each found and named.
TEST_F(PackagesTest, TheRpmCheckNamesWhatDiffersFromTheDeb) {
    const std::string metainfo = "usr/share/metainfo/" + kAppId + ".metainfo.xml";
    const std::string desktop = "usr/share/applications/" + kAppId + ".desktop";
    const std::string rule = "usr/lib/udev/rules.d/70-noctave-hinge-sensor.rules";
    const struct {
        const char* name;
        std::function<void(const fs::path&)> change;
        std::vector<std::string> reported;
    } cases[] = {
        {"a file missing",
         [&](const fs::path& tree) { fs::remove(tree / metainfo); },
         {"files differ", "\n+-rw-r--r-- root/root", "/" + metainfo + "\n"}},
        {"a file with other bytes of the same size",
         [&](const fs::path& tree) {
             std::string text = readFile(tree / desktop);
             text.back() = text.back() == '\n' ? ' ' : '\n';
             std::ofstream(tree / desktop, std::ios::binary | std::ios::trunc) << text;
         },
         {"contents differ", "/" + desktop + "\n"}},
        {"a file with another mode",
         [&](const fs::path& tree) {
             fs::permissions(tree / rule, fs::perms::owner_exec, fs::perm_options::add);
         },
         {"files differ", "\n--rwxr--r-- root/root", "\n+-rw-r--r-- root/root"}},
        {"a folder of its own more",
         [&](const fs::path& tree) { fs::create_directories(tree / "usr/share/noctave"); },
         {"exactly its own folders", "\n-/usr/share/noctave\n"}},
        {"other udev commands",
         [&](const fs::path& tree) {
             std::string script = readFile(tree / "DEBIAN/postinst");
             script.replace(script.find("--action=change"), 15, "--action=add");
             std::ofstream(tree / "DEBIAN/postinst", std::ios::trunc) << script;
         },
         {"postinstall runs other udevadm commands", "\n-udevadm trigger "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir work;
        const fs::path tree = work.path() / "tree";
        ASSERT_EQ(runProgram("dpkg-deb", {"-R", package(".deb").string(), tree.string()}).status,
                  0);
        c.change(tree);
        const fs::path deb = work.path() / package(".deb").filename();
        const ProgramRun build = runProgram(
            "dpkg-deb", {"--root-owner-group", "-Znone", "-b", tree.string(), deb.string()});
        ASSERT_EQ(build.status, 0) << build.err;
        const ProgramRun check = checkRpm(deb);
        EXPECT_EQ(check.status, 1) << check.out;
        for (const std::string& text : c.reported) {
            EXPECT_NE(check.err.find(text), std::string::npos) << text << "\n" << check.err;
        }
    }
}

}  // namespace
}  // namespace noctave::test
