#include "admin/qt/AdminIcon.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace
{
// Every picture is drawn on a 64 by 64 grid and scaled to the size asked for.
constexpr qreal GRID = 64.0;

QImage NewImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void PrepareGrid(QPainter& painter, int size)
{
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / GRID, size / GRID);
}

// One rack unit: a light front with two drive slots and a green lamp.
void DrawUnit(QPainter& painter, const QRectF& unit)
{
    painter.setPen(QPen(QColor(0x12, 0x33, 0x5a), 1.5));
    painter.setBrush(QColor(0xf4, 0xf7, 0xfb));
    painter.drawRoundedRect(unit, 3, 3);
    painter.setPen(QPen(QColor(0x8a, 0xa0, 0xb8), 2.5, Qt::SolidLine, Qt::RoundCap));
    const qreal y = unit.center().y();
    painter.drawLine(QPointF(unit.left() + 6, y), QPointF(unit.left() + 16, y));
    painter.drawLine(QPointF(unit.left() + 20, y), QPointF(unit.left() + 27, y));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0x2e, 0xc4, 0x4a));
    painter.drawEllipse(QPointF(unit.right() - 6, y), 3.2, 3.2);
}
} // namespace

QImage DrawAdminIcon(int size)
{
    QImage image = NewImage(size);
    QPainter painter(&image);
    PrepareGrid(painter, size);

    QLinearGradient tile(0, 2, 0, 62);
    tile.setColorAt(0, QColor(0x3a, 0x8d, 0xde));
    tile.setColorAt(1, QColor(0x17, 0x4a, 0x86));
    painter.setPen(QPen(QColor(0x10, 0x36, 0x63), 2));
    painter.setBrush(tile);
    painter.drawRoundedRect(QRectF(3, 3, 58, 58), 12, 12);

    DrawUnit(painter, QRectF(11, 11, 42, 15));
    DrawUnit(painter, QRectF(11, 29, 42, 15));

    // The link the console watches: a trace with one peak, in amber.
    QPainterPath trace;
    trace.moveTo(9, 53);
    trace.lineTo(24, 53);
    trace.lineTo(29, 47);
    trace.lineTo(35, 57);
    trace.lineTo(40, 53);
    trace.lineTo(55, 53);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(0xff, 0xb3, 0x2e), 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(trace);
    painter.end();
    return image;
}

QIcon AdminIcon()
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(DrawAdminIcon(size)));
    return icon;
}

bool ExportAdminIcon(int size, const QString& path)
{
    return DrawAdminIcon(size).save(path, "PNG");
}

QPixmap DrawServerIcon(int size)
{
    QImage image = NewImage(size);
    QPainter painter(&image);
    PrepareGrid(painter, size);
    QLinearGradient body(8, 0, 56, 0);
    body.setColorAt(0, QColor(0x5b, 0x6b, 0x7d));
    body.setColorAt(1, QColor(0x33, 0x40, 0x4f));
    painter.setPen(QPen(QColor(0x1f, 0x28, 0x33), 2));
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(14, 4, 36, 56), 5, 5);
    for (int unit = 0; unit < 3; ++unit)
    {
        const qreal y = 10 + unit * 12;
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0xc9, 0xd4, 0xe0));
        painter.drawRoundedRect(QRectF(19, y, 26, 7), 1.5, 1.5);
        painter.setBrush(QColor(0x2e, 0xc4, 0x4a));
        painter.drawEllipse(QPointF(41, y + 3.5), 2, 2);
    }
    painter.setBrush(QColor(0xff, 0xb3, 0x2e));
    painter.drawEllipse(QPointF(32, 52), 3, 3);
    painter.end();
    return QPixmap::fromImage(image);
}
