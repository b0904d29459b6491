#pragma once
// The "Statistics" docking view: the selected session's twelve counters as "Item" and
// "Value" rows, and under them two small graphs of the last five minutes of polls:
// its link quality and its throughput both ways.
#include "admin/StatisticsPoll.h"

#include <QDockWidget>

class QTableWidget;
class CLineGraph;
class CStatisticsHistory;

class CStatisticsBar : public QDockWidget
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_WIDTH = 410;
    static constexpr int DEFAULT_HEIGHT = 200;

    explicit CStatisticsBar(QWidget* parent = nullptr);

    // Row k's value becomes the k-th counter.
    void showStatistics(const SessionStatistics& statistics);
    // Every value empty, both graphs empty.
    void clearStatistics();
    void showHistory(const CStatisticsHistory& history);

    QTableWidget* table() const { return m_pTable; }
    QString value(int row) const;
    CLineGraph* qualityGraph() const { return m_pQuality; }
    CLineGraph* throughputGraph() const { return m_pThroughput; }

private:
    void createTable();
    void createGraphs();

    QTableWidget* m_pTable = nullptr;
    CLineGraph* m_pQuality = nullptr;
    CLineGraph* m_pThroughput = nullptr;
};
