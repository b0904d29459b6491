// The main window's commands and its statistics poll.
#include "admin/qt/MainFrm.h"

#include "admin/ServerConnection.h"
#include "admin/ServerList.h"
#include "admin/SessionList.h"
#include "admin/StatisticsPoll.h"
#include "admin/qt/AboutDlg.h"
#include "admin/qt/AdminMessageBox.h"
#include "admin/qt/ConnectDlg.h"
#include "admin/qt/LogWindow.h"
#include "admin/qt/ServerBar.h"
#include "admin/qt/ServerDlg.h"
#include "admin/qt/ServerPropertiesDlg.h"
#include "admin/qt/SessionBar.h"
#include "admin/qt/StatisticsBar.h"
#include "admin/qt/WaitCursor.h"
#include "platform/Clock.h"

#include <QApplication>
#include <QDir>
#include <QTableView>

void CMainFrame::runCommand(AdminCommand command)
{
    switch (command)
    {
    case AdminCommand::Connect:
        return onConnect();
    case AdminCommand::Disconnect:
        return onDisconnect();
    case AdminCommand::Add:
        return onAdd();
    case AdminCommand::Edit:
        return onEdit();
    case AdminCommand::Remove:
        return onRemove();
    case AdminCommand::ClearLog:
        return onClearLog();
    case AdminCommand::ViewLog:
        return onViewLog();
    case AdminCommand::Properties:
        return onProperties();
    case AdminCommand::Refresh:
        return onRefresh();
    case AdminCommand::Terminate:
        return onTerminate();
    case AdminCommand::About:
        return onAbout();
    case AdminCommand::Exit:
        return onExit();
    }
}

bool CMainFrame::connectToServer(const QString& name)
{
    if (!m_pServerBar->selectServer(name.toStdU16String()))
    {
        ShowError(this, tr("There is no server named %1.").arg(name));
        return false;
    }
    updateActions();
    onConnect();
    return true;
}

void CMainFrame::onConnect()
{
    const CServerDefinition* server = m_pServerBar->selectedServer();
    if (!isEnabled(AdminCommand::Connect) || server == nullptr ||
        m_connection.getServer() != nullptr)
        return;
    m_pSessionBar->clearView();
    repaint();
    m_connection.setServer(*server);
    CConnectDlg dialog(m_connection, this);
    if (dialog.exec() == QDialog::Accepted && m_connection.isConnected())
    {
        m_sessions.fillFromReplies(m_connection.getReplies());
        m_pSessionBar->redraw();
        setWindowTitle(QString::fromStdString(ConnectedTitle(*m_connection.getServer())));
        m_bShownConnected = true;
    }
    updateActions();
}

void CMainFrame::onDisconnect()
{
    if (!isEnabled(AdminCommand::Disconnect))
        return;
    resetToDisconnected();
    updateActions();
}

void CMainFrame::resetToDisconnected()
{
    setWindowTitle(QString::fromUtf8(PROGRAM_TITLE));
    m_connection.disconnect();
    m_sessions.clear();
    m_pSessionBar->clearView();
    m_pStatisticsBar->clearStatistics();
    m_history.clear();
    m_bShownConnected = false;
}

void CMainFrame::afterCommand()
{
    if (m_bShownConnected && !m_connection.isConnected())
        resetToDisconnected();
    updateActions();
}

bool CMainFrame::askServer(
    const QString& title, CServerDefinition& definition,
    const std::function<std::optional<std::string>(const CServerDefinition&)>& store)
{
    for (;;)
    {
        CServerDlg dialog(title, definition, this);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        definition = dialog.definition();
        const std::optional<std::string> error = store(definition);
        if (!error)
            return true;
        // The dialog opens again with the values just entered.
        ShowError(this, QString::fromStdString(*error));
    }
}

void CMainFrame::onAdd()
{
    // The Servers view's menu offers Add also while connected; the menu bar does not.
    CServerDefinition definition;
    if (!askServer(tr("Add"), definition,
                   [this](const CServerDefinition& entered)
                   { return m_servers.addServer(entered); }))
        return;
    m_pServerBar->refill(definition.getName());
    updateActions();
}

void CMainFrame::onEdit()
{
    const CServerDefinition* selected = m_pServerBar->selectedServer();
    if (!isEnabled(AdminCommand::Edit) || selected == nullptr)
        return;
    const std::u16string originalName = selected->getName();
    CServerDefinition definition = *selected;
    if (!askServer(tr("Edit"), definition,
                   [this, &originalName](const CServerDefinition& entered)
                   { return m_servers.editServer(originalName, entered); }))
        return;
    m_pServerBar->refill(definition.getName());
    updateActions();
}

void CMainFrame::onRemove()
{
    const CServerDefinition* selected = m_pServerBar->selectedServer();
    if (!isEnabled(AdminCommand::Remove) || selected == nullptr)
        return;
    const std::u16string name = selected->getName();
    if (!AskQuestion(this, QString::fromStdString(CServerList::RemoveQuestion(name))))
        return;
    m_servers.removeServer(name);
    m_pServerBar->refill();
    updateActions();
}

void CMainFrame::onClearLog()
{
    if (!isEnabled(AdminCommand::ClearLog))
        return;
    ClearServerLog(m_connection, *this);
    afterCommand();
}

void CMainFrame::onViewLog()
{
    if (!isEnabled(AdminCommand::ViewLog))
        return;
    LogDownload download;
    {
        const CWaitCursor wait;
        download = DownloadServerLog(m_connection, QDir::tempPath().toStdString());
    }
    if (download.path.empty())
        ShowError(this, QString::fromStdString(download.error));
    else
    {
        const QString path = QString::fromStdString(download.path);
        // Without a program for the file type the log opens in a window of our own.
        if (!m_fileOpener(path) && CLogWindow::Open(path, this) == nullptr)
            ShowError(this, tr("Could not open file %1.").arg(path));
    }
    afterCommand();
}

void CMainFrame::onProperties()
{
    if (!isEnabled(AdminCommand::Properties))
        return;
    CServerPropertiesDlg dialog(m_connection, m_settings, m_servers, this);
    dialog.exec();
    afterCommand();
}

void CMainFrame::onRefresh()
{
    if (!isEnabled(AdminCommand::Refresh))
        return;
    bool refreshed = false;
    {
        const CWaitCursor wait;
        refreshed = m_connection.refreshSessions() == 1;
    }
    if (refreshed)
    {
        m_sessions.fillFromReplies(m_connection.getReplies());
        m_pSessionBar->redraw();
    }
    else
    {
        m_pSessionBar->clearView();
        repaint();
        resetToDisconnected();
        ShowError(this, tr("Server connection lost."));
    }
    updateActions();
}

void CMainFrame::onTerminate()
{
    const std::vector<int> rows = m_pSessionBar->selectedRows();
    if (TerminateSessions(m_connection, m_sessions, rows, *this))
        m_pSessionBar->redraw();
    m_pSessionBar->view()->setFocus();
    afterCommand();
}

void CMainFrame::onAbout()
{
    CAboutDlg dialog(this);
    dialog.exec();
}

void CMainFrame::onExit()
{
    close();
}

void CMainFrame::pollStatistics()
{
    const std::vector<int> rows = m_pSessionBar->selectedRows();
    if (rows.size() != 1 || rows.front() >= m_sessions.getCount())
    {
        m_pStatisticsBar->clearStatistics();
        m_history.clear();
        return;
    }
    m_statisticsTimer.stop();
    const StatisticsPollResult result = PollSessionStatistics(m_connection, m_sessions, rows);
    switch (result.action)
    {
    case StatisticsPollResult::Disconnected:
        resetToDisconnected();
        updateActions();
        ShowError(this, QString::fromStdString(result.message));
        break;
    case StatisticsPollResult::RowRemoved:
        m_pSessionBar->redraw();
        m_pStatisticsBar->clearStatistics();
        m_history.clear();
        ShowError(this, QString::fromStdString(result.message));
        break;
    case StatisticsPollResult::Updated:
        showStatisticsReply(rows.front(), result.statistics);
        break;
    case StatisticsPollResult::Clear:
    case StatisticsPollResult::Skip:
        break;
    }
    m_statisticsTimer.start();
    afterCommand();
}

void CMainFrame::checkServer()
{
    // A command (or its question or error box) that is under way has the connection
    // to itself and reports its own failure.
    if (!m_bShownConnected || !m_connection.isConnected() ||
        QApplication::activeModalWidget() != nullptr || m_connection.checkPeer())
        return;
    // As a Refresh that finds the connection gone.
    m_pSessionBar->clearView();
    resetToDisconnected();
    updateActions();
    ShowError(this, tr("Server connection lost."));
}

void CMainFrame::showStatisticsReply(int row, const SessionStatistics& statistics)
{
    m_pSessionBar->repaintRows();
    m_pStatisticsBar->showStatistics(statistics);
    m_history.addPoll(m_sessions.getSessionID(row), m_sessions.getConnectTime(row), statistics,
                      m_pClock->TickCount());
    m_pStatisticsBar->showHistory(m_history);
}

bool CMainFrame::ask(const std::string& question)
{
    return AskQuestion(this, QString::fromStdString(question));
}

void CMainFrame::showError(const std::string& text)
{
    ShowError(this, QString::fromStdString(text));
}
