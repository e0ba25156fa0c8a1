#include "app/onboarding/OnboardingKeyboardView.hpp"

#include <QKeyEvent>

namespace noctave::app {

OnboardingKeyboardView::OnboardingKeyboardView(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
}

void OnboardingKeyboardView::watch(QWidget* child) {
    child->installEventFilter(this);
}

bool OnboardingKeyboardView::route(const QKeyEvent& event) {
    // Modified keys (Alt-Left, Ctrl-Return) belong to the desktop and the toolkit.
    if ((event.modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) {
        return false;
    }
    const std::function<void()>* handler = nullptr;
    switch (event.key()) {
        case Qt::Key_Escape:
            handler = &onDismiss;
            break;
        case Qt::Key_Right:
            handler = &onNext;
            break;
        case Qt::Key_Left:
            handler = &onPrevious;
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            handler = &onReturn;
            break;
        default:
            return false;
    }
    if (*handler) {
        // A copy: the handler may close the window and with it replace these callbacks.
        auto call = *handler;
        call();
    }
    return true;
}

void OnboardingKeyboardView::keyPressEvent(QKeyEvent* event) {
    if (!route(*event)) {
        QWidget::keyPressEvent(event);
    }
}

bool OnboardingKeyboardView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && route(*static_cast<QKeyEvent*>(event))) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace noctave::app
