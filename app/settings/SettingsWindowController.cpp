#include "app/settings/SettingsWindowController.hpp"

#include <algorithm>
#include <cmath>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QGridLayout>
#include <QImage>
#include <QImageWriter>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QToolBar>
#include <QVBoxLayout>

#include "app/integration/UpdateAdapter.hpp"
#include "app/settings/CallbackSwitch.hpp"
#include "app/settings/OnboardingPresenter.hpp"
#include "app/settings/SettingsAccessibility.hpp"
#include "app/settings/SettingsSymbols.hpp"
#include "app/settings/SettingsUI.hpp"
#include "app/tray/MainMenu.hpp"
#include "core/runtime/Runtime.hpp"
#include "core/session/SessionJournal.hpp"
#include "core/support/Log.hpp"
#include "core/support/UserDefaults.hpp"

namespace noctave::app {

namespace {

constexpr const char* kLastTabKey = "lastSettingsTab";
// The pane area's margins around the panes.
constexpr int kMarginTop = 20;
constexpr int kMarginSide = 22;
constexpr int kMarginBottom = 18;

// A window that stays put in size: the controller sets its height for each pane.
class SettingsWindow final : public QWidget {
  public:
    std::function<void()> onClose;

    SettingsWindow()
        : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint) {
        setObjectName(QStringLiteral("Noctave.Settings.window"));
        setAutoFillBackground(true);
        setBackgroundRole(QPalette::Window);
    }

  protected:
    void closeEvent(QCloseEvent* event) override {
        QWidget::closeEvent(event);
        if (event->isAccepted() && onClose) {
            onClose();
        }
    }
};

}  // namespace

std::optional<SettingsWindowController::Tab> SettingsWindowController::tabWithRawValue(
    int64_t raw) {
    for (Tab tab : tabs) {
        if (static_cast<int64_t>(tab) == raw) {
            return tab;
        }
    }
    return std::nullopt;
}

QString SettingsWindowController::title(Tab tab) {
    switch (tab) {
        case Tab::arming:
            return QStringLiteral("Arming");
        case Tab::general:
            return QStringLiteral("General");
        case Tab::about:
            return QStringLiteral("About");
    }
    return {};
}

const char* SettingsWindowController::symbolName(Tab tab) {
    switch (tab) {
        case Tab::arming:
            return "laptopcomputer";
        case Tab::general:
            return "gearshape";
        case Tab::about:
            return "info.circle";
    }
    return "";
}

QString SettingsWindowController::toolbarIdentifier(Tab tab) {
    return QStringLiteral("Noctave.Settings.") + QString::number(static_cast<int64_t>(tab));
}

QSize SettingsWindowController::contentSize(const std::optional<StackMeasure>& pane) {
    if (!pane) {
        return {kContentWidth, 300};
    }
    double height = 0;
    for (double fitting : pane->fittingHeights) {
        height += std::max(fitting, 0.0);
    }
    const auto gaps =
        std::max<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(pane->fittingHeights.size()) - 1, 0);
    height += pane->spacing * static_cast<double>(gaps) + pane->topInset + pane->bottomInset;
    const double withMargins = std::ceil(height) + kMarginTop + kMarginBottom;
    return {kContentWidth, static_cast<int>(std::max(withMargins, 220.0))};
}

int64_t SettingsWindowController::roundedPercent(double value) {
    return static_cast<int64_t>(std::lround(value));
}

SettingsWindowController::SettingsWindowController(
    SessionProvider session, UpdateAdapter* updates,
    std::function<void()> onShortcutPreferenceChanged, Options options)
    : session_(std::move(session)),
      updates_(updates),
      onShortcutPreferenceChanged_(std::move(onShortcutPreferenceChanged)),
      options_(std::move(options)) {
    SettingsAccessibility::install();
    current_ =
        tabWithRawValue(UserDefaults::standard().integerForKey(kLastTabKey)).value_or(Tab::arming);
    buildWindow();
    select(current_);
    centre();
}

SettingsWindowController::SettingsWindowController(
    SessionProvider session, UpdateAdapter* updates,
    std::function<void()> onShortcutPreferenceChanged)
    : SettingsWindowController(std::move(session), updates, std::move(onShortcutPreferenceChanged),
                               Options{}) {}

SettingsWindowController::~SettingsWindowController() = default;

QWidget* SettingsWindowController::window() const {
    return window_.get();
}

QWidget* SettingsWindowController::pane(Tab tab) const {
    for (const auto& [paneTab, view] : panes_) {
        if (paneTab == tab) {
            return view;
        }
    }
    return nullptr;
}

void SettingsWindowController::buildWindow() {
    auto window = std::make_unique<SettingsWindow>();
    window->onClose = runtime::bindWeak(weakFactory_.weak(), [](SettingsWindowController& self) {
        if (self.onClose) {
            auto handler = self.onClose;
            handler();
        }
    });
    window_ = std::move(window);
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* toolbar = new QToolBar(window_.get());
    toolbar->setObjectName(QStringLiteral("Noctave.Settings"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolbar->setIconSize(QSize(24, 24));
    toolbar->setContextMenuPolicy(Qt::PreventContextMenu);
    auto* group = new QActionGroup(toolbar);
    group->setExclusive(true);
    auto stretch = [] {
        auto* gap = new QWidget;
        gap->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        return gap;
    };
    toolbar->addWidget(stretch());
    for (Tab tab : tabs) {
        auto* item = new QAction(SettingsSymbols::symbol(symbolName(tab)), title(tab), group);
        item->setObjectName(toolbarIdentifier(tab));
        item->setCheckable(true);
        item->setToolTip(QStringLiteral("Show ") + title(tab) + QStringLiteral(" settings"));
        QObject::connect(
            item, &QAction::triggered, window_.get(),
            [select = runtime::bindWeak(weakFactory_.weak(), [tab](SettingsWindowController& self) {
                 self.select(tab);
             })] { select(); });
        toolbar->addAction(item);
        // Tab reaches the tabs as it reaches every other control.
        if (QWidget* button = toolbar->widgetForAction(item)) {
            button->setFocusPolicy(Qt::TabFocus);
        }
        toolbarItems_.emplace_back(tab, item);
    }
    toolbar->addWidget(stretch());
    layout->addWidget(toolbar);
    layout->addWidget(UI::separator());
    toolbar_ = toolbar;

    auto* area = new QWidget;
    auto* areaLayout = new QVBoxLayout(area);
    areaLayout->setContentsMargins(kMarginSide, kMarginTop, kMarginSide, kMarginBottom);
    contentContainer_ = new QWidget;
    contentContainer_->setObjectName(QStringLiteral("contentContainer"));
    auto* grid = new QGridLayout(contentContainer_);
    grid->setContentsMargins(0, 0, 0, 0);
    areaLayout->addWidget(contentContainer_, 1);
    layout->addWidget(area, 1);

    panes_ = {{Tab::arming, buildArmingPane()},
              {Tab::general, buildGeneralPane()},
              {Tab::about, buildAboutPane()}};
    for (const auto& [tab, view] : panes_) {
        view->setObjectName(QStringLiteral("pane.") + title(tab));
        view->hide();
        // Pinned to the top, leading and trailing edges; the window's height fits it.
        grid->addWidget(view, 0, 0, Qt::AlignTop);
    }

    if (options_.mainMenu != nullptr) {
        options_.mainMenu->attach(*window_);
    }
}

void SettingsWindowController::addSwitchRows(QWidget* group, std::vector<SwitchRow> rows) {
    auto* stack = static_cast<GroupBox*>(group)->stack();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SwitchRow& row = rows[i];
        if (i > 0) {
            stack->addWidget(UI::separator());
        }
        const UI::SwitchRow made =
            UI::switchRow(row.title, row.read(), row.isEnabled, row.hint, std::move(row.onChange));
        made.toggle->setObjectName(QString::fromLatin1(row.key));
        if (row.isEnabled) {
            bindings_.push_back(Binding{made.toggle, std::move(row.read)});
        }
        stack->addWidget(made.row);
    }
}

void SettingsWindowController::refreshBindings() {
    for (const Binding& binding : bindings_) {
        binding.toggle->setChecked(binding.read());
    }
}

QSize SettingsWindowController::contentSizeFor(Tab tab) const {
    const Column* column = nullptr;
    for (const auto& [paneTab, view] : panes_) {
        if (paneTab == tab) {
            column = view;
        }
    }
    if (column == nullptr) {
        return contentSize(std::nullopt);
    }
    const int width = kContentWidth - 2 * kMarginSide;
    StackMeasure measure;
    measure.spacing = column->spacing();
    const QMargins insets = column->contentsMargins();
    measure.topInset = insets.top();
    measure.bottomInset = insets.bottom();
    for (QWidget* child : column->arrangedSubviews()) {
        if (child->isHidden()) {
            continue;
        }
        // A widget given a fixed height may have no size hint of its own.
        measure.fittingHeights.push_back(
            child->hasHeightForWidth()
                ? child->heightForWidth(width)
                : std::max(child->sizeHint().height(), child->minimumHeight()));
    }
    return contentSize(measure);
}

QSize SettingsWindowController::presentContentSize() const {
    return contentContainer_->parentWidget()->size();
}

void SettingsWindowController::select(Tab tab) {
    current_ = tab;
    UserDefaults::standard().set(kLastTabKey, static_cast<int64_t>(tab));

    for (const auto& [itemTab, item] : toolbarItems_) {
        item->setChecked(itemTab == tab);
    }
    window_->setWindowTitle(title(tab));

    for (const auto& [paneTab, view] : panes_) {
        view->hide();
    }
    if (QWidget* shown = pane(tab)) {
        shown->show();
    }
    resizeToContent();
}

void SettingsWindowController::resizeToContent() {
    const QSize wanted = contentSizeFor(current_);
    const int chrome = toolbar_->sizeHint().height() + 1;  // the toolbar and its hairline
    // A fixed size keeps the window from being resized by hand; the window system keeps its
    // top-left corner, so it grows and shrinks downwards.
    const QPoint topLeft = window_->pos();
    window_->setFixedSize(wanted.width(), wanted.height() + chrome);
    if (window_->isVisible()) {
        window_->move(topLeft);
    }
    window_->layout()->activate();
    window_->update();
}

void SettingsWindowController::centre() {
    QScreen* screen =
        window_->screen() != nullptr ? window_->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame = window_->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window_->move(frame.topLeft());
}

void SettingsWindowController::show() {
    if (!window_->isVisible()) {
        refreshBindings();
        centre();
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void SettingsWindowController::showPane(std::string_view name) {
    const QString wanted = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    for (Tab tab : tabs) {
        if (title(tab).compare(wanted, Qt::CaseInsensitive) == 0) {
            select(tab);
            return;
        }
    }
}

bool SettingsWindowController::ensureOnboarding() {
    if (!onboarding_ && options_.makeOnboarding) {
        onboarding_ = options_.makeOnboarding();
        if (onboarding_) {
            onboarding_->onDismiss =
                runtime::bindWeak(weakFactory_.weak(), [](SettingsWindowController& self) {
                    self.isShowingOnboarding_ = false;
                    self.show();
                });
        }
    }
    return onboarding_ != nullptr;
}

bool SettingsWindowController::showOnboarding(int page) {
    if (!ensureOnboarding()) {
        return false;
    }
    window_->hide();
    isShowingOnboarding_ = true;
    onboarding_->show(nullptr, page);
    return true;
}

bool SettingsWindowController::writeOnboardingSnapshot(const std::filesystem::path& file, int page,
                                                       std::string* error) {
    if (!ensureOnboarding()) {
        if (error != nullptr) {
            *error = "this build has no onboarding window";
        }
        return false;
    }
    window_->hide();
    onboarding_->show(nullptr, page);
    return onboarding_->writeSnapshot(file, page, error);
}

void SettingsWindowController::checkForUpdates() {
    if (updates_ == nullptr) {
        return;
    }
    if (!updates_->hasUpdater()) {
        updates_->explainMissingFeed();
        return;
    }
    window_->activateWindow();
    updates_->checkForUpdates();
}

std::string SettingsWindowController::diagnosticsText() {
    // "Why did it sleep?" is the question support hears most: the session history answers it.
    std::string problem;
    const auto sessions = SessionJournal::read(SessionJournal::standardFile(), &problem);
    return Log::snapshot() + "\n--- session history ---\n" +
           (sessions ? SessionJournal::describe(*sessions) : "(unreadable: " + problem + ")\n");
}

void SettingsWindowController::copyDiagnostics() {
    // Lines still on their way to the file belong in the copy too.
    Log::flush();
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(diagnosticsText()));

    if (!diagnosticsButton_) {
        return;
    }
    diagnosticsButton_->setText(QStringLiteral("Copied diagnostics"));
    SettingsAccessibility::announce(diagnosticsButton_, QStringLiteral("Diagnostics copied"));
    // Every press restores on its own; an earlier press's restore is not cancelled.
    runtime::mainQueue().asyncAfter(
        1.5, runtime::bindWeak(
                 weakFactory_.weak(), [button = diagnosticsButton_](SettingsWindowController&) {
                     if (button) {
                         button->setText(QStringLiteral("Copy diagnostics for support"));
                     }
                 }));
}

bool SettingsWindowController::writeSnapshot(const std::filesystem::path& file,
                                             std::string* error) {
    auto fail = [error](std::string reason) {
        if (error != nullptr) {
            *error = std::move(reason);
        }
        return false;
    };
    if (!window_) {
        return fail("there is no settings window");
    }
    window_->ensurePolished();
    window_->layout()->activate();
    QImage image(window_->size(), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        return fail("could not make a bitmap of the window");
    }
    image.setDevicePixelRatio(1);
    image.fill(window_->palette().color(QPalette::Window));
    window_->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);

    QImageWriter writer(QString::fromStdString(file.string()), "png");
    if (!writer.write(image)) {
        return fail("could not write " + file.string() + ": " + writer.errorString().toStdString());
    }
    return true;
}

}  // namespace noctave::app
