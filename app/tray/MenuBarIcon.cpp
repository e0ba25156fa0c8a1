#include "app/tray/MenuBarIcon.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <system_error>
#include <utility>

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QIconEngine>
#include <QImageWriter>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace noctave::app::MenuBarIcon {

namespace fs = std::filesystem;

namespace {

constexpr double kBox = 19.0;
constexpr double kLineWidth = 1.35;

constexpr std::array<QPointF, 7> kEmber = {{
    {9.8, 2.6},
    {4.6, 4.7},
    {2.9, 9.2},
    {6.6, 15.2},
    {12.6, 16.4},
    {16.2, 12.3},
    {14.2, 6.5},
}};

std::optional<fs::path>& resourceDirectoryOverride() {
    static std::optional<fs::path> directory;
    return directory;
}

QColor srgb(double r, double g, double b, double a) {
    return QColor::fromRgbF(r, g, b, a);
}

// Turns a painter whose device is `height` tall into the y-up system every drawing here uses.
void flipToYUp(QPainter& painter, double height) {
    painter.translate(0, height);
    painter.scale(1, -1);
}

void drawEmberMark(QPainter& painter, const QRectF& r, bool filled, const QColor& color) {
    QPainterPath path;
    path.moveTo(r.left() + kEmber[0].x(), r.top() + kEmber[0].y());
    for (std::size_t i = 1; i < kEmber.size(); ++i) {
        path.lineTo(r.left() + kEmber[i].x(), r.top() + kEmber[i].y());
    }
    path.closeSubpath();
    if (filled) {
        painter.fillPath(path, color);
    } else {
        QPen pen(color, kLineWidth);
        pen.setJoinStyle(Qt::MiterJoin);
        painter.strokePath(path, pen);
    }
}

void drawWarningIndicator(QPainter& painter, const QRectF& r) {
    const QColor ink(0, 0, 0, qRound(0.72 * 255));
    const double midX = r.center().x();
    QPen pen(ink, kLineWidth);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    painter.drawLine(QPointF(midX, r.top() + 12.3), QPointF(midX, r.top() + 8.4));
    QPainterPath dot;
    dot.addEllipse(QRectF(midX - 0.65, r.top() + 6.3, 1.3, 1.3));
    painter.fillPath(dot, ink);
}

// The 19 x 19 state image into a y-up painter whose unit box is `box`.
void drawState(QPainter& painter, const QRectF& box, State state) {
    switch (state) {
        case State::ready:
            drawEmberMark(painter, box, false, Qt::black);
            break;
        case State::armed:
            drawEmberMark(painter, box, true, Qt::black);
            break;
        case State::warning:
            drawEmberMark(painter, box, true, warning());
            drawWarningIndicator(painter, box);
            break;
    }
}

std::optional<QImage> loadImage(const QString& path) {
    QImage image(path);
    if (image.isNull()) {
        return std::nullopt;
    }
    return image;
}

fs::path defaultResourceDirectory() {
    const QString executableDir = QCoreApplication::instance() != nullptr
                                      ? QCoreApplication::applicationDirPath()
                                      : QString();
    if (executableDir.isEmpty()) {
        return {};
    }
    return fs::path(executableDir.toStdString()) / ".." / "share" / "noctave";
}

std::optional<QImage> loadBundledAppIcon() {
    if (auto image = loadImage(QStringLiteral(":/NoctaveAppIcon.png"))) {
        return image;
    }
    const fs::path directory = resourceDirectoryOverride().value_or(defaultResourceDirectory());
    if (directory.empty()) {
        return std::nullopt;
    }
    return loadImage(QString::fromStdString((directory / "NoctaveAppIcon.png").string()));
}

std::optional<QImage> sourceImage(const std::optional<fs::path>& sourceURL) {
    if (sourceURL) {
        if (auto image = loadImage(QString::fromStdString(sourceURL->string()))) {
            return image;
        }
    }
    return loadBundledAppIcon();
}

// The application icon into a y-up painter, for the square (0, 0, s, s).
void drawAppIcon(QPainter& painter, double s, const std::optional<QImage>& source) {
    const QRectF r = QRectF(0, 0, s, s).adjusted(s * 0.045, s * 0.045, -s * 0.045, -s * 0.045);
    const double c = s * 0.215;
    const double minX = r.left(), maxX = r.right(), minY = r.top(), maxY = r.bottom();

    painter.save();
    QPainterPath tile;
    tile.addRoundedRect(r, c, c);
    painter.setClipPath(tile);

    if (!source) {
        painter.fillRect(r, srgb(0.08, 0.085, 0.1, 1.0));
        painter.save();
        painter.translate(r.center().x() - (s / kBox) * 9.5, r.center().y() - (s / kBox) * 9.5);
        painter.scale(s / kBox, s / kBox);
        drawEmberMark(painter, QRectF(0, 0, kBox, kBox), true, srgb(1.0, 0.34, 0.04, 1.0));
        painter.restore();
    } else {
        // Bitmaps are stored top row first: flip back locally so the picture stands upright.
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.translate(minX, maxY);
        painter.scale(1, -1);
        painter.drawImage(QRectF(0, 0, r.width(), r.height()), *source);
        painter.restore();
    }

    auto radial = [&](QPointF center, double radius, const QColor& from, const QColor& to) {
        QRadialGradient gradient(center, radius);
        gradient.setColorAt(0, from);
        gradient.setColorAt(1, to);
        QPainterPath circle;
        circle.addEllipse(center, radius, radius);
        painter.fillPath(circle, gradient);
    };
    radial(QPointF(minX + s * 0.04, maxY - s * 0.04), s * 0.48, srgb(1, 1, 1, 0.14),
           srgb(1, 1, 1, 0));
    radial(QPointF(maxX - s * 0.04, minY + s * 0.04), s * 0.43, srgb(1.0, 0.42, 0.16, 0.11),
           srgb(0, 0, 0, 0));

    const double w = rimLineWidth(s);
    QPen rim(srgb(1, 1, 1, 0.16), w);
    rim.setCapStyle(Qt::RoundCap);
    QPainterPath upperLeft;
    upperLeft.moveTo(minX + 1.45 * c, maxY - w / 2);
    upperLeft.lineTo(minX + c, maxY - w / 2);
    upperLeft.cubicTo(QPointF(minX + 0.45 * c, maxY - w / 2),
                      QPointF(minX + w / 2, maxY - 0.45 * c), QPointF(minX + w / 2, maxY - c));
    upperLeft.lineTo(minX + w / 2, maxY - 1.45 * c);
    painter.strokePath(upperLeft, rim);

    rim.setColor(srgb(1.0, 0.58, 0.34, 0.14));
    QPainterPath lowerRight;
    lowerRight.moveTo(maxX - 1.45 * c, minY + w / 2);
    lowerRight.lineTo(maxX - c, minY + w / 2);
    lowerRight.cubicTo(QPointF(maxX - 0.45 * c, minY + w / 2),
                       QPointF(maxX - w / 2, minY + 0.45 * c), QPointF(maxX - w / 2, minY + c));
    lowerRight.lineTo(maxX - w / 2, minY + 1.45 * c);
    painter.strokePath(lowerRight, rim);

    painter.restore();
}

// An icon that draws itself at whatever size is asked, into a y-up square of edge `unit`.
class DrawnIconEngine final : public QIconEngine {
  public:
    using Draw = std::function<void(QPainter&)>;
    DrawnIconEngine(double unit, Draw draw) : unit_(unit), draw_(std::move(draw)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->translate(rect.left(), rect.top());
        const double edge = std::min(rect.width(), rect.height());
        flipToYUp(*painter, edge);
        painter->scale(edge / unit_, edge / unit_);
        draw_(*painter);
        painter->restore();
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        }
        return QPixmap::fromImage(std::move(image));
    }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QIconEngine* clone() const override { return new DrawnIconEngine(unit_, draw_); }

  private:
    double unit_;
    Draw draw_;
};

QImage renderSquare(int pixels, double unit, const std::function<void(QPainter&)>& draw) {
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing, true);
        flipToYUp(painter, pixels);
        painter.scale(pixels / unit, pixels / unit);
        draw(painter);
    }
    return image;
}

bool writePng(const QImage& image, const fs::path& file, std::string* error) {
    QByteArray bytes;
    if (!image.isNull()) {
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        if (!writer.write(image)) {
            bytes.clear();
        }
    }
    if (bytes.isEmpty()) {
        if (error != nullptr) {
            *error = "the image could not be encoded (unknown error)";
        }
        return false;
    }
    QFile out(QString::fromStdString(file.string()));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size()) {
        if (error != nullptr) {
            *error = "could not write " + file.string() + ": " + out.errorString().toStdString();
        }
        return false;
    }
    return true;
}

void drawCaption(QPainter& painter, const QString& text, double centerX, double y) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(14);
    font.setWeight(QFont::Medium);
    const QFontMetricsF metrics(font);
    painter.save();
    painter.setFont(font);
    painter.setPen(QColor(255, 255, 255, qRound(0.72 * 255)));
    // The origin is the lower-left corner of the line: the baseline sits a descent above it.
    painter.translate(centerX - metrics.horizontalAdvance(text) / 2, y);
    painter.scale(1, -1);
    painter.drawText(QPointF(0, -metrics.descent()), text);
    painter.restore();
}

QImage renderMenuBarPreview() {
    constexpr int kWidth = 480;
    constexpr int kHeight = 176;
    QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    flipToYUp(painter, kHeight);

    QPainterPath plate;
    plate.addRoundedRect(QRectF(0, 0, kWidth, kHeight).adjusted(1, 1, -1, -1), 22, 22);
    painter.fillPath(plate, srgb(0.105, 0.11, 0.125, 1.0));
    painter.strokePath(plate, QPen(srgb(1, 1, 1, 0.12), 1));

    // The two states side by side: the outline at x 82, the filled mark at x 322.
    for (const bool filled : {false, true}) {
        const double left = filled ? 322 : 82;
        painter.save();
        painter.translate(left, 66);
        painter.scale(4, 4);
        drawEmberMark(painter, QRectF(0, 0, kBox, kBox), filled, Qt::white);
        painter.restore();
        drawCaption(painter, filled ? QStringLiteral("Active") : QStringLiteral("Inactive"),
                    left + 38, 28);
    }
    painter.end();
    return image;
}

}  // namespace

const QColor& warning() {
    static const QColor color = srgb(0.95, 0.61, 0.16, 1.0);
    return color;
}

double rimLineWidth(double size) {
    return std::max(size * 0.008, 0.65);
}

Image image(State state) {
    QIcon icon(new DrawnIconEngine(
        kBox, [state](QPainter& painter) { drawState(painter, QRectF(0, 0, kBox, kBox), state); }));
    const bool isTemplate = state != State::warning;
    icon.setIsMask(isTemplate);
    QString description;
    switch (state) {
        case State::ready:
            description = QStringLiteral("Noctave ready");
            break;
        case State::armed:
            description = QStringLiteral("Noctave active");
            break;
        case State::warning:
            description = QStringLiteral("Noctave needs attention");
            break;
    }
    return Image{std::move(icon), isTemplate, std::move(description)};
}

QImage render(State state, int pixels) {
    return renderSquare(pixels, kBox, [state](QPainter& painter) {
        drawState(painter, QRectF(0, 0, kBox, kBox), state);
    });
}

QIcon appIcon(double size, const std::optional<fs::path>& sourceURL) {
    auto source = sourceImage(sourceURL);
    return QIcon(new DrawnIconEngine(
        size, [size, source](QPainter& painter) { drawAppIcon(painter, size, source); }));
}

QImage renderAppIcon(int pixels, const std::optional<fs::path>& sourceURL) {
    const auto source = sourceImage(sourceURL);
    const double size = pixels;
    return renderSquare(pixels, size,
                        [&](QPainter& painter) { drawAppIcon(painter, size, source); });
}

QString appIconAccessibilityDescription() {
    return QStringLiteral("Noctave ember app icon");
}

void drawPreviewMark(QPainter& painter, const QRectF& rect, State state, const QColor& color) {
    const double scale = std::min(rect.width(), rect.height()) / kBox;
    painter.save();
    painter.translate(rect.center().x() - 9.5 * scale, rect.center().y() - 9.5 * scale);
    painter.scale(scale, scale);
    drawEmberMark(painter, QRectF(0, 0, kBox, kBox), state != State::ready, color);
    painter.restore();
}

bool writeMenuBarPreview(const fs::path& file, std::string* error) {
    return writePng(renderMenuBarPreview(), file, error);
}

bool writeAppIconSet(const fs::path& directory, const std::optional<fs::path>& sourceURL,
                     std::string* error) {
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (!ec && !fs::is_directory(directory, ec)) {
        ec = std::make_error_code(std::errc::not_a_directory);
    }
    if (ec) {
        if (error != nullptr) {
            *error = "could not create " + directory.string() + ": " + ec.message();
        }
        return false;
    }
    // The source is read once; every size is drawn from it.
    const auto source = sourceImage(sourceURL);
    for (const auto& entry : kIconSet) {
        const double size = entry.pixels;
        const QImage icon = renderSquare(
            entry.pixels, size, [&](QPainter& painter) { drawAppIcon(painter, size, source); });
        if (!writePng(icon, directory / entry.fileName, error)) {
            return false;
        }
    }
    return true;
}

void setResourceDirectory(std::optional<fs::path> directory) {
    resourceDirectoryOverride() = std::move(directory);
}

}  // namespace noctave::app::MenuBarIcon
