#include "app/onboarding/OnboardingWindowController.hpp"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QImage>
#include <QImageWriter>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <string>

#include "app/onboarding/GesturePracticeView.hpp"
#include "app/onboarding/KeepAwakeVisualView.hpp"
#include "app/onboarding/OnboardingButton.hpp"
#include "app/onboarding/OnboardingDotButton.hpp"
#include "app/onboarding/OnboardingKeyboardView.hpp"
#include "app/onboarding/OnboardingPageHost.hpp"
#include "app/onboarding/OnboardingPalette.hpp"
#include "app/onboarding/ReadyVisualView.hpp"
#include "app/onboarding/StandardOnboardingPage.hpp"
#include "core/os/Vocabulary.hpp"
#include "core/session/SessionController.hpp"
#include "core/support/Prefs.hpp"

namespace noctave::app {

namespace {

// Geometry of the content, in points from its edges.
constexpr int kPageTop = 42;
constexpr int kPageSide = 62;
constexpr int kPageAboveDots = 22;
constexpr int kDotsHeight = 26;
constexpr int kDotsBottom = 28;
constexpr int kButtonInset = 54;
constexpr int kNextHeight = 32;
constexpr int kCloseInset = 12;

}  // namespace

// The window itself: no frame of the desktop's (it is dark and borderless-looking, with its
// own close button), the backdrop with its hairline, moved by dragging its background.
class OnboardingWindow final : public QWidget {
  public:
    OnboardingWindow() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
        setWindowTitle(QStringLiteral("Welcome to Noctave"));
        setFixedSize(OnboardingWindowController::kWidth, OnboardingWindowController::kHeight);
        setAttribute(Qt::WA_OpaquePaintEvent, true);
        // Dark whatever the desktop's theme.
        QPalette colours = palette();
        colours.setColor(QPalette::Window, OnboardingPalette::ink());
        colours.setColor(QPalette::WindowText, OnboardingPalette::primaryText());
        colours.setColor(QPalette::Base, OnboardingPalette::smoke());
        colours.setColor(QPalette::Text, OnboardingPalette::primaryText());
        colours.setColor(QPalette::Button, OnboardingPalette::smoke());
        colours.setColor(QPalette::ButtonText, OnboardingPalette::primaryText());
        colours.setColor(QPalette::Highlight, OnboardingPalette::ember());
        colours.setColor(QPalette::ToolTipBase, OnboardingPalette::smoke());
        colours.setColor(QPalette::ToolTipText, OnboardingPalette::primaryText());
        setPalette(colours);
    }

    std::function<bool()> onShouldClose;
    std::function<void()> onWillClose;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), OnboardingPalette::ink());
        painter.setPen(QPen(OnboardingPalette::hairline(), 1));
        painter.drawLine(QPointF(0, 0.5), QPointF(width(), 0.5));
    }

    void closeEvent(QCloseEvent* event) override {
        if (onShouldClose && !onShouldClose()) {
            event->ignore();
            return;
        }
        event->accept();
        if (onWillClose) {
            onWillClose();
        }
    }

    void mousePressEvent(QMouseEvent* event) override {
        // The background moves the window, as a title bar would.
        if (event->button() == Qt::LeftButton && windowHandle() != nullptr &&
            windowHandle()->startSystemMove()) {
            event->accept();
            return;
        }
        QWidget::mousePressEvent(event);
    }
};

OnboardingWindowController::OnboardingWindowController(SessionController& session)
    : session_(session), window_(std::make_unique<OnboardingWindow>()) {
    keyboardView_ = new OnboardingKeyboardView(window_.get());
    keyboardView_->setGeometry(0, 0, kWidth, kHeight);
    pageHost_ = new OnboardingPageHost(keyboardView_);
    const int dotsTop = kHeight - kDotsBottom - kDotsHeight;
    pageHost_->setGeometry(kPageSide, kPageTop, kWidth - 2 * kPageSide,
                           dotsTop - kPageAboveDots - kPageTop);
    buildPages();
    buildNavigation();

    const auto weak = weakFactory_.weak();
    keyboardView_->onPrevious = runtime::bindWeak(
        weak, [](OnboardingWindowController& self) { self.flow_.showPrevious(); });
    keyboardView_->onNext = runtime::bindWeak(
        weak, [](OnboardingWindowController& self) { self.flow_.showNextOrDismiss(); });
    keyboardView_->onDismiss =
        runtime::bindWeak(weak, [](OnboardingWindowController& self) { self.flow_.dismiss(); });
    keyboardView_->onReturn = runtime::bindWeak(
        weak, [](OnboardingWindowController& self) { self.nextButton_->click(); });
    window_->onShouldClose = [this] { return flow_.windowShouldClose(); };
    window_->onWillClose = [this] { flow_.windowWillClose(); };
    flow_.onDismiss = runtime::bindWeak(weak, [](OnboardingWindowController& self) {
        if (self.onDismiss) {
            auto handler = self.onDismiss;
            handler();
        }
    });

    flow_.showPage(0, false);
}

OnboardingWindowController::~OnboardingWindowController() = default;

void OnboardingWindowController::buildPages() {
    const auto weak = weakFactory_.weak();
    auto* practice = new GesturePracticeView(
        session_, runtime::bindWeak(weak, [](OnboardingWindowController& self) {
            self.flow_.practiceCompleted();
        }));
    auto* keepAwake = new KeepAwakeVisualView(Prefs::keepAwake(), [weak](bool isOn) {
        OnboardingWindowController* self = weak.get();
        return self != nullptr && self->keepAwakeChanged(isOn);
    });
    pageHost_->addPage(new StandardOnboardingPage(
        QStringLiteral("WELCOME TO NOCTAVE"),
        QString::fromStdString("Close your " + os::vocabulary().machine() + ".\nKeep it running."),
        QStringLiteral("The display sleeps. Your agents keep working."), nullptr));
    pageHost_->addPage(new StandardOnboardingPage(
        QStringLiteral("ONE-SHOT CLOSE"), QStringLiteral("Hold Fn. Move the lid."),
        QStringLiteral("Try it once to see how Noctave responds."), practice));
    pageHost_->addPage(new StandardOnboardingPage(
        QStringLiteral("LID OPEN"), QStringLiteral("No Terminal.\nNo sleeping agents."),
        QStringLiteral("Keep agents running while the display sleeps normally."), keepAwake));
    // Where the desktop has a place of its own for Noctave, the last page says how to turn it on.
    std::string lastBody = "Right-click the icon to arm your next close.";
    if (const std::string note = os::vocabulary().desktopExtensionNote(); !note.empty()) {
        lastBody += "\n" + note;
    }
    pageHost_->addPage(new StandardOnboardingPage(
        QString(), QString::fromStdString("Noctave lives\nin the " + os::vocabulary().tray() + "."),
        QString::fromStdString(lastBody), new ReadyVisualView));
}

void OnboardingWindowController::buildNavigation() {
    const auto weak = weakFactory_.weak();
    const int dotsTop = kHeight - kDotsBottom - kDotsHeight;
    const int dotsCentre = dotsTop + kDotsHeight / 2;

    auto* dotStack = new QWidget(keyboardView_);
    auto* row = new QHBoxLayout(dotStack);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(1);
    for (int index = 0; index < kPageCount; ++index) {
        auto* dot = new OnboardingDotButton(index, kPageCount, dotStack);
        QObject::connect(dot, &QAbstractButton::clicked, dot,
                         runtime::bindWeak(weak, [index](OnboardingWindowController& self, bool) {
                             self.flow_.showPage(index, true);
                         }));
        row->addWidget(dot, 0, Qt::AlignVCenter);
        dots_[static_cast<std::size_t>(index)] = dot;
    }
    const int dotsWidth = kPageCount * OnboardingDotButton::kSize + (kPageCount - 1);
    dotStack->setGeometry((kWidth - dotsWidth) / 2, dotsTop, dotsWidth, kDotsHeight);

    backButton_ = new OnboardingButton(OnboardingButton::Style::inlineText, QStringLiteral("Back"),
                                       keyboardView_);
    backButton_->setAccessibleName(QStringLiteral("Previous onboarding step"));
    const QSize back = backButton_->sizeHint();
    backButton_->setGeometry(kButtonInset, dotsCentre - back.height() / 2, back.width(),
                             back.height());
    QObject::connect(backButton_, &QAbstractButton::clicked, backButton_,
                     runtime::bindWeak(weak, [](OnboardingWindowController& self, bool) {
                         self.flow_.showPrevious();
                     }));

    nextButton_ = new OnboardingButton(OnboardingButton::Style::bezel, QStringLiteral("Continue"),
                                       keyboardView_);
    QObject::connect(nextButton_, &QAbstractButton::clicked, nextButton_,
                     runtime::bindWeak(weak, [](OnboardingWindowController& self, bool) {
                         self.flow_.showNextOrDismiss();
                     }));
    setNextButton(NextButtonLook::of(NextButtonLook::Kind::continueOn));

    closeButton_ = new OnboardingButton(OnboardingButton::Style::close, QStringLiteral("Close"),
                                        keyboardView_);
    closeButton_->setGeometry(kWidth - kCloseInset - 24, kCloseInset - 3, 24, 24);
    QObject::connect(closeButton_, &QAbstractButton::clicked, closeButton_,
                     runtime::bindWeak(weak, [](OnboardingWindowController& self, bool) {
                         self.window_->close();
                     }));

    for (QWidget* focusable :
         {static_cast<QWidget*>(backButton_), static_cast<QWidget*>(nextButton_),
          static_cast<QWidget*>(closeButton_)}) {
        keyboardView_->watch(focusable);
    }
    for (auto* page : pageHost_->findChildren<QWidget*>()) {
        if (page->focusPolicy() != Qt::NoFocus) {
            keyboardView_->watch(page);
        }
    }
}

bool OnboardingWindowController::keepAwakeChanged(bool isOn) {
    Prefs::setKeepAwake(isOn);
    session_.applyKeepAwakePreference();
    return true;
}

void OnboardingWindowController::show(QWidget* parent, int page) {
    flow_.beginShowing(page);
    if (window_->isVisible()) {
        window_->raise();
        window_->activateWindow();
        return;
    }
    const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
    QRect area = screen != nullptr ? screen->availableGeometry() : QRect();
    if (parent != nullptr && parent->isVisible()) {
        area = parent->frameGeometry();
    }
    if (area.isValid()) {
        QRect frame(QPoint(0, 0), window_->size());
        frame.moveCenter(area.center());
        window_->move(frame.topLeft());
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
    keyboardView_->setFocus(Qt::ActiveWindowFocusReason);
}

bool OnboardingWindowController::writeSnapshot(const std::filesystem::path& file, int page,
                                               std::string* error) {
    auto fail = [error](std::string reason) {
        if (error != nullptr) {
            *error = std::move(reason);
        }
        return false;
    };
    flow_.showPage(page, false);
    this->page(flow_.currentIndex())->prepareForSnapshot();

    // One pixel per point, whatever the screen's scale.
    QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        return fail("could not make a " + std::to_string(kWidth) + " x " + std::to_string(kHeight) +
                    " bitmap");
    }
    image.setDevicePixelRatio(1);
    image.fill(OnboardingPalette::ink());
    window_->ensurePolished();
    window_->render(&image);

    QFile out(QString::fromStdString(file.string()));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return fail("could not write " + file.string() + ": " + out.errorString().toStdString());
    }
    QImageWriter writer(&out, "png");
    if (!writer.write(image)) {
        out.remove();
        return fail("could not write " + file.string() + ": " + writer.errorString().toStdString());
    }
    return true;
}

QWidget* OnboardingWindowController::window() const {
    return window_.get();
}

OnboardingPageView* OnboardingWindowController::page(int index) const {
    return pageHost_->page(index);
}

QAbstractButton* OnboardingWindowController::backButton() const {
    return backButton_;
}

QAbstractButton* OnboardingWindowController::closeButton() const {
    return closeButton_;
}

bool OnboardingWindowController::isPushing() const {
    return pageHost_->isPushing();
}

int OnboardingWindowController::pageCount() const {
    return pageHost_->pageCount();
}

void OnboardingWindowController::pageBecameVisible(int index) {
    page(index)->becameVisible();
}

void OnboardingWindowController::pageResignedVisible(int index) {
    page(index)->resignedVisible();
}

void OnboardingWindowController::resetPage(int index) {
    page(index)->reset();
}

void OnboardingWindowController::presentPage(int index, PagePush push) {
    pageHost_->present(index, push);
    backButton_->setVisible(index != 0);
    for (OnboardingDotButton* dot : dots_) {
        dot->setCurrent(dot->index() == index);
    }
}

void OnboardingWindowController::setNextButton(const NextButtonLook& look) {
    nextButton_->setText(look.title);
    nextButton_->setColors(look.bezel, look.text);
    const int dotsCentre = kHeight - kDotsBottom - kDotsHeight / 2;
    nextButton_->setGeometry(kWidth - kButtonInset - look.width, dotsCentre - kNextHeight / 2,
                             look.width, kNextHeight);
}

void OnboardingWindowController::announce(int index, const QString& text) {
    // Qt 6.4 has no announcement event: the page describes itself with the step and raises
    // an alert, which screen readers read out.
    OnboardingPageView* shown = page(index);
    shown->setAccessibleDescription(text);
    if (QAccessible::isActive()) {
        QAccessibleEvent event(shown, QAccessible::Alert);
        QAccessible::updateAccessibility(&event);
    }
}

void OnboardingWindowController::orderOut() {
    window_->hide();
}

}  // namespace noctave::app
