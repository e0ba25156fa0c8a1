#pragma once

#include <filesystem>
#include <functional>
#include <string>

class QWidget;

namespace noctave::app {

// What the settings window needs of the onboarding window to replay it: the onboarding's
// window controller implements this, and whoever builds the settings window passes a factory
// that makes one (see SettingsWindowController::Options). Main thread only.
class OnboardingPresenter {
  public:
    virtual ~OnboardingPresenter() = default;

    // Starts a fresh showing at page index `page` (0 to 3), over `parent` when given.
    virtual void show(QWidget* parent, int page) = 0;
    // Shows `page` and writes the window as PNG; on failure returns false and sets `error`.
    virtual bool writeSnapshot(const std::filesystem::path& file, int page, std::string* error) = 0;

    // Called at most once per showing, when the user leaves the onboarding.
    std::function<void()> onDismiss;
};

}  // namespace noctave::app
