// The main window's command sequences against a scripted server: the questions asked,
// the exact command lines, what each reply leads to.
#include "AdminTestSupport.h"

#include "admin/ConsoleCommands.h"
#include "tunnel/AdminProtocol.h"
#include "admin/SessionList.h"
#include "platform/SocketLayer.h"
#include "platform/TextConversion.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

class RecordingPrompts : public IConsolePrompts
{
  public:
    bool ask(const std::string& question) override
    {
        questions.push_back(question);
        return answer;
    }
    void showError(const std::string& text) override { errors.push_back(text); }
    bool answer = true;
    std::vector<std::string> questions;
    std::vector<std::string> errors;
};

class ConsoleCommandsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_connection.setWaitHook(&m_waits);
        m_server.AnswerConnect(DefaultSettingsReplies()).Start();
        m_connection.setServer(CServerDefinition(u"Fake", u"127.0.0.1", m_server.Port(), u"5318"));
        m_connection.start();
        StepUntilDone(m_connection);
        ASSERT_EQ(m_connection.getState(), CServerConnection::Connected);
        ASSERT_TRUE(m_server.WaitDone());
        m_nConnectLines = m_server.Lines().size();
        // Every command line is answered at the first wait with the next raw reply.
        m_waits.onWait = [this](int)
        {
            if (m_server.ReadLineNow(0ms) != "<none>" && m_nAnswer < m_answers.size())
                m_server.SendNow(m_answers[m_nAnswer++]);
        };
        for (const char* id : {"10.0.0.1:1", "10.0.0.2:2", "10.0.0.3:3", "10.0.0.4:4"})
            m_sessions.addSession(Utf8ToUtf16(id), u"c", u"a", u"s");
    }

    std::vector<std::string> Sent()
    {
        const auto lines = m_server.Lines();
        return {lines.begin() + static_cast<std::ptrdiff_t>(m_nConnectLines), lines.end()};
    }

    std::vector<std::u16string> Ids()
    {
        std::vector<std::u16string> ids;
        for (int i = 0; i < m_sessions.getCount(); ++i)
            ids.push_back(m_sessions.getSessionID(i));
        return ids;
    }

    FakeAdminServer m_server;
    ServerSettingValues m_cache;
    CServerConnection m_connection{CSystemSocketLayer::Instance(), m_cache};
    CSessionList m_sessions;
    CountingWait m_waits;
    RecordingPrompts m_prompts;
    std::vector<std::string> m_answers;
    size_t m_nAnswer = 0;
    size_t m_nConnectLines = 0;
};

TEST_F(ConsoleCommandsTest, TerminateOneSessionAsksForIt)
{
    m_answers = {"{OK}"};
    const std::vector<int> rows = {2};
    EXPECT_TRUE(TerminateSessions(m_connection, m_sessions, rows, m_prompts));
    EXPECT_EQ(
        m_prompts.questions,
        std::vector<std::string>{"Are you sure you want to terminate the session 10.0.0.3:3?"});
    EXPECT_EQ(Sent(), std::vector<std::string>{"TERMINATE 10.0.0.3:3"});
    EXPECT_EQ(Ids(), (std::vector<std::u16string>{u"10.0.0.1:1", u"10.0.0.2:2", u"10.0.0.4:4"}));

    m_prompts.answer = false;
    const std::vector<int> first = {0};
    EXPECT_FALSE(TerminateSessions(m_connection, m_sessions, first, m_prompts));
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(m_sessions.getCount(), 3);
}

// A listed ID with a CR in it: the text after it is not sent as a command of its own.
TEST_F(ConsoleCommandsTest, TerminateSendsAnIdOnlyUpToACarriageReturn)
{
    m_answers = {"{OK}", "{OK}"};
    m_sessions.addSession(u"10.0.0.5:5\rSHUTDOWN 5318", u"c", u"a", u"s");
    const std::vector<int> rows = {4};
    EXPECT_TRUE(TerminateSessions(m_connection, m_sessions, rows, m_prompts));
    EXPECT_EQ(Sent(), std::vector<std::string>{"TERMINATE 10.0.0.5:5"});
    EXPECT_EQ(m_server.ReadLineNow(200ms), "<none>"); // nothing after it
}

TEST_F(ConsoleCommandsTest, TerminateThreeAsksOnceAndRemovesFromTheBottom)
{
    m_answers = {"{OK}", "{OK}", "{OK}"};
    const std::vector<int> rows = {0, 1, 3};
    EXPECT_TRUE(TerminateSessions(m_connection, m_sessions, rows, m_prompts));
    EXPECT_EQ(
        m_prompts.questions,
        std::vector<std::string>{"Are you sure you want to terminate the selected sessions?"});
    EXPECT_EQ(Sent(), (std::vector<std::string>{"TERMINATE 10.0.0.1:1", "TERMINATE 10.0.0.2:2",
                                                "TERMINATE 10.0.0.4:4"}));
    EXPECT_EQ(Ids(), std::vector<std::u16string>{u"10.0.0.3:3"});
    EXPECT_TRUE(m_prompts.errors.empty());
}

TEST_F(ConsoleCommandsTest, TerminateStopsAtTheFirstFailure)
{
    // An error text for the second of three: shown, the third is not sent, all rows stay.
    m_answers = {"{OK}", "{Error: No session with ID 10.0.0.2:2.}"};
    const std::vector<int> rows = {0, 1, 2};
    EXPECT_FALSE(TerminateSessions(m_connection, m_sessions, rows, m_prompts));
    EXPECT_EQ(Sent().size(), 2u);
    EXPECT_EQ(m_prompts.errors, std::vector<std::string>{"Error: No session with ID 10.0.0.2:2."});
    EXPECT_EQ(m_sessions.getCount(), 4);

    // No reply at all.
    m_prompts.errors.clear();
    const std::vector<int> last = {3};
    EXPECT_FALSE(TerminateSessions(m_connection, m_sessions, last, m_prompts));
    EXPECT_EQ(m_prompts.errors, std::vector<std::string>{"Terminate session failed."});
    EXPECT_EQ(m_sessions.getCount(), 4);
    EXPECT_TRUE(m_connection.isConnected());

    m_prompts.answer = false;
    EXPECT_FALSE(TerminateSessions(m_connection, m_sessions, rows, m_prompts));
    EXPECT_EQ(Sent().size(), 3u);
}

TEST_F(ConsoleCommandsTest, ClearLog)
{
    m_prompts.answer = false;
    ClearServerLog(m_connection, m_prompts);
    EXPECT_EQ(m_prompts.questions,
              std::vector<std::string>{"Are you sure you want to clear the server's log?"});
    EXPECT_TRUE(Sent().empty());

    m_prompts.answer = true;
    m_answers = {"{OK}", "{Unable to clear log.}"};
    ClearServerLog(m_connection, m_prompts);
    EXPECT_TRUE(m_prompts.errors.empty());
    ClearServerLog(m_connection, m_prompts);
    ClearServerLog(m_connection, m_prompts);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"CLEARLOG", "CLEARLOG", "CLEARLOG"}));
    EXPECT_EQ(m_prompts.errors,
              (std::vector<std::string>{"Unable to clear log.", "Clear log command failed."}));
}

TEST_F(ConsoleCommandsTest, ViewLogDownloadsIntoANewTemporaryFile)
{
    TempDir folder;
    m_answers = {std::string("line one\r\nline two\r\n") + '\0'};
    const LogDownload download = DownloadServerLog(m_connection, folder.Path());
    ASSERT_TRUE(download.error.empty()) << download.error;
    const std::string name = std::filesystem::path(download.path).filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex("TQ1[0-9A-F]{4}\\.tmp"))) << name;
    EXPECT_EQ(ReadFile(download.path), "line one\r\nline two\r\n");
    EXPECT_EQ(Sent(), std::vector<std::string>{"VIEWLOG"});

    // A stream that never ends: the partial file goes, the connection stays usable.
    m_answers = {"half a log"};
    const LogDownload failed = DownloadServerLog(m_connection, folder.Path());
    EXPECT_EQ(failed.error, "View log command failed.");
    EXPECT_TRUE(failed.path.empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1);

    // A folder that takes no file: nothing is sent.
    const LogDownload nowhere = DownloadServerLog(m_connection, folder.File("missing"));
    EXPECT_EQ(nowhere.error,
              "Could not create a temporary file in " + folder.File("missing") + ".");
    EXPECT_EQ(Sent().size(), 2u);
}

TEST(ConsoleTextsTest, TitlesAndAbout)
{
    EXPECT_EQ(ConnectedTitle(CServerDefinition(u"Depot", u"10.0.0.5", 7001, u"")),
              "Ostrivel Tarvi*Qen Admin - Connected to Depot (10.0.0.5:7001)");
    EXPECT_EQ(AboutTitle(), "About Ostrivel Tarvi*Qen Admin");
    EXPECT_EQ(AboutLine(), "Ostrivel Tarvi*Qen Admin v1.0.9");
}

} // namespace
