#pragma once
// The "Sessions" docking view: the session list in four columns, several rows
// selectable, sorted by a click on a column header, with the "&Terminate" menu (also on
// Shift+F10 and the Menu key; Delete terminates as well). Tab leaves the view.
#include <QDockWidget>

#include <string>
#include <vector>

class QContextMenuEvent;
class QKeyEvent;
class QMenu;
class QTableView;
class CSessionList;
class CSessionTableModel;

class CSessionBar : public QDockWidget
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_WIDTH = 520;
    static constexpr int DEFAULT_HEIGHT = 200;

    CSessionBar(CSessionList& sessions, QWidget* parent = nullptr);

    QTableView* view() const { return m_pView; }
    CSessionTableModel* model() const { return m_pModel; }
    QMenu* contextMenu() const { return m_pMenu; }
    QAction* terminateAction() const { return m_pTerminate; }

    // The initial width of a column, and of the view with all four.
    int columnWidth(int column) const;
    int defaultWidth() const;
    // The selected rows, from the top.
    std::vector<int> selectedRows() const;
    // After a fill, a sort or a removal; the selected sessions that are still listed
    // stay selected.
    void redraw();
    void clearView();
    // After a row's times changed.
    void repaintRows();
    // Where the menu opens: at the mouse, or from the keyboard 5 pixels right of and
    // below the top-left corner of the first selected row.
    QPoint menuPosition(const QContextMenuEvent& event) const;

Q_SIGNALS:
    // The menu's Terminate, or the Delete key on selected rows.
    void terminateRequested();
    void selectionChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createView();
    void createMenu();
    void onHeaderClicked(int column);
    // Delete, Shift+F10 and the Menu key; true when the key was taken.
    bool handleKey(const QKeyEvent& key);
    // The IDs of the selected rows and of the current one, kept while rows move.
    void rememberSelection();
    void reselect();

    CSessionList& m_sessions;
    CSessionTableModel* m_pModel = nullptr;
    QTableView* m_pView = nullptr;
    QMenu* m_pMenu = nullptr;
    QAction* m_pTerminate = nullptr;
    std::vector<std::u16string> m_selectedIds;
    std::u16string m_currentId;
};
