#include "admin/qt/LineGraph.h"

#include "platform/Time.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace
{
constexpr int MARGIN = 4;

// The smallest of 1, 2 and 5 times a power of ten that is at least `value`.
double NiceTop(double value)
{
    if (value <= 0)
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    for (const double step : {1.0, 2.0, 5.0, 10.0})
        if (step * power >= value)
            return step * power;
    return 10 * power;
}

QString WithUnit(double value, const QString& unit)
{
    static const char* const prefixes[] = {"", "K", "M", "G"};
    int prefix = 0;
    while (value >= 1024 && prefix < 3)
    {
        value /= 1024;
        ++prefix;
    }
    const int decimals = value < 10 && std::floor(value) != value ? 1 : 0;
    return QString::number(value, 'f', decimals) + QLatin1Char(' ') +
           QString::fromLatin1(prefixes[prefix]) + unit;
}
} // namespace

CLineGraph::CLineGraph(const QString& title, double fixedTop, const QString& unit, QWidget* parent)
    : QWidget(parent), m_strTitle(title), m_dFixedTop(fixedTop), m_strUnit(unit)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void CLineGraph::setSeries(std::vector<Series> series, uint32_t newest, uint32_t spanMs)
{
    m_series = std::move(series);
    m_nNewest = newest;
    m_nSpanMs = std::max<uint32_t>(spanMs, 1);
    update();
}

void CLineGraph::clear()
{
    for (Series& series : m_series)
        series.points.clear();
    update();
}

double CLineGraph::scaleTop() const
{
    if (m_dFixedTop > 0)
        return m_dFixedTop;
    double largest = 0;
    for (const Series& series : m_series)
        for (const Point& point : series.points)
            largest = std::max(largest, point.value);
    // Rates are scaled in steps of 1, 2 and 5 of the unit that shows them.
    double unit = 1;
    while (largest >= 1024 * unit && unit < 1024.0 * 1024 * 1024)
        unit *= 1024;
    return NiceTop(largest / unit) * unit;
}

QString CLineGraph::topLabel() const
{
    if (m_dFixedTop > 0)
        return QString::number(m_dFixedTop) + QLatin1Char(' ') + m_strUnit;
    return WithUnit(scaleTop(), m_strUnit);
}

void CLineGraph::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    QFont small = font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() - 1));
    painter.setFont(small);
    const QFontMetrics metrics(small);
    const int line = metrics.height();
    // The top of the scale lies under the scale's label, so that a line at the top (a
    // perfect link) crosses neither the frame nor the label.
    m_nTopRoom = line + 1;

    // The title on the left of the first line, the legend on its right.
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QRect(MARGIN, 0, width() - 2 * MARGIN, line), Qt::AlignLeft | Qt::AlignVCenter,
                     m_strTitle);
    int right = width() - MARGIN;
    for (auto it = m_series.rbegin(); it != m_series.rend() && m_series.size() > 1; ++it)
    {
        const int textWidth = metrics.horizontalAdvance(it->name);
        painter.drawText(QRect(right - textWidth, 0, textWidth, line), Qt::AlignVCenter, it->name);
        right -= textWidth + 4;
        painter.fillRect(QRect(right - 10, line / 2 - 1, 10, 3), it->color);
        right -= 18;
    }

    const QRect plot(MARGIN, line + 2, width() - 2 * MARGIN, height() - 2 * line - 4);
    if (plot.height() < 8 || plot.width() < 8)
        return;
    drawFrame(painter, plot);
    painter.setRenderHint(QPainter::Antialiasing);
    // Each series is drawn narrower than the one before, on top of it: lines that run
    // together (as much sent as received) still show both colours.
    for (size_t index = 0; index < m_series.size(); ++index)
        drawSeries(painter, plot, m_series[index],
                   1.6 + 2.0 * static_cast<double>(m_series.size() - 1 - index));
}

double CLineGraph::valueY(const QRect& plot, double fraction) const
{
    return plot.bottom() - 1 - std::clamp(fraction, 0.0, 1.0) * (plot.height() - 2 - m_nTopRoom);
}

void CLineGraph::drawFrame(QPainter& painter, const QRect& plot) const
{
    const QColor grid = palette().color(QPalette::Mid);
    painter.setPen(QPen(grid, 1, Qt::DotLine));
    for (const double fraction : {0.5, 1.0})
    {
        const int y = static_cast<int>(std::lround(valueY(plot, fraction)));
        painter.drawLine(plot.left(), y, plot.right(), y);
    }
    painter.setPen(grid);
    painter.drawRect(plot.adjusted(0, 0, -1, -1));

    painter.setPen(palette().color(QPalette::PlaceholderText));
    const QRect labels = plot.adjusted(3, 1, -3, -1);
    painter.drawText(labels, Qt::AlignLeft | Qt::AlignTop, topLabel());
    const QRect axis(plot.left(), plot.bottom() + 1, plot.width(), height() - plot.bottom() - 1);
    painter.drawText(axis, Qt::AlignLeft | Qt::AlignVCenter, tr("5 min ago"));
    painter.drawText(axis, Qt::AlignRight | Qt::AlignVCenter, tr("now"));
}

void CLineGraph::drawSeries(QPainter& painter, const QRect& plot, const Series& series,
                            double penWidth) const
{
    const double top = scaleTop();
    QPainterPath path;
    bool first = true;
    for (const Point& point : series.points)
    {
        const double age = std::max(0, TickDiff(m_nNewest, point.tick));
        const double x = plot.right() - age / m_nSpanMs * (plot.width() - 1);
        const double y = valueY(plot, point.value / top);
        if (first)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
        first = false;
    }
    painter.setPen(QPen(series.color, penWidth));
    painter.setBrush(Qt::NoBrush);
    if (series.points.size() == 1)
        painter.drawEllipse(path.currentPosition(), 1.5, 1.5);
    else
        painter.drawPath(path);
}
