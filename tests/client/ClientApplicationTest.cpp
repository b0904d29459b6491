// The client program run in-process: start-up checks, the listener, the quit
// request, saving a moved indicator's position and the replacement of a running
// session by a newer connection.
#include "client/HeadlessIndicator.h"
#include "client/TarviQenClient.h"
#include "platform/MessageBox.h"
#include "platform/ScopedEnv.h"
#include "support/ClientSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{
const std::string CAPTION = "Ostrivel Tarvi*Qen Client: ";

size_t StatisticsFileCount(const std::string& folder)
{
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("Statistics "))
            ++count;
    return count;
}

class ClientApplicationTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        SetMessageBoxHandler(
            [this](std::string_view caption, std::string_view text)
            {
                std::lock_guard lock(m_mutex);
                m_boxes.push_back(std::string(caption) + ": " + std::string(text));
            });
    }
    void TearDown() override { SetMessageBoxHandler(nullptr); }

    void WriteSettings(const SettingList& list)
    {
        std::string text = "// client settings\r\n";
        for (const auto& [name, value] : list)
            text += name + "=" + value + "\r\n";
        WriteFile(m_dir.File("TarviQenClientSettings.txt"), text);
    }
    // Runs the whole program with a quit request already made.
    void RunAndQuit()
    {
        CClientApplication application(std::make_unique<CHeadlessIndicator>(),
                                       CSystemSocketLayer::Instance(), CSystemClock::Instance());
        application.RequestQuit();
        EXPECT_EQ(application.Run(), 0);
    }
    std::vector<std::string> Boxes()
    {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }
    std::string Log() const { return ReadFile(m_dir.File("client.log")); }

    TempDir m_dir;
    ScopedEnv m_folder{"TARVIQEN_FOLDER", m_dir.Path().c_str()};
    uint16_t m_listenPort = FreeTcpPort();
    SettingList m_settings = ClientSettings(m_dir.Path(), m_dir.Path(), m_listenPort,
                                            "127.0.0.1:" + std::to_string(FreeUdpPort()), 7);
    std::mutex m_mutex;
    std::vector<std::string> m_boxes;
};
} // namespace

TEST_F(ClientApplicationTest, StartupRefusesIncompleteOrInvalidSettings)
{
    struct Case
    {
        std::function<void(SettingList&)> change;
        std::string box;
        bool logged;
    };
    const std::string badLog = m_dir.File("no/such/folder/client.log");
    const std::vector<Case> cases = {
        {[](SettingList& s) { RemoveSetting(s, "IgnoreBindError"); },
         "Error, setting 'IgnoreBindError' is missing.", true},
        {[](SettingList& s) { SetSetting(s, "IgnoreBindError", ""); },
         "Error, setting 'IgnoreBindError' must not be empty.", true},
        {[](SettingList& s)
         {
             RemoveSetting(s, "IgnoreBindError");
             RemoveSetting(s, "ListenPort");
         },
         "Error, setting 'ListenPort' is missing.", true},
        {[](SettingList& s)
         {
             RemoveSetting(s, "LogFile");
             RemoveSetting(s, "ListenPort");
         },
         "Error, No log file name provided", false},
        {[&](SettingList& s) { SetSetting(s, "LogFile", badLog); },
         "Error, failed to open logfile " + badLog, false},
        {[](SettingList& s) { SetSetting(s, "LogLevel", "0"); }, "Error, invalid loglevel selected",
         false},
        {[](SettingList& s) { SetSetting(s, "LogLevel", "4"); }, "Error, invalid loglevel selected",
         false},
        {[](SettingList& s) { SetSetting(s, "HostPort", "none"); },
         "Error, setting 'HostPort' must not be 0.", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.box);
        std::filesystem::remove(m_dir.File("client.log"));
        m_boxes.clear();
        SettingList list = m_settings;
        c.change(list);
        WriteSettings(list);
        RunAndQuit();
        EXPECT_EQ(Boxes(), std::vector<std::string>{CAPTION + c.box});
        EXPECT_EQ(Log().find(c.box) != std::string::npos, c.logged);
        EXPECT_EQ(Log().find("started on port"), std::string::npos);
    }

    std::filesystem::remove(m_dir.File("TarviQenClientSettings.txt"));
    m_boxes.clear();
    RunAndQuit();
    EXPECT_EQ(Boxes(),
              std::vector<std::string>{
                  CAPTION + "Error, failed to open settings file 'TarviQenClientSettings.txt'"});
}

TEST_F(ClientApplicationTest, RunsUntilQuitAndEchoesTheLogToStandardError)
{
    SetSetting(m_settings, "UseOutputDebugString", "1");
    WriteSettings(m_settings);
    testing::internal::CaptureStderr();
    RunAndQuit();
    const std::string echoed = testing::internal::GetCapturedStderr();

    EXPECT_TRUE(Boxes().empty());
    const std::string log = Log();
    const std::string started = "Ostrivel Tarvi*Qen Client v1.0.9 (client) started on port " +
                                std::to_string(m_listenPort) + ".\r\n";
    EXPECT_NE(log.find(started), std::string::npos);
    EXPECT_LT(log.find(started), log.find("Shutdown initiated by user.\r\n"));
    EXPECT_LT(log.find("Shutdown initiated by user."),
              log.find("Ostrivel Tarvi*Qen Client v1.0.9 (client) stopped.\r\n"));
    EXPECT_NE(echoed.find(started), std::string::npos);
    EXPECT_EQ(StatisticsFileCount(m_dir.Path()), 0u);
}

TEST_F(ClientApplicationTest, RelativePathsLieInTheProgramFolder)
{
    // The test runs elsewhere than TARVIQEN_FOLDER, as a client started from a menu.
    ASSERT_NE(std::filesystem::current_path(), std::filesystem::path(m_dir.Path()));
    SetSetting(m_settings, "LogFile", "relative.log");
    SetSetting(m_settings, "StatisticsFolder", "stats");
    WriteSettings(m_settings);
    RunAndQuit();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_NE(ReadFile(m_dir.File("relative.log")).find("(client) started on port"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("relative.log"));
}

TEST_F(ClientApplicationTest, ListenerThatCannotOpenEndsTheProgram)
{
    uint16_t port = 0;
    const int blocker = BindLoopback(SOCK_STREAM, port);
    ASSERT_EQ(listen(blocker, 1), 0);
    SetSetting(m_settings, "ListenPort", std::to_string(port));
    // Bound on 127.0.0.1 only; the listener wants every address of the port.
    for (const char* ignore : {"0", "1"})
    {
        SCOPED_TRACE(ignore);
        m_boxes.clear();
        SetSetting(m_settings, "IgnoreBindError", ignore);
        WriteSettings(m_settings);
        RunAndQuit();
        if (std::string(ignore) == "0")
            EXPECT_EQ(Boxes(), std::vector<std::string>{CAPTION + "Error: listener.init() failed"});
        else
            EXPECT_TRUE(Boxes().empty());
    }
    close(blocker);
    const std::string log = Log();
    EXPECT_EQ(CountOf(log, "(client) stopped."), 2);
    EXPECT_EQ(CountOf(log, "Shutdown initiated by user."), 0);
}

TEST_F(ClientApplicationTest, NewConnectionReplacesTheRunningSession)
{
    // A proxy server that never answers keeps the sessions waiting for the ACK.
    uint16_t serverPort = 0;
    const int silentServer = BindLoopback(SOCK_DGRAM, serverPort);
    SetSetting(m_settings, "ProxyServer1", "127.0.0.1:" + std::to_string(serverPort));
    WriteSettings(m_settings);
    CClientApplication application(std::make_unique<CHeadlessIndicator>(),
                                   CSystemSocketLayer::Instance(), CSystemClock::Instance());
    std::jthread loop([&] { application.Run(); });
    // Ends the program on every way out of this test.
    const std::unique_ptr<CClientApplication, void (*)(CClientApplication*)> quit(
        &application, [](CClientApplication* app) { app->RequestQuit(); });

    int first = -1;
    EXPECT_TRUE(WaitUntil([&] { return (first = ConnectLoopback(m_listenPort)) >= 0; }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return StatisticsFileCount(m_dir.Path()) == 1; }, 5s));
    // A file is named after its session's start to the millisecond: two sessions
    // started within one millisecond share one file.
    std::this_thread::sleep_for(5ms);
    const int second = ConnectLoopback(m_listenPort);
    EXPECT_TRUE(WaitUntil([&] { return Log().find("Client aborted") != std::string::npos; }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return StatisticsFileCount(m_dir.Path()) == 2; }, 5s));
    char byte = 0;
    timeval limit{5, 0};
    setsockopt(first, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    EXPECT_EQ(recv(first, &byte, 1, 0), 0) << "the replaced session closes its application socket";

    application.RequestQuit();
    loop.join();
    close(first);
    close(second);
    close(silentServer);

    const std::string log = Log();
    const size_t aborted = log.find("Client aborted");
    EXPECT_LT(log.find("Client 127.0.0.1:"), aborted);
    EXPECT_LT(aborted, log.find("Client session ended.", aborted));
    EXPECT_NE(log.find("connected.", aborted), std::string::npos);
    EXPECT_EQ(CountOf(log, "Client session ended."), 2);
    EXPECT_LT(log.find("Shutdown initiated by user."), log.rfind("Client session ended."));
    EXPECT_TRUE(Boxes().empty());
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
    {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("Statistics "))
        {
            EXPECT_EQ(CountOf(ReadFile(entry.path().string()), "\r\n"), 23) << name;
        }
    }
}

namespace
{
// An indicator the user has just dragged to (321, -45); it ends the program at the
// end of the first loop pass.
class DraggedIndicator : public CHeadlessIndicator
{
  public:
    explicit DraggedIndicator(std::function<void()> quit) : m_quit(std::move(quit)) {}
    bool takeMovedFlag() override { return std::exchange(m_bMovedOnce, false); }
    int GetLeft() const override { return 321; }
    int GetTop() const override { return -45; }
    void keepOnTop() override { m_quit(); }

  private:
    std::function<void()> m_quit;
    bool m_bMovedOnce = true;
};
} // namespace

TEST_F(ClientApplicationTest, MovedIndicatorPositionIsSavedOnlyWhenAsked)
{
    for (const char* save : {"0", "1"})
    {
        SCOPED_TRACE(save);
        SetSetting(m_settings, "IndicatorSavePosition", save);
        WriteSettings(m_settings);
        CClientApplication* running = nullptr;
        CClientApplication application(
            std::make_unique<DraggedIndicator>([&running] { running->RequestQuit(); }),
            CSystemSocketLayer::Instance(), CSystemClock::Instance());
        running = &application;
        EXPECT_EQ(application.Run(), 0);

        const std::string file = ReadFile(m_dir.File("TarviQenClientSettings.txt"));
        const bool saved = std::string(save) == "1";
        EXPECT_EQ(file.find("IndicatorXPos=321\r\nIndicatorYPos=-45\r\n") != std::string::npos,
                  saved)
            << file;
        EXPECT_EQ(file.find("IndicatorXPos=100\r\nIndicatorYPos=200\r\n") != std::string::npos,
                  !saved);
        EXPECT_TRUE(file.starts_with("// client settings\r\n"));
    }
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ClientApplicationTest, ADragJustBeforeExitIsSaved)
{
    SetSetting(m_settings, "IndicatorSavePosition", "1");
    WriteSettings(m_settings);
    CClientApplication application(std::make_unique<DraggedIndicator>([] {}),
                                   CSystemSocketLayer::Instance(), CSystemClock::Instance());
    application.RequestQuit(); // Exit came before the loop saw the drag
    EXPECT_EQ(application.Run(), 0);
    EXPECT_NE(ReadFile(m_dir.File("TarviQenClientSettings.txt"))
                  .find("IndicatorXPos=321\r\nIndicatorYPos=-45\r\n"),
              std::string::npos);
}
