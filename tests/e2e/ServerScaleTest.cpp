// The real server holding many sessions: a live one still relays every byte, and a
// Connect beyond the descriptor limit is answered by nothing while the sessions there
// go on.
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"
#include "support/TunnelTestClient.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <thread>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

std::vector<uint8_t> RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(random());
    return bytes;
}

// A host that takes every connection and holds it without a word: the far end of an
// idle session.
class HoldingHost
{
public:
    HoldingHost()
    {
        m_listenFd = BindLoopback(SOCK_STREAM, m_port);
        listen(m_listenFd, 4096);
        m_thread = std::thread([this] { AcceptLoop(); });
    }
    ~HoldingHost()
    {
        m_bStop = true;
        shutdown(m_listenFd, SHUT_RDWR);
        m_thread.join();
        close(m_listenFd);
        for (const int fd : m_fds)
            close(fd);
    }
    uint16_t Port() const { return m_port; }

private:
    void AcceptLoop()
    {
        while (!m_bStop)
        {
            const int fd = accept(m_listenFd, nullptr, nullptr);
            if (fd >= 0)
                m_fds.push_back(fd);
            else if (m_bStop)
                return;
        }
    }
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::vector<int> m_fds;
};

// Sessions that are opened to a host and then stay silent.
std::vector<std::unique_ptr<TunnelTestClient>> OpenIdleSessions(uint16_t clientPort, uint16_t hostPort,
                                                                int count)
{
    std::vector<std::unique_ptr<TunnelTestClient>> clients;
    for (int i = 0; i < count; ++i)
    {
        auto client = std::make_unique<TunnelTestClient>(clientPort);
        if (!client->Connect() || !client->Open("127.0.0.1", hostPort))
            break;
        clients.push_back(std::move(client));
    }
    return clients;
}

} // namespace

TEST(ServerScaleTest, ALiveSessionAmongTwoThousandRelaysAMebibyteByteForByte)
{
    ServerOptions options;
    options.logLevel = 2;
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.Log();
    HoldingHost idleHost;
    const auto idle = OpenIdleSessions(server.ClientPort(), idleHost.Port(), 2000);
    ASSERT_EQ(2000u, idle.size());

    TcpEchoHost echo;
    TunnelTestClient live(server.ClientPort());
    ASSERT_TRUE(live.Connect());
    ASSERT_TRUE(live.Open("127.0.0.1", echo.Port()));
    const std::vector<uint8_t> out = RandomBytes(1024 * 1024, 12);
    std::vector<uint8_t> in;
    ASSERT_TRUE(live.Exchange(out, out.size(), in, 180s));
    EXPECT_TRUE(in == out) << "echoed bytes differ";
    EXPECT_EQ(2001, CountOf(server.Log(), "] Client connected."));
    EXPECT_EQ(0, server.Stop());
    // Every session got its Close on the way out.
    EXPECT_EQ(2001, CountOf(server.Log(), "] Session closed by administrator."));
}

TEST(ServerScaleTest, AConnectBeyondTheDescriptorLimitGetsNoAnswerAndTheOthersGoOn)
{
    ServerOptions options;
    options.logLevel = 2;
    options.openFileLimit = 64;
    ServerProcess server(options);
    ASSERT_TRUE(server.Start()) << server.Log();
    // The limit is logged after the start line and the settings block.
    ASSERT_TRUE(server.WaitForLog("client sessions.")) << server.Log();
    std::smatch match;
    const std::string log = server.Log();
    ASSERT_TRUE(std::regex_search(log, match, std::regex("Open file limit 64: room for (\\d+) client sessions\\.")))
        << log;
    const int room = std::stoi(match[1]);
    ASSERT_GT(room, 2);

    TcpEchoHost echo;
    TunnelTestClient first(server.ClientPort());
    ASSERT_TRUE(first.Connect());
    ASSERT_TRUE(first.Open("127.0.0.1", echo.Port()));
    HoldingHost idleHost;
    auto idle = OpenIdleSessions(server.ClientPort(), idleHost.Port(), room - 1);
    ASSERT_EQ(static_cast<size_t>(room - 1), idle.size());

    // Two more at once: neither is answered, and the log says so once.
    TunnelTestClient refused1(server.ClientPort());
    TunnelTestClient refused2(server.ClientPort());
    TunnelPacket connect;
    connect.Build(PACKET_CONNECT, 2000, std::vector<uint8_t>(16, 0));
    const std::vector<uint8_t> datagram(connect.Bytes().begin(), connect.Bytes().end());
    refused1.SendToClientPort(datagram);
    refused2.SendToClientPort(datagram);
    EXPECT_TRUE(server.WaitForLog("No descriptors left for another session"));
    EXPECT_FALSE(refused1.Receive(500ms).has_value());
    EXPECT_FALSE(refused2.Receive(10ms).has_value());
    EXPECT_EQ(1, CountOf(server.Log(), "No descriptors left for another session"));

    // The sessions there relay as before.
    const std::vector<uint8_t> out = RandomBytes(20000, 5);
    std::vector<uint8_t> in;
    ASSERT_TRUE(first.Exchange(out, out.size(), in, 60s));
    EXPECT_TRUE(in == out);

    // A session that ends makes room for a new one.
    ASSERT_TRUE(idle.back()->SendNumbered(PACKET_CLOSE, {}));
    ASSERT_TRUE(server.WaitForLog("[" + idle.back()->ClientId() + "] Client session ended."));
    TunnelTestClient later(server.ClientPort());
    EXPECT_TRUE(later.Connect());
    EXPECT_EQ(0, server.Stop());
}
