#pragma once
// The Sessions view's rows as a table model over the session list: it holds no copy of
// the rows and asks the list for every cell it is to show. Like a virtual list it
// keeps its own row count, set when the view is redrawn or cleared.
#include <QAbstractTableModel>

class CSessionList;

class CSessionTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit CSessionTableModel(CSessionList& sessions, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The row count becomes the list's, the headers are read again.
    void redraw();
    // No rows; the headers are read again.
    void clearRows();
    // The texts of the rows changed, not their number or order.
    void repaintRows();

private:
    CSessionList& m_sessions;
    int m_nRows = 0;
};
