#include "admin/qt/StatisticsBar.h"

#include "admin/StatisticsHistory.h"
#include "admin/qt/LineGraph.h"

#include <QHeaderView>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace
{
constexpr int ITEM_WIDTH = 150;
constexpr int VALUE_WIDTH = 200;

std::deque<CLineGraph::Point> Points(const CStatisticsHistory::Series& series)
{
    std::deque<CLineGraph::Point> points;
    for (const CStatisticsHistory::Point& point : series)
        points.push_back({point.tick, point.value});
    return points;
}
} // namespace

CStatisticsBar::CStatisticsBar(QWidget* parent) : QDockWidget(tr("Statistics"), parent)
{
    setObjectName(QStringLiteral("Statistics"));
    createTable();
    createGraphs();
    auto* graphs = new QWidget;
    auto* graphLayout = new QVBoxLayout(graphs);
    graphLayout->setContentsMargins(0, 2, 0, 0);
    graphLayout->setSpacing(4);
    graphLayout->addWidget(m_pQuality);
    graphLayout->addWidget(m_pThroughput);
    auto* splitter = new QSplitter(Qt::Vertical);
    splitter->setChildrenCollapsible(false);
    splitter->addWidget(m_pTable);
    splitter->addWidget(graphs);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    // At first the twelve rows are shown whole; the graphs take what is left.
    const int rows = STATISTICS_ROWS * m_pTable->verticalHeader()->defaultSectionSize();
    splitter->setSizes({rows + m_pTable->horizontalHeader()->sizeHint().height() + 4, 200});
    setWidget(splitter);
    clearStatistics();
}

void CStatisticsBar::createTable()
{
    m_pTable = new QTableWidget(STATISTICS_ROWS, 2);
    m_pTable->setHorizontalHeaderLabels({tr("Item"), tr("Value")});
    m_pTable->verticalHeader()->hide();
    m_pTable->verticalHeader()->setDefaultSectionSize(m_pTable->fontMetrics().height() + 6);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->setSelectionMode(QAbstractItemView::NoSelection);
    m_pTable->setFocusPolicy(Qt::NoFocus);
    m_pTable->setShowGrid(false);
    m_pTable->setWordWrap(false);
    m_pTable->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pTable->horizontalHeader()->setSectionsClickable(false);
    m_pTable->horizontalHeader()->setHighlightSections(false);
    m_pTable->setColumnWidth(0, ITEM_WIDTH);
    m_pTable->setColumnWidth(1, VALUE_WIDTH);
    for (int row = 0; row < STATISTICS_ROWS; ++row)
    {
        m_pTable->setItem(row, 0,
                          new QTableWidgetItem(QString::fromStdU16String(
                              std::u16string(STATISTICS_ITEMS[static_cast<size_t>(row)]))));
        m_pTable->setItem(row, 1, new QTableWidgetItem);
    }
}

void CStatisticsBar::createGraphs()
{
    m_pQuality = new CLineGraph(tr("Link Quality"), 100, QStringLiteral("%"));
    m_pThroughput = new CLineGraph(tr("Throughput"), 0, QStringLiteral("B/s"));
    m_pQuality->setObjectName(QStringLiteral("LinkQualityGraph"));
    m_pThroughput->setObjectName(QStringLiteral("ThroughputGraph"));
}

void CStatisticsBar::showStatistics(const SessionStatistics& statistics)
{
    for (int row = 0; row < STATISTICS_ROWS; ++row)
        m_pTable->item(row, 1)->setText(
            QString::fromStdU16String(statistics.values[static_cast<size_t>(row)]));
}

void CStatisticsBar::clearStatistics()
{
    for (int row = 0; row < STATISTICS_ROWS; ++row)
        m_pTable->item(row, 1)->setText(QString());
    showHistory(CStatisticsHistory());
}

void CStatisticsBar::showHistory(const CStatisticsHistory& history)
{
    const uint32_t newest = history.newestTick();
    m_pQuality->setSeries(
        {{tr("Link Quality"), QColor(0x1f, 0x8f, 0x3a), Points(history.linkQuality())}}, newest,
        CStatisticsHistory::SPAN_MS);
    m_pThroughput->setSeries(
        {{tr("Data Sent"), QColor(0x1f, 0x6f, 0xd0), Points(history.sentRate())},
         {tr("Data Received"), QColor(0xe0, 0x7a, 0x10), Points(history.receivedRate())}},
        newest, CStatisticsHistory::SPAN_MS);
}

QString CStatisticsBar::value(int row) const
{
    return m_pTable->item(row, 1)->text();
}
