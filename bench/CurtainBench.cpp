// What one curtain frame costs on one 2560 x 1600 screen: the animation step, the paint into a
// window-sized premultiplied buffer (what the backing store holds), and both together as the
// frame clock runs them. Coverages across the range, plus the sealed fade.
#include <benchmark/benchmark.h>

#include <QImage>
#include <QPainter>

#include "app/overlay/CurtainAnimation.hpp"
#include "app/overlay/CurtainDrawing.hpp"

namespace {

using noctave::app::CurtainAnimation;
namespace CurtainDrawing = noctave::app::CurtainDrawing;

constexpr int kWidth = 2560;
constexpr int kHeight = 1600;

void paintFrame(QImage& buffer, double coverage, double fadeAlpha) {
    QPainter painter(&buffer);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(buffer.rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    CurtainDrawing::draw(painter, QRectF(buffer.rect()), coverage, fadeAlpha);
}

// A curtain that never comes to rest: the arithmetic of a frame at rest is cheaper than a real
// one, so each time it arrives it turns back.
class MovingCurtain {
  public:
    MovingCurtain() { curtain_.follow(0.3, true, false); }

    const CurtainAnimation& step() {
        if (!curtain_.step(t_ += 1.0 / 120.0)) {
            towardsFull_ = !towardsFull_;
            curtain_.follow(towardsFull_ ? 1.0 : 0.3, false, false);
        }
        return curtain_;
    }

  private:
    CurtainAnimation curtain_;
    double t_ = 0.0;
    bool towardsFull_ = true;
};

void BM_CurtainStep(benchmark::State& state) {
    MovingCurtain curtain;
    for (auto _ : state) {
        benchmark::DoNotOptimize(curtain.step().displayed());
    }
}
BENCHMARK(BM_CurtainStep);

void BM_CurtainPaint(benchmark::State& state) {
    QImage buffer(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    const double coverage = static_cast<double>(state.range(0)) / 100.0;
    for (auto _ : state) {
        paintFrame(buffer, coverage, 1.0);
        benchmark::DoNotOptimize(buffer.constBits());
    }
    state.SetLabel("coverage " + std::to_string(state.range(0)) + "%");
}
BENCHMARK(BM_CurtainPaint)->Arg(30)->Arg(62)->Arg(100)->Unit(benchmark::kMicrosecond);

// The frame clock's whole work for one screen: step, then paint what the step produced.
void BM_CurtainFrame(benchmark::State& state) {
    QImage buffer(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    MovingCurtain moving;
    for (auto _ : state) {
        const CurtainAnimation& curtain = moving.step();
        paintFrame(buffer, curtain.displayed(), curtain.fadeAlpha());
        benchmark::DoNotOptimize(buffer.constBits());
    }
    state.SetLabel("2560x1600, one screen");
}
BENCHMARK(BM_CurtainFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
