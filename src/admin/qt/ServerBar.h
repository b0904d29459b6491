#pragma once
// The "Servers" docking view: a shortcut bar with one group "Server" whose items are
// the names of the server list, in list order. The current item is the selected
// server. Its menu on an item carries the commands for that server; elsewhere it
// offers "Add..." and the bar's large and small icons.
#include "admin/CommandRules.h"

#include <QDockWidget>

#include <map>
#include <string>

class QListWidget;
class QListWidgetItem;
class QMenu;
class QToolBox;
class CServerDefinition;
class CServerList;

class CServerBar : public QDockWidget
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_WIDTH = 120;
    static constexpr int DEFAULT_HEIGHT = 200;

    CServerBar(CServerList& servers, QWidget* parent = nullptr);

    // The items become the list's names again; `current` is then the current item
    // when the list has it.
    void refill(const std::u16string& current = {});
    // The definition named by the current item; null when there is none.
    CServerDefinition* selectedServer() const;
    // Makes the named item current; false when there is none.
    bool selectServer(const std::u16string& name);
    // What the item menu's rules look at; `connectedName` is the connection's server.
    void setConnectionState(bool connected, const std::u16string& connectedName);
    void setLargeIcons(bool large);

    QListWidget* list() const { return m_pList; }
    QToolBox* shortcutBar() const { return m_pBar; }
    QMenu* itemMenu() const { return m_pItemMenu; }
    QMenu* spaceMenu() const { return m_pSpaceMenu; }
    // Opens the menu that belongs at `position` of the list (a point of its viewport).
    void openMenuAt(const QPoint& position, const QPoint& globalPosition);

Q_SIGNALS:
    void commandRequested(AdminCommand command);
    void selectionChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createBar();
    void createMenus();
    QAction* addItemCommand(const QString& text, AdminCommand command);
    void updateItemMenu(const std::u16string& itemName);

    CServerList& m_servers;
    QToolBox* m_pBar = nullptr;
    QListWidget* m_pList = nullptr;
    QMenu* m_pItemMenu = nullptr;
    QMenu* m_pSpaceMenu = nullptr;
    QAction* m_pLargeIcons = nullptr;
    QAction* m_pSmallIcons = nullptr;
    std::map<AdminCommand, QAction*> m_itemActions;
    bool m_bConnected = false;
    std::u16string m_strConnectedName;
};
