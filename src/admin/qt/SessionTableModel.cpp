#include "admin/qt/SessionTableModel.h"

#include "admin/SessionList.h"

CSessionTableModel::CSessionTableModel(CSessionList& sessions, QObject* parent)
    : QAbstractTableModel(parent), m_sessions(sessions)
{
}

int CSessionTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : m_nRows;
}

int CSessionTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : CSessionList::COLUMN_COUNT;
}

QVariant CSessionTableModel::data(const QModelIndex& index, int role) const
{
    // A row the list no longer has (it shrank before the next redraw) shows nothing.
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_sessions.getCount())
        return {};
    return QString::fromStdU16String(m_sessions.getCell(index.row(), index.column()));
}

QVariant CSessionTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= CSessionList::COLUMN_COUNT)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromStdU16String(m_sessions.getHeaderText(section));
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
}

void CSessionTableModel::redraw()
{
    beginResetModel();
    m_nRows = m_sessions.getCount();
    endResetModel();
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, CSessionList::COLUMN_COUNT - 1);
}

void CSessionTableModel::clearRows()
{
    beginResetModel();
    m_nRows = 0;
    endResetModel();
    Q_EMIT headerDataChanged(Qt::Horizontal, 0, CSessionList::COLUMN_COUNT - 1);
}

void CSessionTableModel::repaintRows()
{
    if (m_nRows > 0)
        Q_EMIT dataChanged(index(0, 0), index(m_nRows - 1, CSessionList::COLUMN_COUNT - 1),
                           {Qt::DisplayRole});
}
