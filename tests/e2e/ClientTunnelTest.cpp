// The real client and server programs end to end: an application on loopback talks
// through TarviQenClient, a UDP relay that may lose, duplicate and delay datagrams,
// and TarviQenServer to a TCP echo host.
#include "support/ClientSettings.h"
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"
#include "support/TestSupport.h"
#include "support/UdpRelay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <regex>
#include <utility>
#include <vector>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{
std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

// An application connection to the client's listen port.
class Application
{
  public:
    ~Application() { Close(); }
    bool Connect(uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in addr = LoopbackSockaddr(port);
        if (connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
            return false;
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        return true;
    }
    // Sends `data` while reading; returns once `expected` bytes came back or on timeout.
    std::string Exchange(const std::string& data, size_t expected,
                         std::chrono::milliseconds timeout)
    {
        std::string received;
        size_t sent = 0;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (received.size() < expected && std::chrono::steady_clock::now() < end)
        {
            pollfd fd{m_fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
            if (poll(&fd, 1, 100) <= 0)
                continue;
            if (fd.revents & POLLOUT)
            {
                const ssize_t n = send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
                if (n > 0)
                    sent += static_cast<size_t>(n);
            }
            char buffer[16384];
            const ssize_t n = (fd.revents & (POLLIN | POLLHUP | POLLERR))
                                  ? recv(m_fd, buffer, sizeof(buffer), 0)
                                  : -1;
            if (n > 0)
                received.append(buffer, static_cast<size_t>(n));
            else if (n == 0)
                break;
        }
        return received;
    }
    std::string Echo(const std::string& data, std::chrono::milliseconds timeout = 30s)
    {
        return Exchange(data, data.size(), timeout);
    }
    // True once the client has closed the connection (within the timeout).
    bool WaitForClose(std::chrono::milliseconds timeout)
    {
        return WaitUntil(
            [this]
            {
                char byte;
                const ssize_t n = recv(m_fd, &byte, 1, 0);
                return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            },
            timeout);
    }
    void Close()
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
    }

  private:
    int m_fd = -1;
};

// TarviQenClient with a settings file of all its keys in a program folder of its own.
class ClientProcess
{
  public:
    ClientProcess(const std::string& proxyServer1, uint16_t hostPort)
        : m_settings(ClientSettings(m_dir.Path(), m_dir.File("stats"), m_listenPort, proxyServer1,
                                    hostPort))
    {
        std::filesystem::create_directories(m_dir.File("stats"));
        Set("ConnectRetries", "5");
    }
    // Replaces a value or appends a setting (ProxyServer2 and later).
    void Set(const std::string& name, const std::string& value)
    {
        SetSetting(m_settings, name, value);
    }
    bool Start()
    {
        WriteClientSettings(m_dir.Path(), m_settings);
        if (!m_process.Start({BinDir() + "/TarviQenClient"}, {{"TARVIQEN_FOLDER", m_dir.Path()}},
                             m_dir.Path()))
            return false;
        return WaitForLog("(client) started on port", 10s);
    }
    // SIGINT and the exit status, -1 if it did not end in time.
    int Stop()
    {
        m_process.Signal(SIGINT);
        int status = -1;
        return m_process.Wait(10s, status) ? status : -1;
    }
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout, int count = 1) const
    {
        return WaitUntil([&] { return CountOf(Log(), text) >= count; }, timeout);
    }
    std::string Log() const { return ReadFile(m_dir.File("client.log")); }
    std::string Stderr() const { return m_process.Stderr(); }
    uint16_t ListenPort() const { return m_listenPort; }
    const TempDir& Dir() const { return m_dir; }
    std::vector<std::string> StatisticsFiles() const
    {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.File("stats")))
            files.push_back(entry.path().filename().string());
        return files;
    }

  private:
    TempDir m_dir;
    uint16_t m_listenPort = FreeTcpPort();
    SettingList m_settings;
    ChildProcess m_process;
};

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
