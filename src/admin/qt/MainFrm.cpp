#include "admin/qt/MainFrm.h"

#include "admin/ServerConnection.h"
#include "admin/ServerList.h"
#include "admin/qt/AdminIcon.h"
#include "admin/qt/DesktopOpener.h"
#include "admin/qt/LockIndicators.h"
#include "admin/qt/ServerBar.h"
#include "admin/qt/SessionBar.h"
#include "admin/qt/StatisticsBar.h"
#include "platform/Clock.h"

#include <QDockWidget>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>

namespace
{
constexpr int DEFAULT_HEIGHT = 600;
} // namespace

CMainFrame::CMainFrame(CServerList& servers, CServerConnection& connection, CSessionList& sessions,
                       ServerSettingValues& settings, QWidget* parent)
    : QMainWindow(parent), m_servers(servers), m_connection(connection), m_sessions(sessions),
      m_settings(settings), m_pClock(&CSystemClock::Instance())
{
    setWindowTitle(QString::fromUtf8(PROGRAM_TITLE));
    setWindowIcon(AdminIcon());
    m_connection.setWaitHook(&m_waitLoop);
    setFileOpener({});
    createActions();
    createDockWindows();
    createMenus();
    createStatusBar();
    createTimer();
    sizeDocks();
    updateActions();
}

CMainFrame::~CMainFrame()
{
    m_connection.setWaitHook(nullptr);
}

QAction* CMainFrame::addCommand(AdminCommand command, const QString& text,
                                void (CMainFrame::*handler)())
{
    auto* action = new QAction(text, this);
    action->setStatusTip(QString::fromUtf8(CommandPrompt(command)));
    connect(action, &QAction::triggered, this, handler);
    m_actions[command] = action;
    return action;
}

void CMainFrame::createActions()
{
    addCommand(AdminCommand::Exit, tr("E&xit"), &CMainFrame::onExit);
    addCommand(AdminCommand::Connect, tr("&Connect"), &CMainFrame::onConnect);
    addCommand(AdminCommand::Disconnect, tr("&Disconnect"), &CMainFrame::onDisconnect);
    addCommand(AdminCommand::Add, tr("&Add..."), &CMainFrame::onAdd);
    addCommand(AdminCommand::Edit, tr("&Edit..."), &CMainFrame::onEdit);
    addCommand(AdminCommand::Remove, tr("&Remove"), &CMainFrame::onRemove);
    addCommand(AdminCommand::ClearLog, tr("Clear &Log"), &CMainFrame::onClearLog);
    addCommand(AdminCommand::ViewLog, tr("&View Log"), &CMainFrame::onViewLog);
    addCommand(AdminCommand::Properties, tr("&Properties"), &CMainFrame::onProperties);
    addCommand(AdminCommand::Refresh, tr("&Refresh"), &CMainFrame::onRefresh)
        ->setShortcut(QKeySequence(Qt::Key_F5));
    addCommand(AdminCommand::Terminate, tr("&Terminate"), &CMainFrame::onTerminate);
    addCommand(AdminCommand::About, tr("&About..."), &CMainFrame::onAbout);
}

void CMainFrame::createDockWindows()
{
    setDockOptions(AnimatedDocks | AllowNestedDocks | AllowTabbedDocks);
    m_pServerBar = new CServerBar(m_servers, this);
    m_pSessionBar = new CSessionBar(m_sessions, this);
    m_pStatisticsBar = new CStatisticsBar(this);
    // All three on the left edge, side by side in their default widths.
    addDockWidget(Qt::LeftDockWidgetArea, m_pServerBar);
    splitDockWidget(m_pServerBar, m_pSessionBar, Qt::Horizontal);
    splitDockWidget(m_pSessionBar, m_pStatisticsBar, Qt::Horizontal);
    connect(m_pServerBar, &CServerBar::selectionChanged, this, &CMainFrame::updateActions);
    connect(m_pServerBar, &CServerBar::commandRequested, this, &CMainFrame::runCommand);
    connect(m_pSessionBar, &CSessionBar::terminateRequested, this, &CMainFrame::onTerminate);
    connect(m_pSessionBar, &CSessionBar::selectionChanged, this, &CMainFrame::updateActions);
    m_pSessionBar->terminateAction()->setStatusTip(
        QString::fromUtf8(CommandPrompt(AdminCommand::Terminate)));
}

void CMainFrame::sizeDocks()
{
    // The window is as wide as the three views side by side in their default widths.
    const QList<int> widths = {CServerBar::DEFAULT_WIDTH, m_pSessionBar->defaultWidth(),
                               CStatisticsBar::DEFAULT_WIDTH};
    const int separator = style()->pixelMetric(QStyle::PM_DockWidgetSeparatorExtent, nullptr, this);
    resize(widths[0] + widths[1] + widths[2] + 3 * separator, DEFAULT_HEIGHT);
    resizeDocks({m_pServerBar, m_pSessionBar, m_pStatisticsBar}, widths, Qt::Horizontal);
}

void CMainFrame::createMenus()
{
    QMenu* file = menuBar()->addMenu(tr("&File"));
    file->addAction(m_actions[AdminCommand::Exit]);

    QMenu* view = menuBar()->addMenu(tr("&View"));
    const std::pair<QDockWidget*, QString> views[] = {{m_pServerBar, tr("&Servers")},
                                                      {m_pSessionBar, tr("S&essions")},
                                                      {m_pStatisticsBar, tr("S&tatistics")}};
    for (const auto& [dock, text] : views)
    {
        QAction* toggle = dock->toggleViewAction();
        toggle->setText(text);
        toggle->setStatusTip(tr("Show or hide the %1 view").arg(dock->windowTitle()));
        view->addAction(toggle);
    }
    view->addSeparator();
    m_pStatusBarAction = view->addAction(tr("&Status Bar"));
    m_pStatusBarAction->setCheckable(true);
    m_pStatusBarAction->setChecked(true);
    m_pStatusBarAction->setStatusTip(tr("Show or hide the status bar"));
    connect(m_pStatusBarAction, &QAction::toggled, this,
            [this](bool visible) { statusBar()->setVisible(visible); });

    QMenu* servers = menuBar()->addMenu(tr("&Servers"));
    servers->addAction(m_actions[AdminCommand::Connect]);
    servers->addAction(m_actions[AdminCommand::Disconnect]);
    servers->addSeparator();
    servers->addAction(m_actions[AdminCommand::Add]);
    servers->addAction(m_actions[AdminCommand::Edit]);
    servers->addAction(m_actions[AdminCommand::Remove]);
    servers->addSeparator();
    servers->addAction(m_actions[AdminCommand::ClearLog]);
    servers->addAction(m_actions[AdminCommand::ViewLog]);
    servers->addSeparator();
    servers->addAction(m_actions[AdminCommand::Properties]);

    QMenu* sessions = menuBar()->addMenu(tr("S&essions"));
    sessions->addAction(m_actions[AdminCommand::Refresh]);
    sessions->addAction(m_actions[AdminCommand::Terminate]);

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(m_actions[AdminCommand::About]);

    for (QMenu* menu : {file, view, servers, sessions, help})
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::updateActions);
}

void CMainFrame::createStatusBar()
{
    // The message pane: "Ready", or the prompt of the command under the mouse.
    auto* ready = new QLabel(tr("Ready"));
    statusBar()->addWidget(ready, 1);
    m_pLocks = new CLockIndicators(statusBar());
}

void CMainFrame::createTimer()
{
    m_statisticsTimer.setInterval(STATISTICS_INTERVAL_MS);
    connect(&m_statisticsTimer, &QTimer::timeout, this, &CMainFrame::pollStatistics);
    m_statisticsTimer.start();
    m_peerTimer.setInterval(PEER_CHECK_INTERVAL_MS);
    connect(&m_peerTimer, &QTimer::timeout, this, &CMainFrame::checkServer);
    m_peerTimer.start();
}

QAction* CMainFrame::commandAction(AdminCommand command) const
{
    const auto found = m_actions.find(command);
    return found == m_actions.end() ? nullptr : found->second;
}

void CMainFrame::setFileOpener(std::function<bool(const QString&)> opener)
{
    if (!opener)
        opener = &OpenWithDesktopProgram;
    m_fileOpener = std::move(opener);
}

bool CMainFrame::isEnabled(AdminCommand command) const
{
    // Terminate follows the Sessions view's menu: it needs a selected session.
    if (command == AdminCommand::Terminate && m_pSessionBar->selectedRows().empty())
        return false;
    return IsCommandEnabled(
        command, {m_connection.isConnected(), m_pServerBar->selectedServer() != nullptr});
}

void CMainFrame::updateActions()
{
    for (const auto& [command, action] : m_actions)
        action->setEnabled(isEnabled(command));
    const CServerDefinition* connected = m_connection.getServer();
    m_pServerBar->setConnectionState(m_connection.isConnected(),
                                     connected != nullptr ? connected->getName() : u"");
}
