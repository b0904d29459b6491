// The logic of the properties dialog and of the statistics poll, against a scripted
// server: the exact commands, their order, and what the window is told to do.
#include "AdminTestSupport.h"

#include "admin/ServerList.h"
#include "admin/ServerProperties.h"
#include "tunnel/AdminProtocol.h"
#include "admin/SessionList.h"
#include "admin/StatisticsPoll.h"
#include "platform/ScopedEnv.h"
#include "platform/SocketLayer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

class ScriptedConsoleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_connection.setWaitHook(&m_waits);
        m_servers.add(std::make_unique<CServerDefinition>(u"Other", u"o", 1, u"x"));
        m_servers.add(
            std::make_unique<CServerDefinition>(u"Fake", u"127.0.0.1", m_server.Port(), u"5318"));
        m_server.AnswerConnect(DefaultSettingsReplies()).Start();
        m_connection.setServer(*m_servers.findByName(u"Fake"));
        m_connection.start();
        StepUntilDone(m_connection);
        ASSERT_EQ(m_connection.getState(), CServerConnection::Connected);
        ASSERT_TRUE(m_server.WaitDone());
        m_nConnectLines = m_server.Lines().size();
        // Every command is answered at the first wait with the next of m_answers.
        m_waits.onWait = [this](int)
        {
            const std::string line = m_server.ReadLineNow(0ms);
            if (line == "<none>")
                return;
            if (m_nAnswer < m_answers.size())
                m_server.SendNow("{" + m_answers[m_nAnswer++] + "}");
        };
    }

    std::vector<std::string> Sent()
    {
        const auto lines = m_server.Lines();
        return {lines.begin() + static_cast<std::ptrdiff_t>(m_nConnectLines), lines.end()};
    }

    TempDir m_dir;
    ScopedEnv m_env{"TARVIQEN_REGISTRY", m_dir.Path().c_str()};
    FakeAdminServer m_server;
    ServerSettingValues m_cache;
    CServerConnection m_connection{CSystemSocketLayer::Instance(), m_cache};
    CServerList m_servers;
    CountingWait m_waits;
    std::vector<std::string> m_answers;
    size_t m_nAnswer = 0;
    size_t m_nConnectLines = 0;
};

using PropertiesTest = ScriptedConsoleTest;

TEST_F(PropertiesTest, FieldsShowTheCache)
{
    const ServerPropertyFields fields = FieldsFromSettings(m_cache);
    EXPECT_EQ(fields.adminPort, u"7000");
    EXPECT_EQ(fields.adminPassword, u"5318");
    EXPECT_EQ(fields.clientPort, u"7000");
    EXPECT_EQ(fields.clientIdleDisconnect, u"0");
    EXPECT_EQ(fields.logFile, u"/var/log/tarviqen.txt");
    EXPECT_EQ(fields.logLevelIndex, 1);
    EXPECT_EQ(fields.maxLogLines, u"10000");
}

TEST_F(PropertiesTest, OnlyChangedSettingsAreSent)
{
    const ServerPropertyFields unchanged = FieldsFromSettings(m_cache);
    ServerPropertiesResult result =
        ApplyServerProperties(m_connection, m_cache, m_servers, unchanged);
    EXPECT_TRUE(result.close);
    EXPECT_FALSE(result.error);
    EXPECT_TRUE(Sent().empty());

    ServerPropertyFields debug = unchanged;
    debug.logLevelIndex = 2;
    m_answers = {"OK"};
    result = ApplyServerProperties(m_connection, m_cache, m_servers, debug);
    EXPECT_TRUE(result.close);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"SET LogLevel=3"}));
    EXPECT_EQ(m_cache.logLevel, 3);
}

TEST_F(PropertiesTest, FieldChecksSendNothing)
{
    ServerPropertyFields fields = FieldsFromSettings(m_cache);
    const auto apply = [&](const ServerPropertyFields& f)
    { return ApplyServerProperties(m_connection, m_cache, m_servers, f).error.value_or("none"); };
    fields.adminPort = u"65535";
    fields.clientPort = u"0";
    EXPECT_EQ(apply(fields), "Invalid admin port number.");
    fields.adminPort = u"7001";
    EXPECT_EQ(apply(fields), "Invalid client port number.");
    fields.clientPort = u"7x";
    EXPECT_EQ(apply(fields), "Please enter an integer.");
    fields.clientPort = u"7000";
    fields.maxLogLines = u"-1";
    EXPECT_EQ(apply(fields), "Please enter a positive integer.");
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(m_cache.adminPort, 7000);
}

TEST_F(PropertiesTest, AllSettingsInOrderUntilTheFirstFailure)
{
    ServerPropertyFields fields;
    fields.adminPort = u"7005";
    fields.adminPassword = u"new=pass\"word";
    fields.clientPort = u"7006";
    fields.clientIdleDisconnect = u"-30";
    fields.logFile = u"/tmp/x.log";
    fields.logLevelIndex = 0;
    fields.maxLogLines = u"4294967295";
    m_answers = {"OK", "OK", "OK", "OK", "Set option failed."};
    const ServerPropertiesResult result =
        ApplyServerProperties(m_connection, m_cache, m_servers, fields);
    EXPECT_FALSE(result.close);
    EXPECT_EQ(result.error, "Set log file failed.");
    EXPECT_EQ(Sent(), (std::vector<std::string>{
                          "SET AdminPort=7005", "SET AdminPassword=\"new=pass\"\"word\"",
                          "SET ClientPort=7006", "SET ClientIdleDisconnect=-30",
                          "SET LogFile=/tmp/x.log"}));
    // The failed setting shows its cached value again, the others stay as typed.
    ServerPropertyFields shown = fields;
    shown.logFile = u"/var/log/tarviqen.txt";
    EXPECT_EQ(result.fields, shown);
    // Accepted settings stay changed in the cache and in the connected server's stored
    // definition (not in the other server's).
    EXPECT_EQ(m_cache.adminPort, 7005);
    EXPECT_EQ(m_cache.adminPassword, "new=pass\"word");
    EXPECT_EQ(m_cache.clientIdleDisconnect, -30);
    EXPECT_EQ(m_cache.logLevel, 2);
    auto reloaded = std::make_unique<CServerList>();
    reloaded->load();
    ASSERT_EQ(reloaded->getCount(), 2);
    EXPECT_EQ(*reloaded->findByName(u"Fake"),
              CServerDefinition(u"Fake", u"127.0.0.1", 7005, u"new=pass\"word"));
    EXPECT_EQ(*reloaded->findByName(u"Other"), CServerDefinition(u"Other", u"o", 1, u"x"));

    // Apply again: what was accepted is not sent again.
    m_answers = {"OK", "OK", "OK"};
    m_nAnswer = 0;
    const size_t before = Sent().size();
    EXPECT_TRUE(ApplyServerProperties(m_connection, m_cache, m_servers, fields).close);
    const auto sent = Sent();
    EXPECT_EQ(
        std::vector<std::string>(sent.begin() + static_cast<std::ptrdiff_t>(before), sent.end()),
        (std::vector<std::string>{"SET LogFile=/tmp/x.log", "SET LogLevel=1",
                                  "SET MaxLogLines=-1"}));
    EXPECT_EQ(m_cache.maxLogLines, -1);
}

TEST_F(PropertiesTest, UnsendableValuesFailWithoutBeingSent)
{
    ServerPropertyFields fields = FieldsFromSettings(m_cache);
    fields.adminPassword = std::u16string(127, u'\u00e9'); // 254 bytes: the server takes < 128
    EXPECT_EQ(ApplyServerProperties(m_connection, m_cache, m_servers, fields).error,
              "Set admin password failed.");
    fields = FieldsFromSettings(m_cache);
    fields.logFile = std::u16string(259, u'\u20ac'); // would overflow the command buffer
    EXPECT_EQ(ApplyServerProperties(m_connection, m_cache, m_servers, fields).error,
              "Set log file failed.");
    EXPECT_TRUE(Sent().empty());
}

TEST_F(PropertiesTest, ALostConnectionIsTheFirstSettingsFailure)
{
    ServerPropertyFields fields = FieldsFromSettings(m_cache);
    fields.clientPort = u"7100";
    fields.logFile = u"/tmp/y.log";
    m_server.CloseNow();
    EXPECT_EQ(ApplyServerProperties(m_connection, m_cache, m_servers, fields).error,
              "Set client port failed.");
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_EQ(m_cache.clientPort, 7000);
}

using StatisticsPollTest = ScriptedConsoleTest;

TEST(SplitStatisticsTest, TwelveValuesAndTheLinkQuality)
{
    SessionStatistics s = SplitStatistics(u"0,1,2,3,4,5,6,7,8,9,10,11,12,13,14");
    EXPECT_EQ(s.values[0], u"0");
    EXPECT_EQ(s.values[11], u"11");
    EXPECT_EQ(s.linkQuality, u"12");
    s = SplitStatistics(u"5,6");
    EXPECT_EQ(s.values[1], u"6");
    EXPECT_EQ(s.values[2], u"");
    EXPECT_EQ(s.linkQuality, u"");
    EXPECT_EQ(STATISTICS_ITEMS[4], u"Out of Synch Packets");
}

TEST_F(StatisticsPollTest, EachKindOfReply)
{
    CSessionList sessions;
    sessions.addSession(u"10.0.0.1:1", u"c1", u"a1", u"s1");
    sessions.addSession(u"10.0.0.2:2", u"c2", u"a2", u"s2");
    const std::vector<int> none;
    const std::vector<int> both = {0, 1};
    const std::vector<int> second = {1};
    EXPECT_EQ(PollSessionStatistics(m_connection, sessions, none).action,
              StatisticsPollResult::Clear);
    EXPECT_EQ(PollSessionStatistics(m_connection, sessions, both).action,
              StatisticsPollResult::Clear);
    EXPECT_TRUE(Sent().empty());

    // Fewer fields than fifteen: the missing values stay empty.
    m_answers = {"2024-03-05 14:07:09.042,2024-03-05 14:07:12,2024-03-05 14:07:40,1,2,3"};
    StatisticsPollResult result = PollSessionStatistics(m_connection, sessions, second);
    EXPECT_EQ(result.action, StatisticsPollResult::Updated);
    EXPECT_EQ(Sent().back(), "SHOW 10.0.0.2:2");
    EXPECT_EQ(sessions.getConnectTime(1), u"2024-03-05 14:07:09.042");
    EXPECT_EQ(sessions.getTimeLastSeen(1), u"2024-03-05 14:07:40");
    EXPECT_EQ(sessions.getConnectTime(0), u"c1");
    EXPECT_EQ(result.statistics.values[2], u"3");
    EXPECT_EQ(result.statistics.values[3], u"");

    m_answers.push_back("Error: No session with ID 10.0.0.2:2.");
    result = PollSessionStatistics(m_connection, sessions, second);
    EXPECT_EQ(result.action, StatisticsPollResult::RowRemoved);
    EXPECT_EQ(result.message, "Error: No session with ID 10.0.0.2:2.");
    ASSERT_EQ(sessions.getCount(), 1);
    EXPECT_EQ(sessions.getSessionID(0), u"10.0.0.1:1");

    // No reply in time: the console disconnects.
    const std::vector<int> first = {0};
    result = PollSessionStatistics(m_connection, sessions, first);
    EXPECT_EQ(result.action, StatisticsPollResult::Disconnected);
    EXPECT_EQ(result.message, "Show session failed.");
    EXPECT_FALSE(m_connection.isConnected());
    EXPECT_EQ(m_connection.getServer(), nullptr);
    EXPECT_EQ(sessions.getCount(), 0);
}

// Found by fuzzing: a session ID with a CR in it (only a broken server lists one)
// went out whole, and its rest reached the server as a command of its own.
TEST_F(StatisticsPollTest, ACarriageReturnInASessionIdEndsTheCommand)
{
    CSessionList sessions;
    sessions.addSession(u"10.0.0.1:1\rSHUTDOWN 5318", u"c", u"a", u"s");
    const std::vector<int> selected = {0};
    m_answers = {"t1,t2,t3,1"};
    EXPECT_EQ(PollSessionStatistics(m_connection, sessions, selected).action,
              StatisticsPollResult::Updated);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"SHOW 10.0.0.1:1"}));
    EXPECT_EQ(sessions.getConnectTime(0), u"t1");
}

TEST_F(StatisticsPollTest, ATickDuringAnotherCommandsWaitLeavesTheConnectionAlone)
{
    CSessionList sessions;
    sessions.addSession(u"10.0.0.1:1", u"c", u"a", u"s");
    const std::vector<int> selected = {0};
    std::optional<StatisticsPollResult::Action> during;
    m_waits.onWait = [&](int)
    {
        if (!during)
            during = PollSessionStatistics(m_connection, sessions, selected).action;
        if (m_server.ReadLineNow(0ms) == "CLEARLOG")
            m_server.SendNow("{OK}");
    };
    ASSERT_EQ(m_connection.sendAndWait("CLEARLOG"), 1);
    EXPECT_EQ(during, StatisticsPollResult::Skip);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"CLEARLOG"}));
}

} // namespace
