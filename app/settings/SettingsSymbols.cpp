#include "app/settings/SettingsSymbols.hpp"

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <vector>

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace noctave::app::SettingsSymbols {

namespace {

using Draw = std::function<void(QPainter&)>;  // draws on a 16 x 16 grid

struct Entry {
    const char* name;
    std::vector<const char*> themeNames;  // freedesktop names, best first
    Draw draw;
};

void arrowHead(QPainter& painter, QPointF tip, double angle) {
    // A small open chevron pointing along `angle` (radians, y down).
    const double length = 3.0;
    for (double side : {-0.5, 0.5}) {
        const double a = angle + std::numbers::pi + side * 1.6;
        painter.drawLine(tip, tip + QPointF(std::cos(a) * length, std::sin(a) * length));
    }
}

const std::vector<Entry>& entries() {
    static const std::vector<Entry> all = {
        {"laptopcomputer",
         {"computer-laptop", "computer"},
         [](QPainter& p) {
             p.drawRoundedRect(QRectF(3, 3.5, 10, 7), 1.2, 1.2);
             p.drawLine(QPointF(1, 12.8), QPointF(15, 12.8));
         }},
        {"gearshape",
         {"preferences-system", "emblem-system"},
         [](QPainter& p) {
             QPainterPath teeth;
             for (int i = 0; i < 8; ++i) {
                 const double a = i * std::numbers::pi / 4;
                 const QPointF inner(8 + std::cos(a) * 4.6, 8 + std::sin(a) * 4.6);
                 const QPointF outer(8 + std::cos(a) * 6.6, 8 + std::sin(a) * 6.6);
                 teeth.moveTo(inner);
                 teeth.lineTo(outer);
             }
             QPen pen = p.pen();
             const double width = pen.widthF();
             pen.setWidthF(2.2);
             p.setPen(pen);
             p.drawPath(teeth);
             pen.setWidthF(width);
             p.setPen(pen);
             p.drawEllipse(QPointF(8, 8), 4.6, 4.6);
             p.drawEllipse(QPointF(8, 8), 1.8, 1.8);
         }},
        {"info.circle",
         {"help-about", "dialog-information"},
         [](QPainter& p) {
             p.drawEllipse(QPointF(8, 8), 6.6, 6.6);
             p.drawLine(QPointF(8, 7.2), QPointF(8, 11.6));
             p.save();
             p.setBrush(p.pen().color());
             p.setPen(Qt::NoPen);
             p.drawEllipse(QPointF(8, 4.9), 0.9, 0.9);
             p.restore();
         }},
        {"arrow.triangle.2.circlepath",
         {"view-refresh"},
         [](QPainter& p) {
             const QRectF circle(2.5, 2.5, 11, 11);
             // Two arcs chasing each other, Qt angles in 1/16 degree, counter-clockwise.
             p.drawArc(circle, 20 * 16, 140 * 16);
             p.drawArc(circle, 200 * 16, 140 * 16);
             const double r = 5.5;
             const double a1 = 160 * std::numbers::pi / 180;
             const double a2 = 340 * std::numbers::pi / 180;
             arrowHead(p, QPointF(8 + r * std::cos(a1), 8 - r * std::sin(a1)),
                       std::numbers::pi / 2 + 0.35);
             arrowHead(p, QPointF(8 + r * std::cos(a2), 8 - r * std::sin(a2)),
                       -std::numbers::pi / 2 + 0.35);
         }},
        {"rectangle.stack",
         {},
         [](QPainter& p) {
             p.drawRoundedRect(QRectF(2, 6.5, 12, 7.5), 1.4, 1.4);
             p.drawLine(QPointF(3.5, 4.2), QPointF(12.5, 4.2));
             p.drawLine(QPointF(5, 2), QPointF(11, 2));
         }},
    };
    return all;
}

const Entry* find(const char* name) {
    for (const Entry& entry : entries()) {
        if (std::strcmp(entry.name, name) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

class SymbolEngine final : public QIconEngine {
  public:
    SymbolEngine(const Entry& entry, bool usesTheme) : entry_(entry), usesTheme_(usesTheme) {}

    QIconEngine* clone() const override { return new SymbolEngine(entry_, usesTheme_); }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const QPalette colours = QApplication::palette();
        QColor tint = state == QIcon::On || mode == QIcon::Selected
                          ? colours.color(QPalette::Highlight)
                          : colours.color(QPalette::WindowText);
        if (mode == QIcon::Disabled) {
            tint.setAlphaF(0.3f);
        }
        // A mask at the painter's resolution, filled with the tint.
        const qreal ratio =
            painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1;
        QImage mask(rect.size() * ratio, QImage::Format_ARGB32_Premultiplied);
        mask.setDevicePixelRatio(ratio);
        mask.fill(Qt::transparent);
        {
            QPainter shape(&mask);
            shape.setRenderHint(QPainter::Antialiasing);
            const QIcon themed = usesTheme_ ? themeIcon() : QIcon();
            if (!themed.isNull()) {
                themed.paint(&shape, QRect(QPoint(0, 0), rect.size()));
            } else {
                shape.scale(rect.width() / 16.0, rect.height() / 16.0);
                shape.setPen(QPen(Qt::black, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
                shape.setBrush(Qt::NoBrush);
                entry_.draw(shape);
            }
            shape.resetTransform();
            shape.setCompositionMode(QPainter::CompositionMode_SourceIn);
            shape.fillRect(QRect(QPoint(0, 0), rect.size()), tint);
        }
        painter->drawImage(rect, mask);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap result(size);
        result.fill(Qt::transparent);
        QPainter painter(&result);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return result;
    }

  private:
    QIcon themeIcon() const {
        for (const char* name : entry_.themeNames) {
            if (QIcon::hasThemeIcon(QString::fromLatin1(name))) {
                return QIcon::fromTheme(QString::fromLatin1(name));
            }
        }
        return {};
    }

    const Entry& entry_;
    bool usesTheme_;
};

}  // namespace

QIcon symbol(const char* name) {
    const Entry* entry = find(name);
    return entry != nullptr ? QIcon(new SymbolEngine(*entry, true)) : QIcon();
}

QIcon drawnSymbol(const char* name) {
    const Entry* entry = find(name);
    return entry != nullptr ? QIcon(new SymbolEngine(*entry, false)) : QIcon();
}

}  // namespace noctave::app::SettingsSymbols
