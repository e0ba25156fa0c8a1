#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.hpp"
#include "tests/support/TempDir.hpp"

namespace noctave::test {
namespace {

namespace fs = std::filesystem;

TEST(EntryPointTest, ExportOptionsPrintTheirOutcomeExitWithItsStatusAndOnlyTheFirstModeRuns) {
    struct Case {
        const char* arguments;
        int status;        // -1: not the export's to decide
        const char* says;  // on success the whole output ("@": the current folder), else how
                           // standard error begins
        const char* made = "";
        const char* notMade = "";
    };
    const Case cases[] = {
        {"--preview-menu-icon", 2, "usage: Noctave --preview-menu-icon <png-path>\n"},
        {"--export-app-icon-set set", 2,
         "usage: Noctave --export-app-icon-set <directory> <source-png>\n", "", "set"},
        // Relative paths are taken from the current folder; the printed path is absolute.
        {"--preview-menu-icon preview.png", 0, "wrote @/preview.png\n", "preview.png"},
        {"--export-app-icon-set icons/ no-such-source.png", 0, "wrote @/icons\n",
         "icons/icon_512x512@2x.png"},
        {"--preview-menu-icon missing-folder/p.png", 1, "could not export menu icon preview: "},
        {"--export-app-icon-set /dev/null/set x.png", 1, "could not export app icon: "},
        // Only the first mode runs: the preview wins wherever it stands, a value that looks
        // like an option is still a path, and a diagnostic command comes before every export.
        {"--export-app-icon-set icons src.png --preview-menu-icon p.png", 0, "wrote @/p.png\n",
         "p.png", "icons"},
        {"--preview-menu-icon --export-app-icon-set icons src.png", 0,
         "wrote @/--export-app-icon-set\n", "--export-app-icon-set", "icons"},
        {"--preview-menu-icon late.png --selftest", -1, "", "", "late.png"},
    };
    TempDir temp;
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const fs::path cwd = temp.path() / std::to_string(index++);
        fs::create_directories(cwd);
        const ProgramRun run = runProgram(NOCTAVE_BINARY, words(c.arguments),
                                          {.set = {{"QT_QPA_PLATFORM", "offscreen"},
                                                   {"NOCTAVE_PLATFORM", "sim"},
                                                   {"NOCTAVE_SIM_HOME", (cwd / "home").string()}},
                                           .workingDirectory = cwd});
        ASSERT_FALSE(run.timedOut);
        const std::string& out = run.out;
        const std::string& err = run.err;
        if (c.status >= 0) {
            std::string expected = c.status == 0 ? c.says : "";
            if (const auto at = expected.find('@'); at != std::string::npos) {
                expected.replace(at, 1, cwd.string());
            }
            EXPECT_EQ(run.status, c.status) << err;
            EXPECT_EQ(out, expected);
            EXPECT_EQ(err.rfind(c.status == 0 ? "" : c.says, 0), 0u) << err;
        }
        EXPECT_TRUE(*c.made == '\0' || fs::is_regular_file(cwd / c.made));
        EXPECT_TRUE(*c.notMade == '\0' || !fs::exists(cwd / c.notMade));
    }
}

}  // namespace
}  // namespace noctave::test
