#include "app/onboarding/OnboardingPageHost.hpp"

#include <QEasingCurve>
#include <QPainter>
#include <QVariantAnimation>

#include "app/onboarding/OnboardingPageView.hpp"

namespace noctave::app {

OnboardingPageHost::OnboardingPageHost(QWidget* parent)
    : QWidget(parent), animation_(new QVariantAnimation(this)) {
    animation_->setDuration(kPushMilliseconds);
    QEasingCurve easeInOut(QEasingCurve::BezierSpline);
    easeInOut.addCubicBezierSegment(QPointF(0.42, 0), QPointF(0.58, 1), QPointF(1, 1));
    animation_->setEasingCurve(easeInOut);
    QObject::connect(animation_, &QVariantAnimation::finished, this, [this] { finishPush(); });
}

OnboardingPageHost::~OnboardingPageHost() {
    animation_->stop();
}

void OnboardingPageHost::addPage(OnboardingPageView* page) {
    page->setParent(this);
    page->setGeometry(rect());
    page->hide();
    pages_.push_back(page);
}

bool OnboardingPageHost::isPushing() const {
    return animation_->state() == QAbstractAnimation::Running;
}

void OnboardingPageHost::present(int index, PagePush push) {
    if (isPushing()) {
        animation_->stop();
        finishPush();
    }
    OnboardingPageView* outgoing = shown_ >= 0 && shown_ != index && isVisible()
                                       ? pages_[static_cast<std::size_t>(shown_)]
                                       : nullptr;
    if (push != PagePush::none && outgoing != nullptr) {
        leaving_ = outgoing->grab();
    }
    for (std::size_t i = 0; i < pages_.size(); ++i) {
        pages_[i]->setVisible(static_cast<int>(i) == index);
    }
    shown_ = index;
    OnboardingPageView* incoming = pages_[static_cast<std::size_t>(index)];
    incoming->setGeometry(rect());
    if (push == PagePush::none || leaving_.isNull()) {
        leaving_ = QPixmap();
        update();
        return;
    }
    const double direction = push == PagePush::fromRight ? 1 : -1;
    QObject::disconnect(animation_, &QVariantAnimation::valueChanged, nullptr, nullptr);
    QObject::connect(animation_, &QVariantAnimation::valueChanged, this,
                     [this, incoming, direction](const QVariant& value) {
                         const double t = value.toDouble();
                         const double w = width();
                         incoming->move(static_cast<int>(direction * (1 - t) * w), 0);
                         leavingOffset_ = -direction * t * w;
                         update();
                     });
    animation_->setStartValue(0.0);
    animation_->setEndValue(1.0);
    incoming->move(static_cast<int>(direction * width()), 0);
    leavingOffset_ = 0;
    animation_->start();
}

void OnboardingPageHost::finishPush() {
    leaving_ = QPixmap();
    if (shown_ >= 0) {
        pages_[static_cast<std::size_t>(shown_)]->move(0, 0);
    }
    update();
}

void OnboardingPageHost::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    for (OnboardingPageView* page : pages_) {
        page->setGeometry(rect());
    }
}

void OnboardingPageHost::paintEvent(QPaintEvent*) {
    if (leaving_.isNull()) {
        return;
    }
    // Pages are transparent over the backdrop: the one leaving is painted beneath the one
    // arriving.
    QPainter painter(this);
    painter.drawPixmap(QPointF(leavingOffset_, 0), leaving_);
}

}  // namespace noctave::app
