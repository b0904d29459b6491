#include "ConsoleWindowFixture.h"

#include "admin/qt/AdminMessageBox.h"
#include "admin/qt/ConnectDlg.h"
#include "admin/qt/ServerBar.h"
#include "admin/qt/SessionBar.h"
#include "platform/SocketLayer.h"
#include "platform/TextConversion.h"

#include <QElapsedTimer>
#include <QItemSelectionModel>
#include <QTableView>
#include <QTest>

namespace tq_test
{

void Spin(int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    do
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    while (clock.elapsed() < milliseconds);
}

bool WaitUntilQt(const std::function<bool()>& condition)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition())
    {
        if (clock.elapsed() > 10000)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

ConsoleWindowTest::ConsoleWindowTest() : m_connection(CSystemSocketLayer::Instance(), m_settings) {}

void ConsoleWindowTest::SetUp()
{
    SetQuestionHandler(
        [this](QWidget*, const QString& text)
        {
            m_questions << text;
            if (m_answers.empty())
                return true;
            const bool answer = m_answers.front();
            m_answers.pop_front();
            return answer;
        });
    SetErrorHandler([this](QWidget*, const QString& text) { m_errors << text; });
    m_servers.add(
        std::make_unique<CServerDefinition>(u"Local", u"127.0.0.1", m_server.AdminPort(), u"5318"));
    m_servers.add(std::make_unique<CServerDefinition>(u"Other", u"127.0.0.1", 1, u""));
    m_frame = std::make_unique<CMainFrame>(m_servers, m_connection, m_sessions, m_settings);
    // Nothing opens a program of the desktop from a test.
    m_frame->setFileOpener([](const QString&) { return false; });
    m_frame->show();
    // Shortcuts (F5) reach only the active window.
    m_frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_frame.get()));
}

void ConsoleWindowTest::TearDown()
{
    m_frame.reset();
    Spin(0);
    SetQuestionHandler({});
    SetErrorHandler({});
}

void ConsoleWindowTest::StartServer(int sessions)
{
    ASSERT_TRUE(m_server.Start());
    for (int i = 0; i < sessions; ++i)
    {
        m_clients.push_back(std::make_unique<TunnelTestClient>(m_server.ClientPort()));
        ASSERT_TRUE(m_clients.back()->Connect());
        ASSERT_TRUE(m_clients.back()->Open("127.0.0.1", m_host.Port()));
    }
}

void ConsoleWindowTest::Connect(const std::u16string& name)
{
    ASSERT_TRUE(m_frame->serverBar()->selectServer(name));
    WhenModal<CConnectDlg>([this](CConnectDlg* dialog) { m_connectTitle = dialog->windowTitle(); });
    m_frame->commandAction(AdminCommand::Connect)->trigger();
}

void ConsoleWindowTest::PressF5()
{
    m_frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_frame.get()));
    QTest::keyClick(m_frame.get(), Qt::Key_F5);
}

bool ConsoleWindowTest::Enabled(AdminCommand command) const
{
    return m_frame->commandAction(command)->isEnabled();
}

std::vector<std::u16string> ConsoleWindowTest::SessionIds() const
{
    // What the view shows, read through its model.
    std::vector<std::u16string> ids;
    QAbstractItemModel* model = m_frame->sessionBar()->view()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        ids.push_back(model->index(row, 0).data().toString().toStdU16String());
    return ids;
}

void ConsoleWindowTest::SelectRows(const std::vector<int>& rows)
{
    QTableView* view = m_frame->sessionBar()->view();
    view->clearSelection();
    for (const int row : rows)
        view->selectionModel()->select(view->model()->index(row, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

TunnelTestClient& ConsoleWindowTest::ClientOfRow(int row)
{
    const std::string id = Utf16ToUtf8(m_sessions.getSessionID(row));
    for (const auto& client : m_clients)
        if (client->ClientId() == id)
            return *client;
    ADD_FAILURE() << "No client " << id;
    return *m_clients.front();
}

} // namespace tq_test
