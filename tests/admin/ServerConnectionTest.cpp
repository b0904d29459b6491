// The console's side of the admin protocol against a scripted server on loopback and,
// for the connect failures, against the fake socket layer.
#include "AdminTestSupport.h"

#include "admin/ConnectProgress.h"
#include "admin/ServerConnection.h"
#include "tunnel/AdminProtocol.h"
#include "platform/SocketLayer.h"
#include "support/FakeSocketLayer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

class ServerConnectionTest : public ::testing::Test
{
protected:
    void SetUp() override { m_connection.setWaitHook(&m_waits); }

    void Begin(const std::u16string& password = u"5318")
    {
        m_connection.setServer(CServerDefinition(u"Fake", u"127.0.0.1", m_server.Port(), password));
        m_connection.setStatusWnd(&m_status);
        m_connection.setProgress(&m_progress);
        m_connection.start();
    }

    // A complete connect through the script, which then has ended.
    void Connect(const std::string& list = "0")
    {
        m_server.AnswerConnect(DefaultSettingsReplies(), list).Start();
        Begin();
        StepUntilDone(m_connection);
        ASSERT_EQ(m_connection.getState(), CServerConnection::Connected) << m_status.Last();
        ASSERT_TRUE(m_server.WaitDone());
        m_waits.waits = 0;
    }

    // Answers the command `line` with `bytes` at the first wait for its reply.
    void AnswerAtFirstWait(const std::string& line, const std::string& bytes)
    {
        m_waits.onWait = [this, line, bytes](int)
        {
            if (m_server.ReadLineNow(0ms) == line)
                m_server.SendNow(bytes);
        };
    }

    FakeAdminServer m_server;
    ServerSettingValues m_settings;
    CServerConnection m_connection{CSystemSocketLayer::Instance(), m_settings};
    RecordingStatus m_status;
    RecordingProgress m_progress;
    CountingWait m_waits;
};

TEST_F(ServerConnectionTest, ConnectSendsLoginTheSevenGetsAndList)
{
    Connect("2,a:1;t1;t2;t3,b:2;u1;u2;u3");
    EXPECT_EQ(m_server.Lines(),
              (std::vector<std::string>{"LOGIN 5318", "GET ClientIdleDisconnect", "GET AdminPort",
                                        "GET AdminPassword", "GET ClientPort", "GET LogFile",
                                        "GET LogLevel", "GET MaxLogLines", "LIST"}));
    EXPECT_EQ(m_status.texts,
              (std::vector<std::string>{
                  "Resolving server address...", "Waiting for connect...", "Connected.",
                  "Logging in...", "Retrieving server settings...", "Retrieving client list..."}));
    EXPECT_TRUE(m_connection.isConnected());
    EXPECT_EQ(m_settings.clientIdleDisconnect, 0);
    EXPECT_EQ(m_settings.adminPort, 7000);
    EXPECT_EQ(m_settings.adminPassword, "5318");
    EXPECT_EQ(m_settings.clientPort, 7000);
    EXPECT_EQ(m_settings.logFile, "/var/log/tarviqen.txt");
    EXPECT_EQ(m_settings.logLevel, 2);
    EXPECT_EQ(m_settings.maxLogLines, 10000);
    EXPECT_EQ(m_connection.getReplies().size(), 3u);
    EXPECT_EQ(m_connection.getReply(2), "b:2;u1;u2;u3");
    // The bar runs 0..300 while connecting, then 0..count over the list's records.
    EXPECT_EQ(m_progress.ranges.front(), std::make_pair(0, 300));
    EXPECT_EQ(m_progress.ranges.back(), std::make_pair(0, 2));
    EXPECT_EQ(m_progress.positions.back(), 1);
    // The outputs are detached once connected: a later failure shows nothing.
    m_connection.fail("Network error.");
    EXPECT_EQ(m_status.Last(), "Retrieving client list...");
    EXPECT_EQ(m_connection.getServer(), nullptr);
    EXPECT_EQ(m_server.ReadLineNow(100ms), "<none>"); // closed without LOGOUT
}

TEST_F(ServerConnectionTest, RepliesArrivingByteByByte)
{
    const std::vector<std::string> values = {"30",          "7001", "pass word", "7002",
                                             "C:\\log.txt", "3",    "-1"};
    m_server.ReadLine().SendBytewise("{OK}", 1ms);
    for (const std::string& value : values)
        m_server.ReadLine().SendBytewise("{" + value + "}", 1ms);
    m_server.ReadLine().SendBytewise("{1,\"x;y\";b;c;d}", 1ms).Start();
    Begin();
    StepUntilDone(m_connection, 5000);
    ASSERT_EQ(m_connection.getState(), CServerConnection::Connected) << m_status.Last();
    EXPECT_EQ(m_settings.clientIdleDisconnect, 30);
    EXPECT_EQ(m_settings.adminPassword, "pass word");
    EXPECT_EQ(m_settings.clientPort, 7002);
    EXPECT_EQ(m_settings.logFile, "C:\\log.txt");
    EXPECT_EQ(m_settings.logLevel, 3);
    EXPECT_EQ(m_settings.maxLogLines, -1);
    ASSERT_EQ(m_connection.getCount(), 2);
    EXPECT_EQ(m_connection.getReply(1), "\"x;y\";b;c;d");
}

TEST_F(ServerConnectionTest, LoginTimesOutAfter300Ticks)
{
    m_server.Start(); // accepts, never answers
    Begin();
    while (m_connection.getState() != CServerConnection::LoginWait &&
           m_connection.getState() != CServerConnection::Failed)
    {
        m_connection.step();
    }
    for (int tick = 0; tick < 300; ++tick)
        m_connection.step();
    EXPECT_EQ(m_connection.getState(), CServerConnection::LoginWait);
    m_connection.step();
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
    EXPECT_EQ(m_status.Last(), "Login timed out.");
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_EQ(m_connection.getServer(), nullptr);
}

TEST_F(ServerConnectionTest, LoginRepliesOtherThanOkFail)
{
    // "OK " is not OK: the server's text stands on the status line.
    m_server.Answer("OK ").Start();
    Begin();
    StepUntilDone(m_connection);
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
    EXPECT_EQ(m_status.Last(), "OK ");
}

TEST_F(ServerConnectionTest, ServerClosingDuringLoginIsANetworkError)
{
    m_server.ReadLine().Close().Start();
    Begin();
    StepUntilDone(m_connection);
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
    EXPECT_EQ(m_status.Last(), "Network error.");
}

TEST_F(ServerConnectionTest, WrongSettingsFromTheServerRefuseTheConnection)
{
    std::vector<std::string> values = DefaultSettingsReplies();
    values[5] = "Invalid option."; // LogLevel reads as 0
    m_server.AnswerConnect(values).Start();
    Begin();
    StepUntilDone(m_connection);
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
    EXPECT_EQ(m_status.Last(), "Invalid server setting LogLevel.");
}

TEST_F(ServerConnectionTest, LongReplyIsCutAndCommasStayInOneElement)
{
    std::vector<std::string> values = DefaultSettingsReplies();
    values[4] = std::string(600, 'f');
    m_server.AnswerConnect(values).Answer("2024-03-05 14:07:09.042,a,b,1,2,3").Start();
    Begin();
    StepUntilDone(m_connection);
    ASSERT_EQ(m_connection.getState(), CServerConnection::Connected);
    EXPECT_EQ(m_settings.logFile, std::string(511, 'f'));
    ASSERT_EQ(m_connection.sendAndWait("SHOW", "127.0.0.1:5000"), 1);
    EXPECT_EQ(m_connection.getReply(0), "2024-03-05 14:07:09.042,a,b,1,2,3");
    EXPECT_EQ(m_server.Lines().back(), "SHOW 127.0.0.1:5000");
}

TEST_F(ServerConnectionTest, BytesAfterAReplyAreDiscardedByTheNextCommand)
{
    Connect();
    AnswerAtFirstWait("CLEARLOG", "{OK}{extra}");
    ASSERT_EQ(m_connection.sendAndWait("CLEARLOG"), 1);
    EXPECT_EQ(m_connection.getReply(0), "OK");
    // More bytes that arrive after the reply was read, still in the socket.
    m_server.SendNow("{more}");
    std::this_thread::sleep_for(20ms);
    AnswerAtFirstWait("GET LogLevel", "{3}");
    ASSERT_EQ(m_connection.sendAndWait("GET", "LogLevel"), 1);
    EXPECT_EQ(m_connection.getReply(0), "3");
}

TEST_F(ServerConnectionTest, ALateReplyIsNotTakenForTheNextCommand)
{
    Connect();
    EXPECT_EQ(m_connection.sendAndWait("GET", "AdminPort"), 0);
    EXPECT_EQ(m_waits.waits, 49); // 50 attempts, a wait between two
    EXPECT_TRUE(m_connection.isConnected());
    EXPECT_EQ(m_server.ReadLineNow(), "GET AdminPort");
    m_server.SendNow("{7000}"); // late, before the next command
    EXPECT_EQ(m_connection.sendAndWait("GET", "ClientPort"), 0);
    EXPECT_EQ(m_server.ReadLineNow(), "GET ClientPort");

    // The late reply of GET ClientPort comes after the next command was sent.
    AnswerAtFirstWait("GET LogLevel", "{7001}{2}");
    ASSERT_EQ(m_connection.sendAndWait("GET", "LogLevel"), 1);
    EXPECT_EQ(m_connection.getReply(0), "2");
}

TEST_F(ServerConnectionTest, SettingsFetchRunsAgainAfterAReplyTimedOut)
{
    Begin();
    m_connection.step();
    ASSERT_TRUE(m_server.AcceptNow());
    while (m_connection.getState() != CServerConnection::LoginWait)
        m_connection.step();
    EXPECT_EQ(m_server.ReadLineNow(), "LOGIN 5318");
    m_server.SendNow("{OK}");
    for (int tick = 0; tick < 1000 && m_connection.getState() == CServerConnection::LoginWait;
         ++tick)
    {
        m_connection.step();
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(m_connection.getState(), CServerConnection::SettingsGet) << m_status.Last();

    // First fetch: the first GET gets no answer in time.
    m_connection.step();
    EXPECT_EQ(m_connection.getState(), CServerConnection::SettingsGet);
    EXPECT_EQ(m_server.ReadLineNow(), "GET ClientIdleDisconnect");
    m_server.SendNow("{99}"); // arrives late
    // Second fetch: every GET is answered at the first wait.
    const std::vector<std::string> values = DefaultSettingsReplies();
    size_t next = 0;
    m_waits.onWait = [&](int)
    {
        m_connection.step(); // a timer tick that fires inside the wait is dropped
        if (m_server.ReadLineNow(0ms).starts_with("GET") && next < values.size())
            m_server.SendNow("{" + values[next++] + "}");
    };
    m_connection.step();
    EXPECT_EQ(m_connection.getState(), CServerConnection::ListSend);
    EXPECT_EQ(m_server.Lines().size(), 9u); // LOGIN, one GET, then the seven again
    EXPECT_EQ(m_settings.clientIdleDisconnect, 0);
    EXPECT_EQ(m_settings.adminPort, 7000);
    EXPECT_EQ(m_settings.maxLogLines, 10000);
}

TEST_F(ServerConnectionTest, AbortEndsAnAttemptAtTheNextTick)
{
    m_server.Start();
    Begin();
    m_connection.step();
    m_connection.abort();
    EXPECT_EQ(m_connection.getState(), CServerConnection::Aborting);
    m_connection.step();
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
    EXPECT_EQ(m_status.Last(), "Aborted.");
    // A new attempt can start at once.
    Begin();
    EXPECT_EQ(m_connection.getState(), CServerConnection::ConnectStart);
}

TEST_F(ServerConnectionTest, LogDownloadEndsAtTheZeroByte)
{
    Connect();
    m_connection.sendCommand("VIEWLOG\r");
    const std::string log = "line one\r\n{braces}, commas\r\n";
    m_server.SendNow(log + std::string(1, '\0') + "{after}");
    std::ostringstream file;
    EXPECT_EQ(m_connection.receiveToFile(file), 1);
    EXPECT_EQ(file.str(), log);
    EXPECT_EQ(m_server.ReadLineNow(), "VIEWLOG");
}

TEST_F(ServerConnectionTest, LogDownloadHasFiftyPollsWhateverArrives)
{
    Connect();
    m_connection.sendCommand("VIEWLOG\r");
    // A byte arrives at every poll, but the zero byte never comes.
    m_waits.onWait = [this](int) { m_server.SendNow("x"); };
    std::ostringstream file;
    EXPECT_EQ(m_connection.receiveToFile(file), 0);
    EXPECT_EQ(m_waits.waits, 50);
    EXPECT_EQ(file.str(), std::string(49, 'x'));
    // The rest of that stream is skipped when it comes; the next reply stands.
    m_server.SendNow(std::string("yy") + '\0');
    AnswerAtFirstWait("GET LogLevel", "{2}");
    ASSERT_EQ(m_connection.sendAndWait("GET", "LogLevel"), 1);
    EXPECT_EQ(m_connection.getReply(0), "2");
}

TEST_F(ServerConnectionTest, LogDownloadWithoutAnyAnswerLeavesTheNextCommandAlone)
{
    Connect();
    m_connection.sendCommand("VIEWLOG\r"); // a server that cannot open its log says nothing
    std::ostringstream file;
    EXPECT_EQ(m_connection.receiveToFile(file), 0);
    EXPECT_EQ(m_waits.waits, 50);
    EXPECT_EQ(m_server.ReadLineNow(), "VIEWLOG");
    for (const char* level : {"{2}", "{3}"})
    {
        AnswerAtFirstWait("GET LogLevel", level);
        ASSERT_EQ(m_connection.sendAndWait("GET", "LogLevel"), 1);
        EXPECT_EQ(m_connection.getReply(0), std::string(level).substr(1, 1));
    }
}

TEST_F(ServerConnectionTest, LogDownloadIntoAFileThatFailsIsAFailure)
{
    Connect();
    m_connection.sendCommand("VIEWLOG\r");
    m_server.SendNow(std::string("log") + '\0');
    std::ostringstream file;
    file.setstate(std::ios::badbit); // a full disk
    EXPECT_EQ(m_connection.receiveToFile(file), 0);
    EXPECT_TRUE(m_connection.isConnected());
}

TEST_F(ServerConnectionTest, RefreshWaitsFiftyIdlePollsBetweenElements)
{
    Connect();
    // One record every 40 polls: longer than 50 polls in all, never 50 idle in a row.
    const std::vector<std::string> chunks = {"{3,a;1;2;3", ",b;1;2;3", ",c;1;2;3}"};
    m_waits.onWait = [&](int wait)
    {
        if (wait % 40 == 0 && wait / 40 <= 3)
            m_server.SendNow(chunks[static_cast<size_t>(wait / 40 - 1)]);
    };
    EXPECT_EQ(m_connection.refreshSessions(), 1);
    EXPECT_EQ(m_waits.waits, 120);
    EXPECT_EQ(m_connection.getCount(), 4);
    EXPECT_EQ(m_server.ReadLineNow(), "LIST");

    m_waits.onWait = nullptr;
    m_waits.waits = 0;
    m_server.SendNow("{2,a;1;2;3"); // the second record never comes
    EXPECT_EQ(m_connection.refreshSessions(), 0);
    EXPECT_EQ(m_waits.waits, 50);
}

TEST_F(ServerConnectionTest, ServerGoingAwayDuringACommand)
{
    Connect();
    m_connection.setStatusWnd(&m_status);
    m_server.CloseNow();
    EXPECT_EQ(m_connection.sendAndWait("CLEARLOG"), 0);
    EXPECT_EQ(m_waits.waits, 0); // no waiting on a closed connection
    EXPECT_EQ(m_status.Last(), "Network error.");
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
    EXPECT_EQ(m_connection.getServer(), nullptr);
}

TEST_F(ServerConnectionTest, CheckingThePeerSendsNothingAndNoticesItsClose)
{
    Connect();
    m_connection.setStatusWnd(&m_status);
    m_server.SendNow("{stray}");
    EXPECT_TRUE(WaitUntil([this] { return m_connection.checkPeer(); }, 1s));
    EXPECT_EQ(m_server.ReadLineNow(50ms), "<none>");
    AnswerAtFirstWait("GET LogLevel", "{2}");
    ASSERT_EQ(m_connection.sendAndWait("GET", "LogLevel"), 1);
    EXPECT_EQ(m_connection.getReply(0), "2");
    m_server.CloseNow();
    EXPECT_TRUE(WaitUntil([this] { return !m_connection.checkPeer(); }, 5s));
    EXPECT_EQ(m_status.Last(), "Network error.");
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
}

TEST_F(ServerConnectionTest, ConnectDialogLogic)
{
    m_server.Start(); // never answers the login
    m_connection.setServer(CServerDefinition(u"Fake", u"127.0.0.1", m_server.Port(), u"pw"));
    CConnectProgress dialog(m_connection);
    EXPECT_EQ(dialog.title(), "Connecting to Fake");
    dialog.open(&m_status, &m_progress);
    EXPECT_EQ(m_status.Last(), "Resolving server address...");
    EXPECT_EQ(dialog.tick(), CConnectProgress::Running);
    EXPECT_EQ(dialog.buttonText(), std::string("Abort"));
    EXPECT_FALSE(dialog.cancel()); // aborts; the dialog stays open until the next tick
    EXPECT_EQ(dialog.tick(), CConnectProgress::Failed);
    EXPECT_EQ(m_status.Last(), "Aborted.");
    EXPECT_EQ(dialog.buttonText(), std::string("Close"));
    EXPECT_TRUE(dialog.cancel());
}

TEST_F(ServerConnectionTest, ConnectDialogExplainsALoginWithoutAnswer)
{
    m_server.Start(); // another console holds the server: LOGIN is never answered
    m_connection.setServer(CServerDefinition(u"Fake", u"127.0.0.1", m_server.Port(), u"pw"));
    CConnectProgress dialog(m_connection);
    dialog.open(&m_status, &m_progress);
    int loginTicks = 0;
    int noteAt = -1;
    for (int tick = 0; tick < 2000 && loginTicks < 100; ++tick)
    {
        ASSERT_EQ(dialog.tick(), CConnectProgress::Running);
        loginTicks += m_connection.getState() == CServerConnection::LoginWait ? 1 : 0;
        if (dialog.showLoginNote())
            noteAt = loginTicks;
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(noteAt, CConnectProgress::LOGIN_NOTE_TICKS);
    EXPECT_EQ(m_status.Last(), "Logging in...");
    // The bar follows the wait for the answer (the tick that sent LOGIN waited for none).
    EXPECT_EQ(m_progress.positions.back(), loginTicks - 1);
}

TEST_F(ServerConnectionTest, ConnectDialogSucceeds)
{
    m_server.AnswerConnect(DefaultSettingsReplies()).Start();
    m_connection.setServer(CServerDefinition(u"Fake", u"127.0.0.1", m_server.Port(), u"5318"));
    CConnectProgress dialog(m_connection);
    dialog.open(&m_status, &m_progress);
    CConnectProgress::Outcome outcome = CConnectProgress::Running;
    for (int tick = 0; tick < 2000 && outcome == CConnectProgress::Running; ++tick)
    {
        outcome = dialog.tick();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(outcome, CConnectProgress::Succeeded) << m_status.Last();
    EXPECT_TRUE(m_connection.isConnected());
}

TEST_F(ServerConnectionTest, ConnectRefusedOnLoopback)
{
    // Nothing listens there: Linux may refuse at once, which shows at the next tick.
    m_connection.setServer(CServerDefinition(u"None", u"127.0.0.1", FreeTcpPort(), u""));
    m_connection.setStatusWnd(&m_status);
    m_connection.start();
    StepUntilDone(m_connection);
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
    EXPECT_EQ(m_status.Last(), "Network connect error 10061 (WSAECONNREFUSED: Connection refused).");
}

// ---- Connect failures, on the fake socket layer ------------------------------------

class ConnectFailureTest : public ::testing::Test
{
protected:
    void Begin(const std::u16string& address, int port = 7000)
    {
        m_connection.setServer(CServerDefinition(u"S", address, port, u""));
        m_connection.setStatusWnd(&m_status);
        m_connection.start();
    }

    FakeSocketLayer m_sockets;
    ServerSettingValues m_settings;
    CServerConnection m_connection{m_sockets, m_settings};
    RecordingStatus m_status;
};

TEST_F(ConnectFailureTest, AddressSocketAndPort)
{
    Begin(u"no.such.host");
    m_connection.step();
    EXPECT_EQ(m_status.Last(), "Unable to resolve server address.");
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);

    m_sockets.m_bFailCreateTcp = true;
    Begin(u"10.0.0.1");
    m_connection.step();
    EXPECT_EQ(m_status.Last(), "Unable to create socket.");

    m_sockets.m_bFailCreateTcp = false;
    Begin(u"10.0.0.1", 70000);
    m_connection.step();
    EXPECT_EQ(m_status.Last(), "Invalid port number.");
}

TEST_F(ConnectFailureTest, ConnectTimesOutAfter300Ticks)
{
    Begin(u"10.0.0.1", 7001);
    m_connection.step();
    const SOCKET s = m_sockets.LastTcpSocket();
    EXPECT_EQ(m_sockets.Socket(s).connectAddress,
              MakeSocketAddress(AddressFromBytes(10, 0, 0, 1), 7001));
    EXPECT_TRUE(m_sockets.Socket(s).nonBlocking);
    m_sockets.Socket(s).connectState = 0;
    for (int tick = 0; tick < 300; ++tick)
        m_connection.step();
    EXPECT_EQ(m_connection.getState(), CServerConnection::ConnectWait);
    m_connection.step();
    EXPECT_EQ(m_status.Last(), "Connection timed out.");
    EXPECT_FALSE(m_sockets.IsOpen(s));
}

TEST_F(ConnectFailureTest, RefusedConnectNamesTheError)
{
    Begin(u"10.0.0.1");
    m_connection.step();
    auto& fake = m_sockets.Socket(m_sockets.LastTcpSocket());
    fake.connectState = -1;
    fake.connectError = WSAECONNREFUSED;
    m_connection.step();
    EXPECT_EQ(m_status.Last(),
              "Network connect error 10061 (WSAECONNREFUSED: Connection refused).");

    Begin(u"10.0.0.1");
    m_connection.step();
    auto& unreadable = m_sockets.Socket(m_sockets.LastTcpSocket());
    unreadable.connectState = -1;
    unreadable.connectError = 0;
    m_connection.step();
    EXPECT_EQ(m_status.Last(), "Network connect error.");
}

TEST_F(ConnectFailureTest, EmptyPasswordStillSendsTheBlank)
{
    Begin(u"10.0.0.1");
    m_connection.step();
    m_connection.step();
    m_connection.step();
    EXPECT_EQ(m_connection.getState(), CServerConnection::LoginWait);
    const auto& written = m_sockets.Socket(m_sockets.LastTcpSocket()).written;
    EXPECT_EQ(std::string(written.begin(), written.end()), "LOGIN \r");
}

} // namespace
