#include "client/qt/IndicatorWidget.h"

#include "client/IndicatorColor.h"
#include "client/IndicatorWnd.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace
{
// Larger fonts than this cannot fit any indicator; they only cost time.
constexpr int MAX_FONT_PIXELS = 1024;

QColor ToQColor(uint32_t color)
{
    return QColor(IndicatorColorRed(color), IndicatorColorGreen(color), IndicatorColorBlue(color));
}

// An empty rectangle paints nothing.
void Fill(QPainter& painter, const IndicatorRect& rect, uint32_t color)
{
    if (!rect.IsEmpty())
    {
        painter.fillRect(QRect(rect.left, rect.top, rect.Width(), rect.Height()), ToQColor(color));
    }
}

// The closed 1-pixel line along the client rectangle's outermost pixels.
void DrawBorder(QPainter& painter, const IndicatorRect& client, uint32_t color)
{
    Fill(painter, {client.left, client.top, client.right, client.top + 1}, color);
    Fill(painter, {client.left, client.bottom - 1, client.right, client.bottom}, color);
    Fill(painter, {client.left, client.top, client.left + 1, client.bottom}, color);
    Fill(painter, {client.right - 1, client.top, client.right, client.bottom}, color);
}
} // namespace

CIndicatorWidget::CIndicatorWidget(CIndicatorWnd& indicator)
    : QWidget(nullptr, WINDOW_FLAGS), m_indicator(indicator)
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

QFont CIndicatorWidget::IndicatorFont() const
{
    QFont font(QString::fromStdString(m_indicator.GetFontName()));
    font.setWeight(QFont::Normal);
    const QScreen* display = screen();
    const int dpi = display ? static_cast<int>(std::lround(display->logicalDotsPerInchY())) : 96;
    // Negative: the character height; positive (a negative point size): the cell height.
    const int height = std::abs(m_indicator.FontHeight(dpi));
    if (height > 0)
    {
        font.setPixelSize(std::min(height, MAX_FONT_PIXELS));
    }
    return font;
}

void CIndicatorWidget::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    const CIndicatorWnd::PaintPlan plan = m_indicator.Paint({0, 0, width(), height()});
    Fill(painter, plan.client, plan.background);
    DrawBorder(painter, plan.client, plan.border);
    Fill(painter, plan.bar.off, plan.offColor);
    Fill(painter, plan.bar.on, plan.onColor);

    const QFont font = IndicatorFont();
    const QFontMetrics metrics(font);
    const QString text = QString::fromStdString(plan.text);
    const IndicatorRect box =
        CentreText(plan.textArea, metrics.horizontalAdvance(text), metrics.height());
    if (plan.textArea.IsEmpty())
    {
        return;
    }
    // Opaque text on the background colour, clipped to the text rectangle.
    const IndicatorRect& area = plan.textArea;
    painter.setClipRect(QRect(area.left, area.top, area.Width(), area.Height()));
    Fill(painter, box, plan.background);
    painter.setFont(font);
    painter.setPen(ToQColor(plan.textColor));
    painter.drawText(box.left, box.top + metrics.ascent(), text);
}

void CIndicatorWidget::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
    {
        const QPoint point = event->position().toPoint();
        m_indicator.OnLeftButtonDown(point.x(), point.y());
    }
}

void CIndicatorWidget::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint point = event->position().toPoint();
    m_indicator.OnMouseMove(point.x(), point.y());
}

void CIndicatorWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
    {
        m_indicator.OnLeftButtonUp();
    }
}

void CIndicatorWidget::contextMenuEvent(QContextMenuEvent* event)
{
    if (m_pContextMenu != nullptr && !m_pContextMenu->isVisible())
    {
        m_pContextMenu->popup(event->globalPos());
    }
}
