#include "admin/qt/SessionBar.h"

#include "admin/SessionList.h"
#include "admin/qt/SessionTableModel.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSignalBlocker>
#include <QTableView>

#include <algorithm>

CSessionBar::CSessionBar(CSessionList& sessions, QWidget* parent)
    : QDockWidget(tr("Sessions"), parent), m_sessions(sessions)
{
    setObjectName(QStringLiteral("Sessions"));
    createView();
    createMenu();
}

void CSessionBar::createView()
{
    m_pModel = new CSessionTableModel(m_sessions, this);
    m_pView = new QTableView(this);
    m_pView->setModel(m_pModel);
    m_pView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab leaves the view for the next one; the arrows move between rows.
    m_pView->setTabKeyNavigation(false);
    m_pView->setShowGrid(false);
    m_pView->setWordWrap(false);
    m_pView->verticalHeader()->hide();
    m_pView->verticalHeader()->setDefaultSectionSize(m_pView->fontMetrics().height() + 6);
    m_pView->setSortingEnabled(false);
    QHeaderView* header = m_pView->horizontalHeader();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    for (int column = 0; column < CSessionList::COLUMN_COUNT; ++column)
        m_pView->setColumnWidth(column, columnWidth(column));
    // A double-click sorts as well: the header reports each of its two clicks.
    connect(header, &QHeaderView::sectionClicked, this, &CSessionBar::onHeaderClicked);
    // The selection stays as visible when the list loses the focus.
    QPalette palette = m_pView->palette();
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    m_pView->setPalette(palette);
    m_pView->installEventFilter(this);
    m_pView->viewport()->installEventFilter(this);
    connect(m_pView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this]
            {
                rememberSelection();
                Q_EMIT selectionChanged();
            });
    setWidget(m_pView);
}

int CSessionBar::columnWidth(int column) const
{
    // The widths are the list's, widened where this font needs more room for the
    // longest client ID or a time with milliseconds.
    const QString widest = column == 0 ? QStringLiteral("255.255.255.255:65535")
                                       : QStringLiteral("0000-00-00 00:00:00.000");
    const int needed = fontMetrics().horizontalAdvance(widest) + 16;
    return std::max(CSessionList::COLUMN_WIDTHS[static_cast<size_t>(column)], needed);
}

int CSessionBar::defaultWidth() const
{
    int width = 2 * m_pView->frameWidth() + 8;
    for (int column = 0; column < CSessionList::COLUMN_COUNT; ++column)
        width += columnWidth(column);
    return std::max(width, DEFAULT_WIDTH);
}

void CSessionBar::createMenu()
{
    m_pMenu = new QMenu(this);
    m_pTerminate = m_pMenu->addAction(tr("&Terminate"));
    connect(m_pTerminate, &QAction::triggered, this, &CSessionBar::terminateRequested);
}

std::vector<int> CSessionBar::selectedRows() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : m_pView->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void CSessionBar::redraw()
{
    m_pView->setUpdatesEnabled(false);
    {
        // The rows moved or were replaced: the sessions selected before stay selected,
        // found by their IDs, without a change of selection in between.
        const QSignalBlocker blocker(m_pView->selectionModel());
        m_pModel->redraw();
        reselect();
    }
    m_pView->setUpdatesEnabled(true);
    m_pView->viewport()->update();
    Q_EMIT selectionChanged();
}

void CSessionBar::rememberSelection()
{
    m_selectedIds.clear();
    for (const int row : selectedRows())
        if (row < m_sessions.getCount())
            m_selectedIds.push_back(m_sessions.getSessionID(row));
    const QModelIndex current = m_pView->currentIndex();
    m_currentId = current.isValid() && current.row() < m_sessions.getCount()
                      ? m_sessions.getSessionID(current.row())
                      : std::u16string();
}

void CSessionBar::reselect()
{
    QItemSelection selection;
    QModelIndex current;
    for (int row = 0; row < m_sessions.getCount(); ++row)
    {
        const std::u16string& id = m_sessions.getSessionID(row);
        if (std::find(m_selectedIds.begin(), m_selectedIds.end(), id) != m_selectedIds.end())
            selection.select(m_pModel->index(row, 0),
                             m_pModel->index(row, CSessionList::COLUMN_COUNT - 1));
        if (!current.isValid() && !m_currentId.empty() && id == m_currentId)
            current = m_pModel->index(row, 0);
    }
    QItemSelectionModel* model = m_pView->selectionModel();
    if (current.isValid())
        model->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
    model->select(selection, QItemSelectionModel::ClearAndSelect);
    rememberSelection();
}

void CSessionBar::clearView()
{
    m_pModel->clearRows();
    m_selectedIds.clear();
    m_currentId.clear();
}

void CSessionBar::repaintRows()
{
    m_pModel->repaintRows();
}

void CSessionBar::onHeaderClicked(int column)
{
    m_sessions.sortBy(column);
    redraw();
}

QPoint CSessionBar::menuPosition(const QContextMenuEvent& event) const
{
    const std::vector<int> rows = selectedRows();
    if (event.reason() != QContextMenuEvent::Keyboard || rows.empty())
        return event.globalPos();
    const QRect first = m_pView->visualRect(m_pModel->index(rows.front(), 0));
    return m_pView->viewport()->mapToGlobal(first.topLeft() + QPoint(5, 5));
}

bool CSessionBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_pView && watched != m_pView->viewport())
        return QDockWidget::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress && watched == m_pView &&
        handleKey(*static_cast<QKeyEvent*>(event)))
        return true;
    if (event->type() != QEvent::ContextMenu)
        return QDockWidget::eventFilter(watched, event);
    // The menu opens only while at least one row is selected.
    if (!selectedRows().empty())
        m_pMenu->popup(menuPosition(*static_cast<QContextMenuEvent*>(event)));
    return true;
}

bool CSessionBar::handleKey(const QKeyEvent& key)
{
    const bool menuKey = key.key() == Qt::Key_Menu ||
                         (key.key() == Qt::Key_F10 && key.modifiers() == Qt::ShiftModifier);
    if (menuKey)
    {
        // The menu as a right click opens it, placed as for the keyboard.
        const QRect cell = m_pView->visualRect(m_pView->currentIndex());
        const QPoint at = m_pView->viewport()->mapToGlobal(cell.center());
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, cell.center(), at);
        eventFilter(m_pView, &menuEvent);
        return true;
    }
    if (key.key() == Qt::Key_Delete && key.modifiers() == Qt::NoModifier)
    {
        if (!selectedRows().empty())
            Q_EMIT terminateRequested();
        return true;
    }
    return false;
}
