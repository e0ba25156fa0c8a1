#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/diagnostics/Diagnose.hpp"
#include "app/diagnostics/TrayHost.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/diagnostics/DiagnosticRuns.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

const std::string kCount = "IOPMrootDomain properties: 6\n";
const std::string kChanged = "\n--- changed while flag was SET ---\n";
const std::string kReturned = "\n--- did everything return to baseline? ---\n";
const std::string kNow = "\n--- lid-close-related properties now ---\n  SleepDisabled = No\n";
const std::string kQuiet = kCount + kChanged + "  (no observable property change)\n" + kReturned +
                           "  yes - clean restore\n" + kNow;

TEST(Diagnose, ReportsWhatTheFlagChangedAndLeavesItClear) {
    expectRuns({"--diagnose"}, {{"", kQuiet, 0},
                                {"rootdomain=missing", "could not open IOPMrootDomain\n", 1},
                                {"flag=refuse", kCount + "selector 12 (arg 1) FAILED\n", 1}});
    // The diagnose wins over the disconnect-guard check wherever it stands.
    expectRuns({"--verify-disconnect-guard", "--diagnose"}, {{"", kQuiet, 0}});
}

// In this process, with a root domain whose clamshell-causes-sleep property changes under the
// lid-close calls: what the virtual laptop cannot be told to do from its command-line keys.
class DiagnoseReport : public SimTest {};

TEST_F(DiagnoseReport, ListsWhatChangedWhileSetAndWhatDidNotComeBack) {
    // 150 plain characters, then a line feed and accented letters: each counts as one
    // character, and the line feed prints as a space.
    const auto accents = [](int n) {
        std::string text;
        while (n-- > 0) {
            text += "\u00E9";
        }
        return text;
    };
    const std::string during = std::string(150, 'x') + "\n" + accents(12);
    const std::string shown = std::string(150, 'x') + " " + accents(9);
    // The property takes the next value at each lid-close call: set, then clear.
    const std::vector<std::optional<os::PropertyValue>> values{os::PropertyValue{0, during},
                                                               std::nullopt};
    auto calls = std::make_shared<std::size_t>(0);
    laptop.power().setOnScalarCall([this, values, calls] {
        if (*calls < values.size()) {
            laptop.power().setClamshellCausesSleep(values[*calls]);
        }
        ++*calls;
    });

    int status = -1;
    const std::string out =
        captureStandardOutput([&status] { status = app::Diagnose::run(); }, temp.path());

    const std::string item = "  AppleClamshellCausesSleep\n      before: 1\n";
    EXPECT_EQ(out, kCount + kChanged + item + "      during: " + shown + "\n" + kReturned + item +
                       "      after:  <absent>\n" + kNow);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(laptop.power().kernelFlag());
}

// Which surfaces serve the user, for each answer of the bus: the last line names them, and where
// none runs the report says how to turn the extension on.
TEST(TrayHostReport, NamesTheSurfacesThatServeTheUserAndHowToGetOne) {
    const std::string enable = "gnome-extensions enable noctave@quillor.com";
    struct Case {
        std::optional<bool> watcher, extension;
        std::string surfaces;
        bool saysHowToEnable;
    };
    for (const Case& c : std::vector<Case>{{true, true, "tray host, GNOME extension", false},
                                           {true, false, "tray host", true},
                                           {false, true, "GNOME extension", false},
                                           {false, false, "none", true}}) {
        const auto lines = app::TrayHost::report(c.watcher, c.extension);
        std::string text;
        for (const auto& line : lines) {
            text += line + "\n";
        }
        EXPECT_EQ(lines.back(), "  " + c.surfaces) << text;
        EXPECT_EQ(text.find(enable) != std::string::npos, c.saysHowToEnable) << text;
        // A window stands in only where nothing else serves.
        EXPECT_EQ(text.find("opens a window") != std::string::npos, c.surfaces == "none") << text;
    }
    EXPECT_EQ(app::TrayHost::report(std::nullopt, std::nullopt).back(),
              "  cannot tell: the session bus does not answer");
}

}  // namespace
}  // namespace noctave::test
