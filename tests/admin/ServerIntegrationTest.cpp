// The console's core against the real TarviQenServer on loopback, driven as the
// window drives it: the connect dialog's ticks, then one command at a time.
#include "AdminTestSupport.h"

#include "admin/ServerList.h"
#include "admin/ServerProperties.h"
#include "tunnel/AdminProtocol.h"
#include "admin/SessionList.h"
#include "admin/StatisticsPoll.h"
#include "platform/ScopedEnv.h"
#include "platform/SocketLayer.h"
#include "platform/TextConversion.h"
#include "support/ServerProcess.h"
#include "support/TunnelTestClient.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

class ServerIntegrationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start());
        m_servers.add(std::make_unique<CServerDefinition>(u"Local", u"127.0.0.1",
                                                          m_server.AdminPort(), u"5318"));
    }

    // Runs the connect dialog for the named server.
    int Connect(const std::u16string& name = u"Local")
    {
        m_connection.setServer(*m_servers.findByName(name));
        m_connection.setStatusWnd(&m_status);
        m_connection.start();
        StepUntilDone(m_connection, 5000);
        return m_connection.getState();
    }

    TempDir m_dir;
    ScopedEnv m_env{"TARVIQEN_REGISTRY", m_dir.Path().c_str()};
    ServerProcess m_server{ServerOptions{3, 0, 10000, "5318"}};
    ServerSettingValues m_cache;
    CServerConnection m_connection{CSystemSocketLayer::Instance(), m_cache};
    CServerList m_servers;
    RecordingStatus m_status;
};

TEST_F(ServerIntegrationTest, ConnectReadsEverySetting)
{
    ASSERT_EQ(Connect(), CServerConnection::Connected) << m_status.Last();
    EXPECT_TRUE(m_connection.isConnected());
    EXPECT_EQ(m_status.texts.back(), "Retrieving client list...");
    EXPECT_EQ(m_cache.clientIdleDisconnect, 0);
    EXPECT_EQ(m_cache.adminPort, m_server.AdminPort());
    EXPECT_EQ(m_cache.adminPassword, "5318");
    EXPECT_EQ(m_cache.clientPort, m_server.ClientPort());
    EXPECT_EQ(m_cache.logFile, m_server.LogPath());
    EXPECT_EQ(m_cache.logLevel, 3);
    EXPECT_EQ(m_cache.maxLogLines, 10000);
    ASSERT_EQ(m_connection.getCount(), 1);
    EXPECT_EQ(m_connection.getReply(0), "0");
    const std::string log = m_server.Log();
    EXPECT_NE(log.find("Admin command LOGIN issued with correct password."), std::string::npos);
    EXPECT_NE(log.find("Admin command LIST issued."), std::string::npos);
}

TEST_F(ServerIntegrationTest, WrongPassword)
{
    m_servers.getAt(0)->setPassword(u"wrong");
    EXPECT_EQ(Connect(), CServerConnection::Failed);
    EXPECT_EQ(m_status.Last(), "Incorrect password.");
}

TEST_F(ServerIntegrationTest, SessionsListedShownAndTerminated)
{
    TunnelTestClient first(m_server.ClientPort());
    TunnelTestClient second(m_server.ClientPort());
    ASSERT_TRUE(first.Connect());
    ASSERT_TRUE(second.Connect());
    ASSERT_EQ(Connect(), CServerConnection::Connected) << m_status.Last();

    CSessionList sessions;
    sessions.fillFromReplies(m_connection.getReplies());
    ASSERT_EQ(sessions.getCount(), 2);
    EXPECT_EQ(Utf16ToUtf8(sessions.getSessionID(0)), first.ClientId());
    EXPECT_EQ(Utf16ToUtf8(sessions.getSessionID(1)), second.ClientId());
    EXPECT_EQ(sessions.getConnectTime(0).size(), 23u); // with milliseconds
    EXPECT_EQ(sessions.getTimeLastSeen(1).size(), 19u);

    const std::vector<int> firstRow = {0};
    StatisticsPollResult poll = PollSessionStatistics(m_connection, sessions, firstRow);
    ASSERT_EQ(poll.action, StatisticsPollResult::Updated) << poll.message;
    for (const std::u16string& value : poll.statistics.values)
        EXPECT_FALSE(value.empty());
    EXPECT_FALSE(poll.statistics.linkQuality.empty());

    ASSERT_EQ(m_connection.sendAndWait("TERMINATE", first.ClientId()), 1);
    EXPECT_EQ(m_connection.getReply(0), "OK");
    // The server drops the session once its Close is answered or given up on.
    const std::optional<TunnelPacket> close = first.WaitFor(PACKET_CLOSE, 5s);
    ASSERT_TRUE(close);
    first.SendAck(close->Number());
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            poll = PollSessionStatistics(m_connection, sessions, firstRow);
            return poll.action != StatisticsPollResult::Updated;
        },
        10s));
    EXPECT_EQ(poll.action, StatisticsPollResult::RowRemoved);
    EXPECT_EQ(poll.message, "Error: No session with ID " + first.ClientId() + ".");
    ASSERT_EQ(sessions.getCount(), 1);

    ASSERT_EQ(m_connection.refreshSessions(), 1);
    sessions.fillFromReplies(m_connection.getReplies());
    ASSERT_EQ(sessions.getCount(), 1);
    EXPECT_EQ(Utf16ToUtf8(sessions.getSessionID(0)), second.ClientId());
}

TEST_F(ServerIntegrationTest, PropertiesRoundTrip)
{
    ASSERT_EQ(Connect(), CServerConnection::Connected) << m_status.Last();
    ServerPropertyFields fields = FieldsFromSettings(m_cache);
    const uint16_t newAdminPort = FreeTcpPort();
    fields.adminPort = Utf8ToUtf16(std::to_string(newAdminPort));
    fields.adminPassword = u"new=secret \"x\"";
    fields.clientIdleDisconnect = u"45";
    fields.logLevelIndex = 1;
    fields.maxLogLines = u"5000";
    const ServerPropertiesResult result =
        ApplyServerProperties(m_connection, m_cache, m_servers, fields);
    ASSERT_TRUE(result.close) << result.error.value_or("");

    // GET gives back every value exactly as typed.
    const std::vector<std::pair<const char*, std::string>> expected = {
        {"AdminPort", std::to_string(newAdminPort)},
        {"AdminPassword", "new=secret \"x\""},
        {"ClientIdleDisconnect", "45"},
        {"LogLevel", "2"},
        {"MaxLogLines", "5000"}};
    for (const auto& [name, value] : expected)
    {
        ASSERT_EQ(m_connection.sendAndWait("GET", name), 1);
        EXPECT_EQ(m_connection.getReply(0), value) << name;
    }

    // A value the server refuses: the message names the setting.
    fields.logFile = u"";
    const ServerPropertiesResult refused =
        ApplyServerProperties(m_connection, m_cache, m_servers, fields);
    EXPECT_EQ(refused.error, "Set log file failed.");
    EXPECT_EQ(refused.fields.logFile, Utf8ToUtf16(m_server.LogPath()));

    // The stored definition has the new port and password: the next connect uses them.
    m_connection.disconnect();
    auto reloaded = std::make_unique<CServerList>();
    reloaded->load();
    ASSERT_EQ(reloaded->getCount(), 1);
    EXPECT_EQ(reloaded->getAt(0)->getPort(), newAdminPort);
    m_servers.removeByName(u"Local");
    m_servers.add(std::make_unique<CServerDefinition>(*reloaded->getAt(0)));
    EXPECT_EQ(Connect(), CServerConnection::Connected) << m_status.Last();
}

TEST_F(ServerIntegrationTest, ClearLogAndViewLog)
{
    ASSERT_EQ(Connect(), CServerConnection::Connected) << m_status.Last();
    ASSERT_EQ(m_connection.sendAndWait("CLEARLOG"), 1);
    EXPECT_EQ(m_connection.getReply(0), "OK");

    m_connection.sendCommand("VIEWLOG\r");
    const std::string path = m_dir.File("TQ1A2B3.tmp");
    {
        std::ofstream file(path, std::ios::binary);
        ASSERT_EQ(m_connection.receiveToFile(file), 1);
    }
    const std::string downloaded = ReadFile(path);
    EXPECT_EQ(downloaded, m_server.Log());
    EXPECT_NE(downloaded.find("Admin command CLEARLOG issued."), std::string::npos);
    EXPECT_NE(downloaded.find("Admin command VIEWLOG issued."), std::string::npos);
    // The connection is ready for the next command.
    ASSERT_EQ(m_connection.sendAndWait("GET", "LogLevel"), 1);
    EXPECT_EQ(m_connection.getReply(0), "3");
}

TEST_F(ServerIntegrationTest, TheServerGoingAway)
{
    ASSERT_EQ(Connect(), CServerConnection::Connected) << m_status.Last();
    m_connection.setStatusWnd(&m_status);
    EXPECT_EQ(m_server.Stop(), 0);
    EXPECT_EQ(m_connection.refreshSessions(), 0);
    EXPECT_EQ(m_status.Last(), "Network error.");
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_EQ(m_connection.getState(), CServerConnection::Failed);
}

} // namespace
