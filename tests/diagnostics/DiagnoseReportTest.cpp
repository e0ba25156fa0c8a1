#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Diagnose.hpp"
#include "platform/sim/SimPower.hpp"
#include "tests/diagnostics/NoctaveProcess.hpp"
#include "tests/support/SimTest.hpp"

namespace noctave::test {
namespace {

// Diagnose in this process, on the fixture's virtual laptop, with a root domain whose
// clamshell-causes-sleep property changes under the lid-close calls: what the virtual laptop
// cannot be told to do from its command-line keys.
class DiagnoseReport : public SimTest {
  protected:
    // The property takes the next value at each lid-close call (set, clear, ...).
    void propertyChangesTo(std::vector<std::optional<os::PropertyValue>> values) {
        // The laptop calls a copy of the hook each time: the count lives outside it.
        auto calls = std::make_shared<std::size_t>(0);
        laptop.power().setOnScalarCall([this, values, calls] {
            if (*calls < values.size()) {
                laptop.power().setClamshellCausesSleep(values[*calls]);
            }
            ++*calls;
        });
    }

    std::string runCapturingOutput(int* status) {
        return captureStandardOutput([status] { *status = app::Diagnose::run(); }, temp.path());
    }
};

TEST_F(DiagnoseReport, ListsWhatChangedWhileSetAndWhatDidNotComeBack) {
    // 150 plain characters, then a line feed and accented letters: each counts as one
    // character, and the line feed prints as a space.
    const std::string during = std::string(150, 'x') + "\n\u00E9\u00E9\u00E9\u00E9\u00E9" +
                               "\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9";
    const std::string shownDuring =
        std::string(150, 'x') + " \u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9";
    propertyChangesTo({os::PropertyValue{0, during}, std::nullopt});

    int status = -1;
    const std::string out = runCapturingOutput(&status);

    EXPECT_EQ(out,
              "IOPMrootDomain properties: 6\n"
              "\n--- changed while flag was SET ---\n"
              "  AppleClamshellCausesSleep\n"
              "      before: 1\n"
              "      during: " +
                  shownDuring +
                  "\n"
                  "\n--- did everything return to baseline? ---\n"
                  "  AppleClamshellCausesSleep\n"
                  "      before: 1\n"
                  "      after:  <absent>\n"
                  "\n--- lid-close-related properties now ---\n"
                  "  SleepDisabled = No\n");
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(laptop.power().kernelFlag());
}

TEST_F(DiagnoseReport, AChangeThatComesBackIsACleanRestore) {
    propertyChangesTo({os::PropertyValue{0, "0"}, os::PropertyValue{1, "1"}});

    int status = -1;
    const std::string out = runCapturingOutput(&status);

    EXPECT_NE(out.find("--- changed while flag was SET ---\n"
                       "  AppleClamshellCausesSleep\n"
                       "      before: 1\n"
                       "      during: 0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("--- did everything return to baseline? ---\n"
                       "  yes - clean restore\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace noctave::test
