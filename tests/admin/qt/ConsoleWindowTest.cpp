// The console window against the real server: connecting through the dialog, the
// rules of the commands, the session list, Terminate, Refresh, the properties and the
// statistics poll.
#include "ConsoleWindowFixture.h"

#include "admin/qt/ServerBar.h"
#include "admin/qt/ServerPropertiesDlg.h"
#include "admin/qt/SessionBar.h"
#include "admin/qt/StatisticsBar.h"
#include "platform/TextConversion.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTableWidget>
#include <QTest>

#include <algorithm>
#include <csignal>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

constexpr AdminCommand MENU_COMMANDS[] = {
    AdminCommand::Connect, AdminCommand::Disconnect, AdminCommand::Add,
    AdminCommand::Edit,    AdminCommand::Remove,     AdminCommand::ClearLog,
    AdminCommand::ViewLog, AdminCommand::Properties, AdminCommand::Refresh};

std::vector<std::u16string> Sorted(std::vector<std::u16string> ids, bool ascending)
{
    std::sort(ids.begin(), ids.end());
    if (!ascending)
        std::reverse(ids.begin(), ids.end());
    return ids;
}

// The enabled state of the Servers view's menu opened on `name` (or on empty space).
std::vector<std::pair<QString, bool>> ServerMenu(CServerBar& bar, const QString& name)
{
    QListWidget* list = bar.list();
    QPoint position(2, list->viewport()->height() - 2);
    for (int row = 0; row < list->count(); ++row)
        if (list->item(row)->text() == name)
            position = list->visualItemRect(list->item(row)).center();
    bar.openMenuAt(position, list->viewport()->mapToGlobal(position));
    QMenu* menu = name.isEmpty() ? bar.spaceMenu() : bar.itemMenu();
    std::vector<std::pair<QString, bool>> entries;
    for (QAction* action : menu->actions())
        if (!action->isSeparator())
            entries.emplace_back(action->text(), action->isEnabled());
    menu->hide();
    return entries;
}

TEST_F(ConsoleWindowTest, ConnectThroughTheDialogAndDisconnect)
{
    StartServer(2);
    EXPECT_EQ(Title(), "Ostrivel Tarvi*Qen Admin");
    // Nothing selected: Connect, Edit and Remove are off; only Add and the rest that
    // need no connection are on.
    for (const AdminCommand command : MENU_COMMANDS)
        EXPECT_EQ(Enabled(command), command == AdminCommand::Add) << static_cast<int>(command);
    ASSERT_TRUE(m_frame->serverBar()->selectServer(u"Local"));
    EXPECT_TRUE(Enabled(AdminCommand::Connect) && Enabled(AdminCommand::Edit) &&
                Enabled(AdminCommand::Remove));

    Connect();
    EXPECT_EQ(m_connectTitle, "Connecting to Local");
    ASSERT_TRUE(m_connection.isConnected()) << m_errors.join(", ").toStdString();
    EXPECT_EQ(Title(), QString("Ostrivel Tarvi*Qen Admin - Connected to Local (127.0.0.1:%1)")
                           .arg(m_server.AdminPort()));
    // The rows of the LIST, in the server's order, read from the list itself.
    const std::vector<std::u16string> ids = {Utf8ToUtf16(m_clients[0]->ClientId()),
                                             Utf8ToUtf16(m_clients[1]->ClientId())};
    EXPECT_EQ(SessionIds(), ids);
    QAbstractItemModel* model = m_frame->sessionBar()->view()->model();
    EXPECT_EQ(model->index(1, 1).data().toString().size(), 23); // connect time with ms
    EXPECT_EQ(model->headerData(3, Qt::Horizontal).toString(), "Time Last Seen");

    for (const AdminCommand command : MENU_COMMANDS)
    {
        const bool connectedCommand =
            command == AdminCommand::Disconnect || command == AdminCommand::ClearLog ||
            command == AdminCommand::ViewLog || command == AdminCommand::Properties ||
            command == AdminCommand::Refresh;
        EXPECT_EQ(Enabled(command), connectedCommand) << static_cast<int>(command);
    }
    // Another server's item: every entry greyed; the connected one's: its commands;
    // empty space: Add... also while connected.
    for (const auto& [text, enabled] : ServerMenu(*m_frame->serverBar(), "Other"))
        EXPECT_FALSE(enabled) << text.toStdString();
    const std::vector<std::pair<QString, bool>> local = {
        {"Connect", false},  {"Disconnect", true}, {"Edit...", false},  {"Remove", false},
        {"Clear Log", true}, {"View Log", true},   {"Properties", true}};
    EXPECT_EQ(ServerMenu(*m_frame->serverBar(), "Local"), local);
    const auto space = ServerMenu(*m_frame->serverBar(), QString());
    ASSERT_FALSE(space.empty());
    EXPECT_EQ(space.front(), std::make_pair(QString("Add..."), true));
    // Properties of the menu bar follows the connection, not the selection.
    m_frame->serverBar()->list()->clearSelection();
    EXPECT_TRUE(Enabled(AdminCommand::Properties));

    m_frame->commandAction(AdminCommand::Disconnect)->trigger();
    EXPECT_EQ(Title(), "Ostrivel Tarvi*Qen Admin");
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_TRUE(SessionIds().empty());
    EXPECT_EQ(m_sessions.getCount(), 0);
    ASSERT_TRUE(m_frame->serverBar()->selectServer(u"Local"));
    EXPECT_TRUE(Enabled(AdminCommand::Connect));
    EXPECT_TRUE(m_errors.isEmpty());
    // No LOGOUT is ever sent.
    EXPECT_EQ(m_server.Log().find("LOGOUT"), std::string::npos);
}

TEST_F(ConsoleWindowTest, SortingByAHeaderTwice)
{
    StartServer(3);
    Connect();
    ASSERT_EQ(m_sessions.getCount(), 3);
    const std::vector<std::u16string> listed = SessionIds();
    QHeaderView* header = m_frame->sessionBar()->view()->horizontalHeader();
    const auto click = [header](int column)
    {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 10, 5));
    };
    // The selected session, its statistics and graph history survive sorts and F5.
    SelectRows({1});
    m_frame->pollStatistics();
    ASSERT_FALSE(m_frame->history().empty());
    const size_t points = m_frame->history().linkQuality().size();
    const std::u16string selected = listed[1];
    const auto selectedId = [this]
    {
        const std::vector<int> rows = m_frame->sessionBar()->selectedRows();
        return rows.size() == 1 ? m_sessions.getSessionID(rows[0]) : u"(none)";
    };
    click(0);
    EXPECT_EQ(header->model()->headerData(0, Qt::Horizontal).toString(), u"Session ID \u2191");
    EXPECT_EQ(SessionIds(), Sorted(listed, true));
    EXPECT_EQ(selectedId(), selected);
    click(0);
    EXPECT_EQ(header->model()->headerData(0, Qt::Horizontal).toString(), u"Session ID \u2193");
    EXPECT_EQ(SessionIds(), Sorted(listed, false));
    click(2);
    EXPECT_EQ(header->model()->headerData(0, Qt::Horizontal).toString(), "Session ID");
    EXPECT_EQ(header->model()->headerData(2, Qt::Horizontal).toString(),
              u"Time of Last Activity \u2191");
    // A double-click sorts twice: each of its clicks sorts.
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, {},
                       QPoint(header->sectionViewportPosition(2) + 10, 5));
    EXPECT_EQ(header->model()->headerData(2, Qt::Horizontal).toString(),
              u"Time of Last Activity \u2191");
    click(0);
    click(0);
    const std::vector<std::u16string> descending = SessionIds();
    EXPECT_EQ(descending, Sorted(listed, false));
    // A refresh keeps the sort, its arrow and the selection.
    PressF5();
    EXPECT_EQ(SessionIds(), descending);
    EXPECT_EQ(header->model()->headerData(0, Qt::Horizontal).toString(), u"Session ID \u2193");
    EXPECT_EQ(selectedId(), selected);
    m_frame->pollStatistics();
    EXPECT_FALSE(m_frame->statisticsBar()->value(5).isEmpty());
    EXPECT_GT(m_frame->history().linkQuality().size(), points) << "the history went on";
    EXPECT_TRUE(m_errors.isEmpty());
}

TEST_F(ConsoleWindowTest, TerminateOneAndThreeSessions)
{
    StartServer(4);
    Connect();
    ASSERT_EQ(m_sessions.getCount(), 4);
    const std::vector<std::u16string> ids = SessionIds();

    // The Delete key asks as Terminate does; answered No: nothing is sent.
    SelectRows({1});
    CSessionBar* bar = m_frame->sessionBar();
    m_answers = {false};
    QTest::keyClick(bar->view(), Qt::Key_Delete);
    EXPECT_EQ(m_questions.size(), 1);
    m_questions.clear();

    // One row, from the view's menu opened with the keyboard: only the per-session
    // question.
    QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(0, 0), QPoint(0, 0));
    QApplication::sendEvent(bar->view(), &key);
    ASSERT_TRUE(bar->contextMenu()->isVisible());
    const QRect row = bar->view()->visualRect(bar->view()->model()->index(1, 0));
    EXPECT_EQ(bar->contextMenu()->pos(),
              bar->view()->viewport()->mapToGlobal(row.topLeft() + QPoint(5, 5)));
    bar->terminateAction()->trigger();
    bar->contextMenu()->hide();
    EXPECT_EQ(m_questions, QStringList{QString("Are you sure you want to terminate the session %1?")
                                           .arg(QString::fromStdU16String(ids[1]))});
    EXPECT_EQ(SessionIds(), (std::vector<std::u16string>{ids[0], ids[2], ids[3]}));
    EXPECT_TRUE(m_server.WaitForLog("Admin command TERMINATE issued for session " +
                                    Utf16ToUtf8(ids[1]) + "."));

    // Three rows, from the Sessions menu: only the collective question, three
    // TERMINATEs, no LIST.
    m_questions.clear();
    SelectRows({0, 1, 2});
    ASSERT_TRUE(Enabled(AdminCommand::Terminate));
    m_frame->commandAction(AdminCommand::Terminate)->trigger();
    EXPECT_EQ(m_questions,
              QStringList{"Are you sure you want to terminate the selected sessions?"});
    EXPECT_TRUE(SessionIds().empty());
    for (const std::u16string& id : {ids[0], ids[2], ids[3]})
        EXPECT_TRUE(m_server.WaitForLog("Admin command TERMINATE issued for session " +
                                        Utf16ToUtf8(id) + "."));
    EXPECT_EQ(CountOf(m_server.Log(), "Admin command LIST issued."), 1);
    EXPECT_TRUE(m_errors.isEmpty());

    EXPECT_FALSE(Enabled(AdminCommand::Terminate)) << "no session selected";

    // Answered No: nothing is sent.
    PressF5();
    SelectRows({0});
    m_answers = {false};
    bar->terminateAction()->trigger();
    EXPECT_EQ(CountOf(m_server.Log(), "Admin command TERMINATE"), 4);
}

TEST_F(ConsoleWindowTest, TerminateFailingOnTheSecondOfThreeRowsLeavesAllThree)
{
    StartServer(3);
    Connect();
    ASSERT_EQ(m_sessions.getCount(), 3);
    const std::vector<std::u16string> ids = SessionIds();
    // The second session ends on its own after the list was read.
    TunnelTestClient& second = ClientOfRow(1);
    ASSERT_TRUE(second.SendNumbered(PACKET_CLOSE, {}));
    ASSERT_TRUE(m_server.WaitForLog("[" + second.ClientId() + "] Client session ended."));

    SelectRows({0, 1, 2});
    m_frame->sessionBar()->terminateAction()->trigger();
    EXPECT_EQ(m_errors,
              QStringList{
                  QString("Error: No session with ID %1.").arg(QString::fromStdU16String(ids[1]))});
    EXPECT_EQ(SessionIds(), ids);
    EXPECT_EQ(CountOf(m_server.Log(), "Admin command TERMINATE issued for session"), 1);
    EXPECT_TRUE(m_connection.isConnected());
}

TEST_F(ConsoleWindowTest, PropertiesSendOnlyTheChangedValues)
{
    StartServer();
    Connect();
    ASSERT_TRUE(m_connection.isConnected());
    const uint16_t newAdminPort = FreeTcpPort();

    // The dialog works on the connected server, whichever is selected.
    ASSERT_TRUE(m_frame->serverBar()->selectServer(u"Other"));
    // First values the dialog refuses, then the new port and Debug.
    WhenModal<CServerPropertiesDlg>(
        [this, newAdminPort](CServerPropertiesDlg* dialog)
        {
            dialog->clientPortEdit()->clear();
            dialog->applyButton()->click();
            EXPECT_EQ(m_errors, QStringList{"Please enter an integer."});
            dialog->clientPortEdit()->setText(QString::number(m_server.ClientPort()));
            m_errors.clear();
            EXPECT_EQ(dialog->windowTitle(), "Properties");
            EXPECT_EQ(dialog->applyButton()->text(), "&Apply");
            EXPECT_EQ(dialog->logLevelList()->currentText(), "Info");
            EXPECT_EQ(dialog->adminPortEdit()->text().toInt(), m_server.AdminPort());
            dialog->adminPortEdit()->setText("65535");
            dialog->applyButton()->click();
            EXPECT_EQ(m_errors, QStringList{"Invalid admin port number."});
            EXPECT_TRUE(dialog->isVisible());
            dialog->adminPortEdit()->setText(QString::number(newAdminPort));
            dialog->logLevelList()->setCurrentIndex(2);
            dialog->applyButton()->click();
        });
    m_frame->commandAction(AdminCommand::Properties)->trigger();
    EXPECT_EQ(m_errors.size(), 1);
    const std::string log = m_server.Log();
    EXPECT_NE(
        log.find("Admin command SET (AdminPort=" + std::to_string(newAdminPort) + ") succeeded."),
        std::string::npos);
    EXPECT_NE(log.find("Admin command SET (LogLevel=3) succeeded."), std::string::npos);
    EXPECT_EQ(CountOf(log, "Admin command SET"), 2);
    EXPECT_EQ(m_settings.adminPort, newAdminPort);
    // The admin port change is stored in the definition of the connected server.
    CServerList stored;
    ASSERT_EQ(stored.load(), 1);
    ASSERT_NE(stored.findByName(u"Local"), nullptr);
    EXPECT_EQ(stored.findByName(u"Local")->getPort(), newAdminPort);
    EXPECT_EQ(stored.findByName(u"Other")->getPort(), 1);

    // Apply without a change sends nothing and closes; Cancel sends nothing either.
    WhenModal<CServerPropertiesDlg>([](CServerPropertiesDlg* dialog)
                                    { dialog->applyButton()->click(); });
    m_frame->commandAction(AdminCommand::Properties)->trigger();
    WhenModal<CServerPropertiesDlg>(
        [](CServerPropertiesDlg* dialog)
        {
            dialog->clientPortEdit()->setText("9");
            dialog->reject();
        });
    m_frame->commandAction(AdminCommand::Properties)->trigger();
    EXPECT_EQ(CountOf(m_server.Log(), "Admin command SET"), 2);
}

TEST_F(ConsoleWindowTest, StatisticsPollFillsTheRowsAndDropsAVanishedSession)
{
    StartServer(2);
    Connect();
    ASSERT_EQ(m_sessions.getCount(), 2);
    EXPECT_TRUE(m_frame->statisticsTimer().isActive());
    EXPECT_EQ(m_frame->statisticsTimer().interval(), 2000);
    CStatisticsBar* statistics = m_frame->statisticsBar();
    QTableWidget* table = statistics->table();
    ASSERT_EQ(table->rowCount(), 12);
    EXPECT_EQ(table->item(0, 0)->text(), "Timeouts");
    EXPECT_EQ(table->item(4, 0)->text(), "Out of Synch Packets");
    EXPECT_EQ(table->item(11, 0)->text(), "Data Received (bytes)");
    EXPECT_EQ(table->horizontalHeaderItem(1)->text(), "Value");

    // The ticks are called directly: no test waits for the 2 s timer. While a SHOW
    // waits for its reply, the timer is stopped: the server is held for a moment, so
    // that the reply cannot be there at once.
    SelectRows({0});
    std::vector<bool> timerWhileWaiting;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout,
                     [&]
                     {
                         if (m_connection.isBusy())
                             timerWhileWaiting.push_back(m_frame->statisticsTimer().isActive());
                     });
    watch.start(1);
    m_server.Process().Signal(SIGSTOP);
    QTimer::singleShot(250, [this] { m_server.Process().Signal(SIGCONT); });
    m_frame->pollStatistics();
    watch.stop();
    ASSERT_FALSE(timerWhileWaiting.empty());
    EXPECT_EQ(std::count(timerWhileWaiting.begin(), timerWhileWaiting.end(), true), 0);
    for (int row = 0; row < 12; ++row)
    {
        bool number = false;
        statistics->value(row).toInt(&number);
        EXPECT_TRUE(number) << row << ": " << statistics->value(row).toStdString();
    }
    EXPECT_FALSE(m_frame->history().linkQuality().empty());
    EXPECT_TRUE(m_frame->statisticsTimer().isActive());

    // Two rows selected: the view is cleared.
    SelectRows({0, 1});
    m_frame->pollStatistics();
    EXPECT_TRUE(statistics->value(0).isEmpty());
    EXPECT_TRUE(m_frame->history().empty());

    // The selected session ends: the next poll removes its row and says so once.
    SelectRows({1});
    TunnelTestClient& vanishing = ClientOfRow(1);
    const std::u16string remaining = m_sessions.getSessionID(0);
    ASSERT_TRUE(vanishing.SendNumbered(PACKET_CLOSE, {}));
    ASSERT_TRUE(m_server.WaitForLog("[" + vanishing.ClientId() + "] Client session ended."));
    m_frame->pollStatistics();
    EXPECT_EQ(m_errors, QStringList{QString::fromStdString("Error: No session with ID " +
                                                           vanishing.ClientId() + ".")});
    EXPECT_EQ(SessionIds(), std::vector<std::u16string>{remaining});
    EXPECT_TRUE(statistics->value(0).isEmpty());
    m_frame->pollStatistics();
    EXPECT_EQ(m_errors.size(), 1);
    EXPECT_TRUE(m_connection.isConnected());
}

TEST_F(ConsoleWindowTest, RefreshAfterTheServerStopped)
{
    StartServer(1);
    Connect();
    ASSERT_TRUE(m_connection.isConnected());
    SelectRows({0});
    m_frame->pollStatistics();
    ASSERT_FALSE(m_frame->statisticsBar()->value(5).isEmpty());
    EXPECT_EQ(m_server.Stop(), 0);
    PressF5();
    EXPECT_EQ(m_errors, QStringList{"Server connection lost."});
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_EQ(Title(), "Ostrivel Tarvi*Qen Admin");
    EXPECT_TRUE(SessionIds().empty());
    EXPECT_TRUE(m_frame->statisticsBar()->value(5).isEmpty());
    EXPECT_TRUE(Enabled(AdminCommand::Connect));
    EXPECT_FALSE(Enabled(AdminCommand::Refresh));
}

TEST_F(ConsoleWindowTest, AStoppedServerIsNoticedWithoutACommand)
{
    StartServer(1);
    Connect();
    ASSERT_TRUE(m_connection.isConnected());
    EXPECT_EQ(m_server.Stop(), 0); // no session selected: nothing is being sent
    EXPECT_TRUE(WaitUntilQt([this] { return !m_errors.isEmpty(); }));
    EXPECT_EQ(m_errors, QStringList{"Server connection lost."});
    EXPECT_EQ(Title(), "Ostrivel Tarvi*Qen Admin");
    EXPECT_TRUE(SessionIds().empty());
    EXPECT_TRUE(Enabled(AdminCommand::Connect));
    Spin(1200);
    EXPECT_EQ(m_errors.size(), 1) << "told once";
}

TEST_F(ConsoleWindowTest, ACommandThatLosesTheConnectionLeavesTheConsoleDisconnected)
{
    StartServer(1);
    Connect();
    ASSERT_TRUE(m_connection.isConnected());
    EXPECT_EQ(m_server.Stop(), 0);
    m_answers = {true};
    m_frame->commandAction(AdminCommand::ClearLog)->trigger();
    EXPECT_EQ(m_questions, QStringList{"Are you sure you want to clear the server's log?"});
    EXPECT_EQ(m_errors, QStringList{"Clear log command failed."});
    EXPECT_EQ(Title(), "Ostrivel Tarvi*Qen Admin");
    EXPECT_TRUE(SessionIds().empty());
    EXPECT_TRUE(Enabled(AdminCommand::Connect));
}

TEST_F(ConsoleWindowTest, ConnectOptionNamesAServer)
{
    StartServer(1);
    EXPECT_FALSE(m_frame->connectToServer("Nowhere"));
    EXPECT_EQ(m_errors, QStringList{"There is no server named Nowhere."});
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_TRUE(m_frame->connectToServer("Local"));
    EXPECT_TRUE(m_connection.isConnected());
    EXPECT_EQ(m_frame->serverBar()->selectedServer()->getName(), u"Local");
    EXPECT_EQ(m_sessions.getCount(), 1);
}

} // namespace
