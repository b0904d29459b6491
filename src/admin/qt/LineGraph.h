#pragma once
// A small line graph over a fixed time span that ends at the newest poll: one or two
// series, a title, the top value of the scale and a legend.
#include <QColor>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <deque>
#include <vector>

class CLineGraph : public QWidget
{
    Q_OBJECT

public:
    struct Point
    {
        uint32_t tick;
        double value;
    };
    struct Series
    {
        QString name;
        QColor color;
        std::deque<Point> points;
    };

    // `fixedTop` > 0: the scale runs from 0 to it; else it follows the largest value.
    CLineGraph(const QString& title, double fixedTop, const QString& unit,
               QWidget* parent = nullptr);

    // `newest` is the tick at the right edge; the left edge lies `spanMs` before it.
    void setSeries(std::vector<Series> series, uint32_t newest, uint32_t spanMs);
    void clear();
    const std::vector<Series>& series() const { return m_series; }
    // The top of the scale as drawn, with its unit ("100 %", "2.0 KB/s").
    QString topLabel() const;

    QSize sizeHint() const override { return {330, 90}; }
    QSize minimumSizeHint() const override { return {160, 64}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double scaleTop() const;
    void drawFrame(class QPainter& painter, const QRect& plot) const;
    void drawSeries(class QPainter& painter, const QRect& plot, const Series& series,
                    double penWidth) const;
    // Where `fraction` of the scale lies in the plot; 1 keeps clear of the frame.
    double valueY(const QRect& plot, double fraction) const;

    QString m_strTitle;
    double m_dFixedTop;
    QString m_strUnit;
    std::vector<Series> m_series;
    uint32_t m_nNewest = 0;
    uint32_t m_nSpanMs = 1;
    // Pixels between the frame's top and the top of the scale.
    int m_nTopRoom = 8;
};
