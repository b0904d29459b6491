#pragma once
// A console window over its own server list, connection and session list, against a
// real TarviQenServer on loopback. Questions are answered and error boxes recorded
// through the replaceable message box functions; modal dialogs are handled by
// callbacks that run once they are open.
#include "admin/ServerConnection.h"
#include "admin/ServerList.h"
#include "tunnel/AdminProtocol.h"
#include "admin/SessionList.h"
#include "admin/qt/MainFrm.h"
#include "platform/ScopedEnv.h"
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"
#include "support/TunnelTestClient.h"

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace tq_test
{

// Runs `action` with the dialog of type T once it is the active modal window (polled
// every 10 ms, given up after 10 s).
template <class T> void WhenModal(std::function<void(T*)> action)
{
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, tries, action]
                     {
                         if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget()))
                         {
                             timer->deleteLater();
                             timer->stop();
                             action(dialog);
                         }
                         else if (++*tries > 1000)
                         {
                             timer->deleteLater();
                             timer->stop();
                             ADD_FAILURE() << "No modal " << T::staticMetaObject.className();
                         }
                     });
    timer->start(10);
}

// Processes events until `condition` holds (true) or 10 s passed (false).
bool WaitUntilQt(const std::function<bool()>& condition);

// Lets queued events (paints, deferred deletions, timers due) run for a moment.
void Spin(int milliseconds = 20);

class ConsoleWindowTest : public ::testing::Test
{
protected:
    ConsoleWindowTest();
    void SetUp() override;
    void TearDown() override;

    // Starts the server and `sessions` tunnel clients with a session each, relaying to
    // an echo host.
    void StartServer(int sessions = 0);
    // Selects the server in the Servers view and runs Connect through its dialog.
    void Connect(const std::u16string& name = u"Local");
    bool Enabled(AdminCommand command) const;
    // The Refresh key, with the window active again (the offscreen platform leaves no
    // window active after a dialog closed).
    void PressF5();
    QString Title() const { return m_frame->windowTitle(); }
    std::vector<std::u16string> SessionIds() const;
    // Selects these rows of the Sessions view.
    void SelectRows(const std::vector<int>& rows);
    // The client whose session is listed in `row`.
    TunnelTestClient& ClientOfRow(int row);

    TempDir m_dir;
    ScopedEnv m_registry{"TARVIQEN_REGISTRY", m_dir.Path().c_str()};
    ServerProcess m_server{ServerOptions{2, 0, 10000, "5318"}};
    TcpEchoHost m_host;
    std::vector<std::unique_ptr<TunnelTestClient>> m_clients;
    CServerList m_servers;
    ServerSettingValues m_settings;
    CServerConnection m_connection;
    CSessionList m_sessions;
    std::unique_ptr<CMainFrame> m_frame;
    // Answers of the next questions (Yes when none is left), and what was asked/shown.
    std::deque<bool> m_answers;
    QStringList m_questions;
    QStringList m_errors;
    QString m_connectTitle;
};

} // namespace tq_test
