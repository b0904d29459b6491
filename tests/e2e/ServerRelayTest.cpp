// The real server between a tunnel client written here and real TCP hosts.
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"
#include "support/TunnelTestClient.h"

#include "tunnel/ProxyMisc.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

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

std::string ErrorText(const TunnelPacket& packet)
{
    const std::u16string text = DecodeUtf16Payload(packet.Payload());
    return std::string(text.begin(), text.end());
}

// A listening socket whose accept queue is full: further connections never complete.
class SilentHost
{
public:
    SilentHost()
    {
        m_listenFd = BindLoopback(SOCK_STREAM, m_port);
        listen(m_listenFd, 0);
        const sockaddr_in addr = LoopbackSockaddr(m_port);
        for (int i = 0; i < 2; ++i)
        {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
            m_fillers.push_back(fd);
        }
        usleep(100000);
    }
    ~SilentHost()
    {
        for (int fd : m_fillers)
            close(fd);
        close(m_listenFd);
    }
    uint16_t Port() const { return m_port; }

private:
    int m_listenFd;
    uint16_t m_port = 0;
    std::vector<int> m_fillers;
};

class ServerRelayTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start()) << m_server.Log(); }
    void TearDown() override { EXPECT_EQ(0, m_server.Stop()); }
    ServerProcess m_server;
};

} // namespace

TEST_F(ServerRelayTest, RelaysAMebibyteEachWayByteForByte)
{
    TcpEchoHost host;
    TunnelTestClient client(m_server.ClientPort());
    ASSERT_TRUE(client.Connect());
    EXPECT_FALSE(client.Id().IsZero());
    ASSERT_TRUE(client.Open("127.0.0.1", host.Port()));

    const std::vector<uint8_t> out = RandomBytes(1024 * 1024 + 77, 7);
    std::vector<uint8_t> in;
    ASSERT_TRUE(client.Exchange(out, out.size(), in, 120s));
    EXPECT_TRUE(in == out) << "echoed bytes differ";

    // The server names the session by the client's address; the first Data packet
    // it sent carried 1001.
    EXPECT_TRUE(m_server.WaitForLog("[" + client.ClientId() + "] Sending data packet (1001)"));

    ASSERT_TRUE(client.SendNumbered(PACKET_CLOSE, {}));
    EXPECT_TRUE(m_server.WaitForLog("[" + client.ClientId() + "] Client session ended."));
}

TEST_F(ServerRelayTest, ConnectWithALiveSessionsIdReplacesIt)
{
    TcpEchoHost host;
    TunnelTestClient first(m_server.ClientPort());
    ASSERT_TRUE(first.Connect());
    ASSERT_TRUE(first.Open("127.0.0.1", host.Port()));

    TunnelTestClient second(m_server.ClientPort());
    ASSERT_TRUE(second.Connect(first.Id()));
    EXPECT_FALSE(second.Id() == first.Id());
    EXPECT_TRUE(m_server.WaitForLog("[" + first.ClientId() + "] Client session ended."));

    // The replacement relays; the old session's socket is gone.
    ASSERT_TRUE(second.Open("127.0.0.1", host.Port()));
    std::vector<uint8_t> in;
    const std::vector<uint8_t> out = RandomBytes(3000, 3);
    ASSERT_TRUE(second.Exchange(out, out.size(), in, 20s));
    EXPECT_TRUE(in == out);
}

TEST_F(ServerRelayTest, ProbeIsAnsweredOnlyForUnknownIds)
{
    TunnelTestClient client(m_server.ClientPort());
    ASSERT_TRUE(client.Connect());

    client.SendProbe(client.Id());
    EXPECT_FALSE(client.Receive(500ms).has_value()) << "a live session's probe got an answer";

    SessionId unknown = client.Id();
    unknown.bytes[15] ^= 0x55;
    client.SendProbe(unknown);
    SocketAddress from;
    const auto reply = client.Receive(3s, &from);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(PACKET_NOSESSION, reply->Type());
    EXPECT_EQ(12u, reply->Length());
    EXPECT_EQ(0u, reply->Number());
    EXPECT_EQ(m_server.ClientPort(), NetToHost16(from.port)) << "NoSession comes from the client port";
    EXPECT_FALSE(client.Receive(300ms).has_value()) << "exactly one NoSession";
}

TEST_F(ServerRelayTest, RefusingHostGivesTheConnectErrorText)
{
    const uint16_t closedPort = FreeTcpPort();
    TunnelTestClient client(m_server.ClientPort());
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Open("127.0.0.1", closedPort));
    const auto error = client.WaitFor(PACKET_ERROR, 5s);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(1001u, error->Number());
    EXPECT_EQ("Network connect error 10061 (WSAECONNREFUSED: Connection refused).", ErrorText(*error));
    // The server's Error payload ends with a zero character.
    const auto payload = error->Payload();
    ASSERT_GE(payload.size(), 2u);
    EXPECT_EQ(0, payload[payload.size() - 1] | payload[payload.size() - 2]);
    client.SendAck(error->Number());
    EXPECT_TRUE(m_server.WaitForLog("[" + client.ClientId() + "] Client session ended."));
}

TEST_F(ServerRelayTest, SilentHostTimesOutWithoutStallingOtherSessions)
{
    SilentHost silent;
    TcpEchoHost host;
    TunnelTestClient waiting(m_server.ClientPort());
    ASSERT_TRUE(waiting.Connect());
    ASSERT_TRUE(waiting.Open("127.0.0.1", silent.Port()));

    // While the first session's host connect is pending, a second session relays.
    TunnelTestClient busy(m_server.ClientPort());
    ASSERT_TRUE(busy.Connect());
    ASSERT_TRUE(busy.Open("127.0.0.1", host.Port()));
    std::vector<uint8_t> in;
    const std::vector<uint8_t> out = RandomBytes(20000, 5);
    ASSERT_TRUE(busy.Exchange(out, out.size(), in, 8s));
    EXPECT_TRUE(in == out);

    const auto error = waiting.WaitFor(PACKET_ERROR, 15s);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ("Server connect timeout.", ErrorText(*error));
    EXPECT_EQ(1001u, error->Number());
}

TEST(ServerShutdownTest, SigintSendsOneCloseToEachSessionAndExitsZero)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.Log();
    TcpEchoHost host;
    TunnelTestClient a(server.ClientPort());
    TunnelTestClient b(server.ClientPort());
    ASSERT_TRUE(a.Connect());
    ASSERT_TRUE(a.Open("127.0.0.1", host.Port()));
    ASSERT_TRUE(b.Connect());

    EXPECT_EQ(0, server.Stop());
    for (TunnelTestClient* client : {&a, &b})
    {
        const auto close = client->WaitFor(PACKET_CLOSE, 3s);
        ASSERT_TRUE(close.has_value());
        EXPECT_FALSE(client->WaitFor(PACKET_CLOSE, 300ms).has_value()) << "Close sent twice";
    }
    EXPECT_NE(std::string::npos, server.Log().find("Stopping Ostrivel Tarvi*Qen Server."));
}
