#pragma once
// The console's main window: title, menu bar, the Servers, Sessions and Statistics
// docking views, the status bar, the commands and the 2-second statistics poll.
#include "admin/CommandRules.h"
#include "admin/ConsoleCommands.h"
#include "admin/StatisticsHistory.h"
#include "admin/qt/WaitLoop.h"

#include <QMainWindow>
#include <QTimer>

#include <functional>
#include <map>
#include <optional>
#include <string>

class IClock;
class QLabel;
class CServerBar;
class CServerConnection;
class CServerList;
class CSessionBar;
class CSessionList;
class CStatisticsBar;
class CLockIndicators;
struct ServerSettingValues;

class CMainFrame : public QMainWindow, private IConsolePrompts
{
    Q_OBJECT

public:
    static constexpr int STATISTICS_INTERVAL_MS = 2000;
    static constexpr int PEER_CHECK_INTERVAL_MS = 500;

    CMainFrame(CServerList& servers, CServerConnection& connection, CSessionList& sessions,
               ServerSettingValues& settings, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // "--connect NAME": selects the named server and runs Connect; an error box when
    // the list has no server of that name.
    bool connectToServer(const QString& name);

    QAction* commandAction(AdminCommand command) const;
    CServerBar* serverBar() const { return m_pServerBar; }
    CSessionBar* sessionBar() const { return m_pSessionBar; }
    CStatisticsBar* statisticsBar() const { return m_pStatisticsBar; }
    QTimer& statisticsTimer() { return m_statisticsTimer; }
    const CStatisticsHistory& history() const { return m_history; }
    // How View Log opens the downloaded file; false when it could not. By default the
    // desktop's program for the file type.
    void setFileOpener(std::function<bool(const QString& path)> opener);
    // The tick count that the graphs' polls are stamped with.
    void setClock(IClock& clock) { m_pClock = &clock; }

public Q_SLOTS:
    void runCommand(AdminCommand command);
    void onConnect();
    void onDisconnect();
    void onAdd();
    void onEdit();
    void onRemove();
    void onClearLog();
    void onViewLog();
    void onProperties();
    void onRefresh();
    void onTerminate();
    void onAbout();
    void onExit();
    // One tick of the statistics timer.
    void pollStatistics();
    // Notices, without sending, a server that closed the connection between commands.
    void checkServer();
    // Enables every command by its rule.
    void updateActions();

private:
    void createActions();
    void createMenus();
    void createStatusBar();
    void createDockWindows();
    void createTimer();
    void sizeDocks();
    QAction* addCommand(AdminCommand command, const QString& text, void (CMainFrame::*handler)());
    bool isEnabled(AdminCommand command) const;
    // The Disconnect command's reset: title, connection, session list and both views.
    void resetToDisconnected();
    // After a command: a connection that dropped meanwhile leaves the console in the
    // not-connected state, and the commands' rules are applied again.
    void afterCommand();
    void showStatisticsReply(int row, const SessionStatistics& statistics);
    // Asks the server dialog until the list takes the values or the operator cancels.
    bool
    askServer(const QString& title, CServerDefinition& definition,
              const std::function<std::optional<std::string>(const CServerDefinition&)>& store);

    bool ask(const std::string& question) override;
    void showError(const std::string& text) override;

    CServerList& m_servers;
    CServerConnection& m_connection;
    CSessionList& m_sessions;
    ServerSettingValues& m_settings;
    CWaitLoop m_waitLoop;
    IClock* m_pClock;
    std::function<bool(const QString&)> m_fileOpener;
    std::map<AdminCommand, QAction*> m_actions;
    QAction* m_pStatusBarAction = nullptr;
    CServerBar* m_pServerBar = nullptr;
    CSessionBar* m_pSessionBar = nullptr;
    CStatisticsBar* m_pStatisticsBar = nullptr;
    CLockIndicators* m_pLocks = nullptr;
    QTimer m_statisticsTimer;
    QTimer m_peerTimer;
    CStatisticsHistory m_history;
    // The window shows a connection (title, sessions).
    bool m_bShownConnected = false;
};
