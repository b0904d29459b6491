#include "client/qt/TrayImages.h"

#include "client/IndicatorWnd.h"

#include <QPainter>
#include <QPainterPath>

#include <array>

namespace
{
// Drawn on a 16 x 16 grid and scaled to the size asked for.
constexpr double GRID = 16.0;
constexpr double LEFT = 1.5;
constexpr double RIGHT = 14.5;
constexpr double TOP = 1.5;
constexpr double BOTTOM = 14.5;
// The wedge's low end still has some height, so that a weak link shows some colour.
constexpr double LOW_END = 10.5;

QColor LevelColor(int step)
{
    if (step <= 3)
    {
        return QColor(0xD8, 0x3A, 0x2E); // weak: red
    }
    if (step <= 6)
    {
        return QColor(0xF0, 0xA0, 0x20); // fair: amber
    }
    return QColor(0x2E, 0xAA, 0x3A); // good: green
}

QPainterPath Wedge()
{
    QPainterPath path;
    path.moveTo(LEFT, BOTTOM);
    path.lineTo(RIGHT, BOTTOM);
    path.lineTo(RIGHT, TOP);
    path.lineTo(LEFT, LOW_END);
    path.closeSubpath();
    return path;
}
} // namespace

QImage DrawTrayImage(int imageId, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / GRID, size / GRID);
    const QPainterPath wedge = Wedge();
    const bool idle =
        imageId < CIndicatorWnd::FIRST_TRAY_IMAGE || imageId >= CIndicatorWnd::IDLE_TRAY_IMAGE;
    if (idle)
    {
        painter.fillPath(wedge, QColor(0xC8, 0xC8, 0xC8));
        painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1.0));
        painter.drawPath(wedge);
        return image;
    }
    const int step = imageId - CIndicatorWnd::FIRST_TRAY_IMAGE; // 0..10
    painter.fillPath(wedge, QColor(0xF4, 0xF4, 0xF4));
    if (step > 0)
    {
        painter.save();
        painter.setClipRect(QRectF(0, 0, LEFT + (RIGHT - LEFT) * step / 10.0, GRID));
        painter.fillPath(wedge, LevelColor(step));
        painter.restore();
    }
    // No link at all: a red outline instead of the dark one.
    const QColor outline = step == 0 ? QColor(0xC0, 0x20, 0x20) : QColor(0x30, 0x30, 0x30);
    painter.setPen(QPen(outline, 1.0));
    painter.drawPath(wedge);
    return image;
}

QIcon MakeTrayIcon(int imageId)
{
    QIcon icon;
    for (const int size : std::array{16, 22, 24, 32, 48, 64})
    {
        icon.addPixmap(QPixmap::fromImage(DrawTrayImage(imageId, size)));
    }
    return icon;
}
