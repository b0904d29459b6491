// The console's dialogs, menus and pictures: the server dialog's checks and the Add,
// Edit and Remove commands, the connect dialog's Abort and Close, View Log, About, the
// menu bar's texts and prompts, the View menu and the icon.
#include "ConsoleWindowFixture.h"

#include "admin/qt/AboutDlg.h"
#include "admin/qt/AdminIcon.h"
#include "admin/qt/ConnectDlg.h"
#include "admin/qt/LockIndicators.h"
#include "admin/qt/LogWindow.h"
#include "admin/qt/PasswordEdit.h"
#include "admin/qt/ServerBar.h"
#include "admin/qt/ServerDlg.h"
#include "admin/qt/SessionBar.h"
#include "admin/qt/StatisticsBar.h"
#include "platform/ProgramPath.h"
#include "support/TestSupport.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDockWidget>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTableWidget>
#include <QTest>

#include <filesystem>
#include <regex>

#include <sys/socket.h>
#include <unistd.h>

using namespace tq_test;

namespace
{

void FillServerDialog(CServerDlg* dialog, const QString& name, const QString& address,
                      const QString& port, const QString& password)
{
    dialog->nameEdit()->setText(name);
    dialog->addressEdit()->setText(address);
    dialog->portEdit()->setText(port);
    dialog->passwordEdit()->setText(password);
}

TEST_F(ConsoleWindowTest, ServerDialogChecksItsFields)
{
    QStringList seen;
    WhenModal<CServerDlg>(
        [this, &seen](CServerDlg* dialog)
        {
            seen << dialog->windowTitle() << dialog->okButton()->text()
                 << dialog->findChild<QGroupBox*>()->title();
            EXPECT_EQ(dialog->portEdit()->text(), "7000");
            EXPECT_EQ(dialog->passwordEdit()->maxLength(), 127);
            // The password shows as dots until the eye is clicked.
            EXPECT_EQ(dialog->passwordEdit()->echoMode(), QLineEdit::Password);
            dialog->passwordEdit()->showAction()->trigger();
            EXPECT_EQ(dialog->passwordEdit()->echoMode(), QLineEdit::Normal);
            dialog->passwordEdit()->showAction()->trigger();
            EXPECT_EQ(dialog->passwordEdit()->echoMode(), QLineEdit::Password);
            // The port field takes digits only.
            dialog->portEdit()->clear();
            QTest::keyClicks(dialog->portEdit(), "7a0-01");
            EXPECT_EQ(dialog->portEdit()->text(), "7001");
            const std::vector<std::pair<std::array<QString, 3>, QString>> wrong = {
                {{"", "host", "7001"}, "Name can't be empty."},
                {{"Depot", "", "7001"}, "Address can't be empty."},
                {{"Depot", "host", "65535"}, "Invalid port number."},
                {{"Depot", "host", "0"}, "Invalid port number."},
                {{"Depot", "host", ""}, "Please enter an integer."}};
            for (const auto& [fields, error] : wrong)
            {
                m_errors.clear();
                FillServerDialog(dialog, fields[0], fields[1], fields[2], "pw");
                dialog->okButton()->click();
                EXPECT_EQ(m_errors, QStringList{error});
                EXPECT_TRUE(dialog->isVisible());
            }
            m_errors.clear();
            FillServerDialog(dialog, "Depot", "depot.example", "65534", "pw,\"x\"");
            dialog->okButton()->click();
        });
    ASSERT_TRUE(Enabled(AdminCommand::Add));
    m_frame->commandAction(AdminCommand::Add)->trigger();
    EXPECT_EQ(seen,
              (QStringList{"Add", "Add", "Enter the name and connection details of the server"}));
    EXPECT_TRUE(m_errors.isEmpty());
    // Listed after the others, selected, and stored.
    QListWidget* list = m_frame->serverBar()->list();
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(2)->text(), "Depot");
    ASSERT_NE(m_frame->serverBar()->selectedServer(), nullptr);
    EXPECT_EQ(m_frame->serverBar()->selectedServer()->getName(), u"Depot");
    CServerList stored;
    stored.load();
    ASSERT_NE(stored.findByName(u"Depot"), nullptr);
    EXPECT_EQ(*stored.findByName(u"Depot"),
              CServerDefinition(u"Depot", u"depot.example", 65534, u"pw,\"x\""));
}

TEST_F(ConsoleWindowTest, AddEditAndRemoveKeepNamesUnique)
{
    // Add with a name in use: the error, then the dialog again with the values entered.
    int opened = 0;
    std::function<void(CServerDlg*)> add = [&](CServerDlg* dialog)
    {
        if (++opened == 1)
        {
            FillServerDialog(dialog, "Other", "elsewhere", "7005", "");
            WhenModal<CServerDlg>(add);
            dialog->okButton()->click();
            return;
        }
        EXPECT_EQ(m_errors, QStringList{"There is already a server with that name."});
        EXPECT_EQ(dialog->addressEdit()->text(), "elsewhere");
        EXPECT_EQ(dialog->portEdit()->text(), "7005");
        dialog->reject();
    };
    WhenModal<CServerDlg>(add);
    m_frame->commandAction(AdminCommand::Add)->trigger();
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(m_servers.getCount(), 2);

    // Edit: "Apply", renaming onto another server refused, onto itself accepted.
    ASSERT_TRUE(m_frame->serverBar()->selectServer(u"Other"));
    m_errors.clear();
    opened = 0;
    std::function<void(CServerDlg*)> edit = [&](CServerDlg* dialog)
    {
        EXPECT_EQ(dialog->windowTitle(), "Edit");
        EXPECT_EQ(dialog->okButton()->text(), "Apply");
        if (++opened == 1)
        {
            dialog->nameEdit()->setText("Local");
            WhenModal<CServerDlg>(edit);
            dialog->okButton()->click();
            return;
        }
        EXPECT_EQ(m_errors, QStringList{"There is already a server with that name."});
        FillServerDialog(dialog, "Other", "10.1.1.1", "7100", "secret");
        dialog->okButton()->click();
    };
    WhenModal<CServerDlg>(edit);
    m_frame->commandAction(AdminCommand::Edit)->trigger();
    EXPECT_EQ(*m_servers.findByName(u"Other"),
              CServerDefinition(u"Other", u"10.1.1.1", 7100, u"secret"));

    // Remove asks first; No keeps it.
    m_answers = {false, true};
    ASSERT_TRUE(m_frame->serverBar()->selectServer(u"Other"));
    m_frame->commandAction(AdminCommand::Remove)->trigger();
    EXPECT_EQ(m_servers.getCount(), 2);
    m_frame->commandAction(AdminCommand::Remove)->trigger();
    EXPECT_EQ(m_questions, (QStringList{"Are you sure you want to remove Other?",
                                        "Are you sure you want to remove Other?"}));
    EXPECT_EQ(m_servers.getCount(), 1);
    EXPECT_EQ(m_frame->serverBar()->list()->count(), 1);
    EXPECT_EQ(m_frame->serverBar()->selectedServer(), nullptr);
    EXPECT_FALSE(Enabled(AdminCommand::Connect));
    CServerList stored;
    stored.load();
    EXPECT_EQ(stored.getCount(), 1);
}

TEST_F(ConsoleWindowTest, ConnectDialogAbortThenClose)
{
    // A server that accepts the connection but never answers the login.
    uint16_t port = 0;
    const int listener = BindLoopback(SOCK_STREAM, port);
    ASSERT_GE(listener, 0);
    listen(listener, 4);
    m_servers.add(std::make_unique<CServerDefinition>(u"Mute", u"127.0.0.1", port, u"pw"));
    m_frame->serverBar()->refill(u"Mute");
    QStringList statuses;
    WhenModal<CConnectDlg>(
        [&statuses](CConnectDlg* dialog)
        {
            EXPECT_EQ(dialog->windowTitle(), "Connecting to Mute");
            EXPECT_EQ(dialog->button()->text(), "Abort");
            EXPECT_EQ(dialog->progressBar()->maximum(), 300);
            ASSERT_TRUE(WaitUntilQt([dialog] { return dialog->statusText() == "Logging in..."; }));
            EXPECT_TRUE(dialog->noteText().isEmpty());
            // After 3 s without an answer the dialog says why it may wait.
            ASSERT_TRUE(WaitUntilQt([dialog] { return !dialog->noteText().isEmpty(); }));
            EXPECT_EQ(dialog->noteText(), CConnectProgress::LOGIN_NOTE);
            // Abort leaves the dialog open until the next tick ends the attempt.
            dialog->button()->click();
            EXPECT_TRUE(dialog->isVisible());
            ASSERT_TRUE(WaitUntilQt([dialog] { return dialog->button()->text() == "Close"; }));
            statuses << dialog->statusText();
            // The close box and Escape act as the button: now they close.
            QTest::keyClick(dialog, Qt::Key_Escape);
            EXPECT_FALSE(dialog->isVisible());
        });
    m_frame->commandAction(AdminCommand::Connect)->trigger();
    close(listener);
    EXPECT_EQ(statuses, QStringList{"Aborted."});
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_EQ(Title(), "Ostrivel Tarvi*Qen Admin");
    EXPECT_TRUE(Enabled(AdminCommand::Connect));

    // A refused port: the attempt fails by itself; the button then reads "Close".
    m_servers.add(std::make_unique<CServerDefinition>(u"Closed", u"127.0.0.1", FreeTcpPort(), u""));
    m_frame->serverBar()->refill(u"Closed");
    WhenModal<CConnectDlg>(
        [&statuses](CConnectDlg* dialog)
        {
            ASSERT_TRUE(WaitUntilQt([dialog] { return dialog->button()->text() == "Close"; }));
            statuses << dialog->statusText();
            dialog->button()->click();
        });
    m_frame->commandAction(AdminCommand::Connect)->trigger();
    ASSERT_EQ(statuses.size(), 2);
    EXPECT_TRUE(std::regex_match(statuses[1].toStdString(),
                                 std::regex("Network connect error 10061 \\(.+\\)\\.")))
        << statuses[1].toStdString();
}

TEST_F(ConsoleWindowTest, ViewLogOpensTheDownloadedFile)
{
    TempDir temporary;
    const ScopedEnv tmpdir("TMPDIR", temporary.Path().c_str());
    StartServer();
    Connect();
    ASSERT_TRUE(m_connection.isConnected());
    QStringList opened;
    m_frame->setFileOpener(
        [&opened](const QString& path)
        {
            opened << path;
            return true;
        });
    m_frame->commandAction(AdminCommand::ViewLog)->trigger();
    ASSERT_EQ(opened.size(), 1);
    const QString name = QFileInfo(opened[0]).fileName();
    EXPECT_TRUE(std::regex_match(name.toStdString(), std::regex("TQ1[0-9A-F]{4}\\.tmp")));
    EXPECT_EQ(QFileInfo(opened[0]).absolutePath(),
              QFileInfo(QString::fromStdString(temporary.Path())).absoluteFilePath());
    EXPECT_NE(ReadFile(opened[0].toStdString()).find("Admin command VIEWLOG issued."),
              std::string::npos);

    // Without a program for the file: the console's own read-only window.
    m_frame->setFileOpener([](const QString&) { return false; });
    m_frame->commandAction(AdminCommand::ViewLog)->trigger();
    auto* window = m_frame->findChild<CLogWindow*>();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_NE(window->text().indexOf("Admin command VIEWLOG issued."), -1);
    EXPECT_EQ(window->text().indexOf('\r'), -1);
    window->close();
    delete window;

    // The desktop's own opener, on a desktop that has no program for the file (its
    // xdg-mime names none): the console's window all the same.
    WriteFile(temporary.File("xdg-mime"), "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(temporary.File("xdg-mime"), std::filesystem::perms::owner_all);
    const std::string path = temporary.Path() + ":" + GetEnvironment("PATH").value_or("");
    const ScopedEnv fakePath("PATH", path.c_str());
    m_frame->setFileOpener({});
    m_frame->commandAction(AdminCommand::ViewLog)->trigger();
    window = m_frame->findChild<CLogWindow*>();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    window->close();
    m_frame->setFileOpener([](const QString&) { return false; });
    EXPECT_TRUE(m_errors.isEmpty());
    EXPECT_TRUE(m_connection.isConnected());
}

TEST_F(ConsoleWindowTest, MenusPromptsAndViews)
{
    QStringList menus;
    for (QAction* menu : m_frame->menuBar()->actions())
        menus << menu->text();
    EXPECT_EQ(menus, (QStringList{"&File", "&View", "&Servers", "S&essions", "&Help"}));
    const auto entries = [this](int index)
    {
        QStringList texts;
        for (QAction* action : m_frame->menuBar()->actions()[index]->menu()->actions())
            texts << (action->isSeparator() ? QString("-") : action->text());
        return texts;
    };
    EXPECT_EQ(entries(0), QStringList{"E&xit"});
    EXPECT_EQ(entries(1),
              (QStringList{"&Servers", "S&essions", "S&tatistics", "-", "&Status Bar"}));
    EXPECT_EQ(entries(2),
              (QStringList{"&Connect", "&Disconnect", "-", "&Add...", "&Edit...", "&Remove", "-",
                           "Clear &Log", "&View Log", "-", "&Properties"}));
    EXPECT_EQ(entries(3), (QStringList{"&Refresh", "&Terminate"}));
    EXPECT_EQ(entries(4), QStringList{"&About..."});
    EXPECT_EQ(m_frame->commandAction(AdminCommand::Refresh)->shortcut(), QKeySequence(Qt::Key_F5));
    EXPECT_EQ(m_frame->commandAction(AdminCommand::Connect)->statusTip(),
              "Connect to the currently selected server.");
    EXPECT_EQ(m_frame->commandAction(AdminCommand::Properties)->statusTip(),
              "Display the connected server's properties.");
    for (QAction* menu : m_frame->menuBar()->actions())
        for (QAction* action : menu->menu()->actions())
            EXPECT_TRUE(action->isSeparator() || !action->statusTip().isEmpty())
                << action->text().toStdString();

    // The three views: titles, docked on the left, and shown or hidden from the View menu.
    const QList<QDockWidget*> docks = m_frame->findChildren<QDockWidget*>();
    QStringList titles;
    for (QDockWidget* dock : docks)
    {
        titles << dock->windowTitle();
        EXPECT_EQ(m_frame->dockWidgetArea(dock), Qt::LeftDockWidgetArea);
        EXPECT_TRUE(dock->features().testFlag(QDockWidget::DockWidgetFloatable));
        EXPECT_TRUE(dock->features().testFlag(QDockWidget::DockWidgetClosable));
    }
    titles.sort();
    EXPECT_EQ(titles, (QStringList{"Servers", "Sessions", "Statistics"}));
    QAction* sessions = m_frame->sessionBar()->toggleViewAction();
    EXPECT_TRUE(sessions->isChecked());
    sessions->trigger();
    EXPECT_FALSE(m_frame->sessionBar()->isVisible());
    EXPECT_FALSE(sessions->isChecked());
    sessions->trigger();
    EXPECT_TRUE(m_frame->sessionBar()->isVisible());
    QAction* statusBar = m_frame->menuBar()->actions()[1]->menu()->actions().last();
    statusBar->trigger();
    EXPECT_FALSE(m_frame->statusBar()->isVisible());
    EXPECT_FALSE(statusBar->isChecked());
    statusBar->trigger();
    EXPECT_TRUE(m_frame->statusBar()->isVisible());
    // The session list's widths are the list's at least; the statistics list's exactly.
    EXPECT_GE(m_frame->sessionBar()->view()->columnWidth(0), 120);
    EXPECT_GE(m_frame->sessionBar()->view()->columnWidth(3), 130);
    EXPECT_EQ(m_frame->statisticsBar()->table()->columnWidth(0), 150);
    EXPECT_EQ(m_frame->statisticsBar()->table()->columnWidth(1), 200);
    // The Servers view's menu on empty space: Add... and the bar's icon sizes.
    CServerBar* servers = m_frame->serverBar();
    QStringList space;
    for (QAction* action : servers->spaceMenu()->actions())
        space << (action->isSeparator() ? QString("-") : action->text());
    EXPECT_EQ(space, (QStringList{"Add...", "-", "Large Icons", "Small Icons"}));
    for (QMenu* menu :
         {servers->spaceMenu(), servers->itemMenu(), m_frame->sessionBar()->contextMenu()})
        for (QAction* action : menu->actions())
            EXPECT_TRUE(action->isSeparator() || !action->statusTip().isEmpty())
                << action->text().toStdString();
    EXPECT_EQ(servers->itemMenu()->actions()[0]->statusTip(),
              "Connect to the currently selected server.");
    EXPECT_EQ(servers->list()->iconSize(), QSize(32, 32));
    servers->spaceMenu()->actions()[3]->trigger();
    EXPECT_EQ(servers->list()->iconSize(), QSize(16, 16));
    EXPECT_EQ(servers->list()->viewMode(), QListView::ListMode);
    // The offscreen platform reports no lock states: no indicator panes.
    EXPECT_FALSE(CLockIndicators(m_frame->statusBar()).available());
}

TEST_F(ConsoleWindowTest, SessionMenuOpensOnlyOnSelectedRowsAndAtTheMouse)
{
    StartServer(2);
    Connect();
    CSessionBar* bar = m_frame->sessionBar();
    QWidget* viewport = bar->view()->viewport();
    const QPoint at(30, 12);
    QContextMenuEvent none(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &none);
    EXPECT_FALSE(bar->contextMenu()->isVisible());
    SelectRows({0});
    QContextMenuEvent mouse(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &mouse);
    ASSERT_TRUE(bar->contextMenu()->isVisible());
    EXPECT_EQ(bar->contextMenu()->pos(), viewport->mapToGlobal(at));
    QStringList texts;
    for (QAction* action : bar->contextMenu()->actions())
        texts << action->text();
    EXPECT_EQ(texts, QStringList{"&Terminate"});
    bar->contextMenu()->hide();
    // Shift+F10 and the Menu key open the same menu; Tab leaves the view.
    for (const auto& [key, modifiers] : {std::pair{Qt::Key_F10, Qt::ShiftModifier},
                                         std::pair{Qt::Key_Menu, Qt::NoModifier}})
    {
        QTest::keyClick(bar->view(), key, modifiers);
        EXPECT_TRUE(bar->contextMenu()->isVisible()) << key;
        bar->contextMenu()->hide();
    }
    m_frame->activateWindow();
    bar->view()->setFocus();
    ASSERT_TRUE(WaitUntilQt([bar] { return bar->view()->hasFocus(); }));
    QTest::keyClick(bar->view(), Qt::Key_Tab);
    EXPECT_FALSE(bar->view()->hasFocus());
    EXPECT_EQ(bar->selectedRows(), std::vector<int>{0});
}

TEST_F(ConsoleWindowTest, AboutAndTheIcon)
{
    WhenModal<CAboutDlg>(
        [](CAboutDlg* dialog)
        {
            EXPECT_EQ(dialog->windowTitle(), "About Ostrivel Tarvi*Qen Admin");
            EXPECT_EQ(dialog->findChild<QLabel*>("aboutLine")->text(),
                      "Ostrivel Tarvi*Qen Admin v1.0.9");
            dialog->accept();
        });
    m_frame->commandAction(AdminCommand::About)->trigger();

    TempDir folder;
    for (const int size : {16, 48, 256})
    {
        const QString path = QString::fromStdString(folder.File(std::to_string(size) + ".png"));
        ASSERT_TRUE(ExportAdminIcon(size, path));
        const QImage image(path);
        EXPECT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel());
        // Transparent corners, an opaque middle.
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size / 2)), 255);
    }
    EXPECT_FALSE(ExportAdminIcon(32, QString::fromStdString(folder.File("missing/icon.png"))));
    EXPECT_FALSE(m_frame->windowIcon().isNull());
}

} // namespace

namespace
{

// The program itself: its usage, its status on an unknown option, the icon export.
TEST(TarviAdminProgramTest, CommandLine)
{
    TempDir dir;
    const std::string program = BinDir() + "/TarviAdmin";
    const auto run = [&](const std::vector<std::string>& arguments, ChildProcess& child)
    {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        // No display at all: the help and the export must not need one.
        EXPECT_TRUE(child.Start(argv,
                                {{"QT_QPA_PLATFORM", "offscreen"},
                                 {"DISPLAY", ""},
                                 {"WAYLAND_DISPLAY", ""},
                                 {"TARVIQEN_REGISTRY", dir.Path()}},
                                dir.Path()));
        int status = -1;
        EXPECT_TRUE(child.Wait(std::chrono::seconds(20), status));
        return status;
    };
    ChildProcess help;
    EXPECT_EQ(run({"--help"}, help), 0);
    EXPECT_NE(help.Stdout().find("Usage: TarviAdmin [--connect NAME]"), std::string::npos);
    ChildProcess unknown;
    EXPECT_EQ(run({"--colour"}, unknown), 1);
    EXPECT_NE(unknown.Stderr().find("Unknown option: --colour"), std::string::npos);
    EXPECT_NE(unknown.Stderr().find("Usage: TarviAdmin"), std::string::npos);
    ChildProcess missing;
    EXPECT_EQ(run({"--connect"}, missing), 1);
    ChildProcess icon;
    EXPECT_EQ(run({"--export-icon", "64", dir.File("icon.png")}, icon), 0);
    EXPECT_EQ(QImage(QString::fromStdString(dir.File("icon.png"))).size(), QSize(64, 64));
}

} // namespace
