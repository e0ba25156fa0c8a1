#pragma once

#include <functional>
#include <optional>

#include <QIcon>
#include <QString>
#include <QStringList>

namespace noctave::app {

// One modal alert: what the user reads and the buttons they may press.
struct Alert {
    enum class Style { warning, informational, critical };

    QString message;
    QString informativeText;
    Style style = Style::warning;
    std::optional<QIcon> icon;  // none: the style's standard icon
    QStringList buttons;        // in order, the first one the default; empty: a single "OK"
    // Brings the application to the front first (it has no taskbar window to be found by).
    bool activatesApplication = true;
};

// Every alert of the program goes through here, so tests can answer them without a modal loop.
namespace Alerts {

// Runs the alert application-modally and returns when it is dismissed: the index of the
// button pressed (0 for the first, also when the alert was closed without a button).
int run(const Alert& alert);

// Test seam: while set, `run` hands the alert to `presenter` instead of showing it.
using Presenter = std::function<int(const Alert&)>;
void setPresenter(Presenter presenter);

}  // namespace Alerts
}  // namespace noctave::app
