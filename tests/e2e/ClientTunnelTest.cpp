// The real client and server programs end to end: an application on loopback talks
// through TarviQenClient, a UDP relay that may lose, duplicate and delay datagrams,
// and TarviQenServer to a TCP echo host.
#include "support/ClientProcess.h"
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"
#include "support/TestSupport.h"
#include "support/UdpRelay.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{
std::string Address(uint16_t port)
{
    return "127.0.0.1:" + std::to_string(port);
}

// The client ID of the first "[id] Client connected." line of a server log.
std::string FirstClientId(const std::string& serverLog)
{
    std::smatch match;
    const std::regex line(R"(\[(127\.0\.0\.1:\d+)\] Client connected\.)");
    return std::regex_search(serverLog, match, line) ? match[1].str() : std::string();
}
} // namespace

TEST(ClientTunnelTest, CarriesAMebibyteEachWayAndWritesTheStatisticsFile)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost host;
    UdpRelay relay(server.ClientPort(), 1);
    ClientProcess client(Address(relay.Port()), host.Port());
    ASSERT_TRUE(client.Start());

    const std::string data = RandomBytes(1 << 20, 7);
    {
        Application app;
        ASSERT_TRUE(app.Connect(client.ListenPort()));
        const std::string back = app.Echo(data, 240s);
        ASSERT_EQ(back.size(), data.size());
        EXPECT_TRUE(back == data) << "the echoed bytes differ";
    }
    ASSERT_TRUE(client.WaitForLog("Client session ended.", 15s));
    EXPECT_NE(client.Log().find("TCP client gracefully closed the connection."), std::string::npos);

    const auto files = client.StatisticsFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        files[0], std::regex(R"(Statistics \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d\.\d{3}\.txt)")))
        << files[0];
    const std::string stats = ReadFile(client.Dir().File("stats/" + files[0]));
    EXPECT_EQ(CountOf(stats, "\r\n"), 23);
    EXPECT_NE(stats.find("Sent Data             1048576 bytes\r\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("Received Data         1048576 bytes\r\n"), std::string::npos) << stats;

    EXPECT_EQ(client.Stop(), 0);
    EXPECT_NE(client.Log().find("Ostrivel Tarvi*Qen Client v1.0.9 (client) stopped."),
              std::string::npos);
}

TEST(ClientTunnelTest, DeliversEverythingInOrderOverALossyLink)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost host;
    UdpRelay relay(server.ClientPort(), 3);
    ClientProcess client(Address(relay.Port()), host.Port());
    ASSERT_TRUE(client.Start());

    Application app;
    ASSERT_TRUE(app.Connect(client.ListenPort()));
    // The handshake has no retransmission of its own; the relay turns lossy once the
    // tunnel carries data.
    ASSERT_TRUE(client.WaitForLog("STATE: Data", 15s));
    relay.SetImpairment({0.10, 0.05, 5});
    const std::string data = RandomBytes(6 * 1024, 11);
    const std::string back = app.Echo(data, 120s);
    EXPECT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "the echoed bytes differ";
    EXPECT_GT(relay.Dropped(), 0u);
    EXPECT_EQ(CountOf(client.Log(), "Client session ended."), 0) << "the session survived the losses";
}

TEST(ClientTunnelTest, TriesEachServerConnectRetriesPlusOneTimes)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost host;
    const uint16_t deadPort = FreeUdpPort();
    ClientProcess client(Address(deadPort), host.Port());
    client.Set("ConnectRetries", "2");
    client.Set("ProxyServer2", Address(server.ClientPort()));
    ASSERT_TRUE(client.Start());

    Application app;
    ASSERT_TRUE(app.Connect(client.ListenPort()));
    EXPECT_EQ(app.Echo("through the second server", 30s), "through the second server");
    const std::string log = client.Log();
    const int failures = CountOf(log, "Error: Proxy server " + Address(deadPort) + " not running.") +
                         CountOf(log, "Error: Connect timeout to proxy server " + Address(deadPort));
    EXPECT_EQ(failures, 3);
    EXPECT_NE(server.Log().find("Client connected."), std::string::npos);
}

TEST(ClientTunnelTest, NextSessionPresentsTheIdAndTheServerDropsTheOldSession)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost host;
    ClientProcess client(Address(server.ClientPort()), host.Port());
    ASSERT_TRUE(client.Start());

    Application first;
    ASSERT_TRUE(first.Connect(client.ListenPort()));
    ASSERT_EQ(first.Echo("first"), "first");
    const std::string firstId = ReadFile(client.Dir().File("sessionid"));
    EXPECT_EQ(firstId.size(), 16u);
    const std::string clientId = FirstClientId(server.Log());
    ASSERT_FALSE(clientId.empty());
    EXPECT_EQ(server.Log().find("[" + clientId + "] Client session ended."), std::string::npos);

    Application second;
    ASSERT_TRUE(second.Connect(client.ListenPort()));
    EXPECT_EQ(second.Echo("second"), "second");
    EXPECT_TRUE(client.WaitForLog("Client aborted", 5s));
    EXPECT_TRUE(server.WaitForLog("[" + clientId + "] Client session ended.", 5s));
    EXPECT_TRUE(first.WaitForClose(5s));
    const std::string secondId = ReadFile(client.Dir().File("sessionid"));
    EXPECT_EQ(secondId.size(), 16u);
    EXPECT_NE(secondId, firstId);
    EXPECT_EQ(client.StatisticsFiles().size(), 2u);
}

TEST(ClientTunnelTest, RestartedServerMakesTheSessionInvalid)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost host;
    UdpRelay relay(server.ClientPort(), 3);
    ClientProcess client(Address(relay.Port()), host.Port());
    ASSERT_TRUE(client.Start());
    Application app;
    ASSERT_TRUE(app.Connect(client.ListenPort()));
    ASSERT_EQ(app.Echo("before the restart"), "before the restart");

    // The old server's Close must not reach the client: the session has to find out
    // by its probes, once five timeouts in a row have brought its link quality to 0.
    relay.SetBlocked(true);
    EXPECT_GE(server.Stop(), 0);
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(WaitUntil([&] { return CountOf(server.Log(), " started.") >= 2; }, 10s));
    relay.SetBlocked(false);

    const std::string box = "Ostrivel Tarvi*Qen Client: Proxy session is no longer valid";
    EXPECT_TRUE(WaitUntil([&] { return client.Stderr().find(box) != std::string::npos; }, 45s));
    EXPECT_TRUE(app.WaitForClose(5s));
    EXPECT_NE(client.Log().find("Client session ended."), std::string::npos);
}

TEST(ClientTunnelTest, ProxyAwareApplicationChoosesItsHost)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost settingsHost;
    TcpEchoHost namedHost;
    ClientProcess client(Address(server.ClientPort()), settingsHost.Port());
    client.Set("ProxyAwareApplication", "1");
    ASSERT_TRUE(client.Start());

    Application app;
    ASSERT_TRUE(app.Connect(client.ListenPort()));
    const std::string connectInfo =
        "TARVI*QEN:127.0.0.1," + std::to_string(namedHost.Port()) + "\r";
    const std::string payload = "payload after the connect info";
    EXPECT_EQ(app.Exchange(connectInfo + payload, payload.size(), 30s), payload);
    EXPECT_EQ(namedHost.Connections(), 1);
    EXPECT_EQ(settingsHost.Connections(), 0);
    EXPECT_NE(client.Log().find("Received host information from application: 127.0.0.1:" +
                                std::to_string(namedHost.Port()) + "."),
              std::string::npos);
}

TEST(ClientTunnelTest, ClientWithWindowsCarriesTheBytesLikeTheHeadlessOne)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost host;
    ClientProcess client(Address(server.ClientPort()), host.Port());
    client.Set("IndicatorAutoShowAndHide", "1");
    client.UseOffscreenWindows();
    // The launcher's first-start hint reaches the log (and a box where one can be seen).
    client.SetEnvironment("TARVIQEN_NOTICE", "Created the settings; set ProxyServer1 there.");
    ASSERT_TRUE(client.Start());

    const std::string data = RandomBytes(256 * 1024, 5);
    {
        Application app;
        ASSERT_TRUE(app.Connect(client.ListenPort()));
        const std::string back = app.Echo(data, 120s);
        ASSERT_EQ(back.size(), data.size());
        EXPECT_TRUE(back == data) << "the echoed bytes differ";
    }
    ASSERT_TRUE(client.WaitForLog("Client session ended.", 15s));
    // A second session after the first: the indicator follows both.
    {
        Application app;
        ASSERT_TRUE(app.Connect(client.ListenPort()));
        EXPECT_EQ(app.Echo("second session"), "second session");
    }
    ASSERT_TRUE(client.WaitForLog("Client session ended.", 15s, 2));

    // SIGINT takes the same way out as the menu's Exit.
    EXPECT_EQ(client.Stop(), 0);
    const std::string log = client.Log();
    EXPECT_EQ(CountOf(log, "No system tray available"), 1) << log;
    EXPECT_EQ(CountOf(log, "Created the settings; set ProxyServer1 there."), 1);
    EXPECT_NE(log.find("Shutdown initiated by user."), std::string::npos);
    EXPECT_NE(log.find("Ostrivel Tarvi*Qen Client v1.0.9 (client) stopped."), std::string::npos);
}

// A stale DISPLAY (after ssh or a logout) would make Qt abort the program.
TEST(ClientTunnelTest, ADisplayThatCannotBeOpenedLeavesTheClientHeadless)
{
    if (FileExists("/tmp/.X11-unix/X97"))
        GTEST_SKIP() << "display :97 exists on this machine";
    ServerProcess server;
    ASSERT_TRUE(server.Start());
    TcpEchoHost host;
    ClientProcess client(Address(server.ClientPort()), host.Port());
    client.UseDisplay(":97");
    ASSERT_TRUE(client.Start()) << client.Stderr();
    {
        Application app;
        ASSERT_TRUE(app.Connect(client.ListenPort()));
        EXPECT_EQ(app.Echo("no windows"), "no windows");
    }
    EXPECT_EQ(client.Stop(), 0);
    const std::string notice =
        "Cannot open display ':97': running without tray icon and indicator.";
    EXPECT_NE(client.Log().find(notice), std::string::npos) << client.Log();
    EXPECT_NE(client.Stderr().find(notice), std::string::npos);
}
