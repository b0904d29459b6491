// The server's whole loop driven pass by pass through the fake socket layer: the
// client port, the admin listener and admin session, and the readiness bookkeeping
// of the sessions.
#include "server/ProxyServer.h"

#include "common/Log.h"
#include "server/ServerSettings.h"
#include "support/FakeClock.h"
#include "support/FakeSocketLayer.h"
#include "support/TestSupport.h"
#include "tunnel/LinkTiming.h"
#include "tunnel/ProxyMisc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using ::testing::HasSubstr;
using tq_test::FakeSocketLayer;

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kClientPort = 7001;
constexpr uint16_t kAdminPort = 7002;

Bytes Packet(uint8_t type, uint32_t number, std::span<const uint8_t> payload = {})
{
    TunnelPacket packet;
    packet.Build(type, number, payload);
    return {packet.Bytes().begin(), packet.Bytes().end()};
}

SocketAddress Client(uint16_t port)
{
    return MakeSocketAddress(AddressFromBytes(10, 0, 0, 7), port);
}

class ProxyServerLoopTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        CLog::GetInstance()->SetFilename(m_dir.File("Server.txt"));
        CLog::GetInstance()->SetLogLevel(CLog::LEVEL_DEBUG);
        CServerSettings* settings = CServerSettings::GetInstance();
        settings->Values().clientPort = kClientPort;
        settings->Values().adminPort = kAdminPort;
        settings->Values().adminPassword = "5318";
        settings->Values().clientIdleDisconnect = 0;
        m_server = std::make_unique<CProxyServer>(m_sockets, m_clock);
        ASSERT_TRUE(m_server->StartUp());
        m_clientPort = m_sockets.BoundTo(kClientPort, true);
        m_adminListener = m_sockets.BoundTo(kAdminPort, false);
        ASSERT_NE(INVALID_SOCKET, m_clientPort);
        ASSERT_NE(INVALID_SOCKET, m_adminListener);
    }
    void TearDown() override
    {
        m_server->ShutdownSessions();
        m_server.reset();
        CLog::DestroyInstance();
        CServerSettings::DestroyInstance();
    }

    // Passes of the loop: each steps what the previous one's wait found ready.
    void Pass(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            ASSERT_TRUE(m_server->RunPass());
    }
    void Connect(uint16_t port, const SessionId& previous = {})
    {
        m_sockets.Deliver(
            m_clientPort,
            Packet(PACKET_CONNECT, 2000, {previous.bytes.data(), previous.bytes.size()}),
            Client(port));
    }
    // The packets sent since the last look, by type.
    // A session of client port 1027 in Data, whose host takes nothing for a while.
    struct DataSession
    {
        SOCKET udp;
        SessionId id;
        SOCKET host;
    };
    // A new session of client `port` that has sent its Open for `target`.
    SOCKET OpenSession(uint16_t port, std::u16string_view target)
    {
        Connect(port);
        Pass(2);
        const SOCKET udp = m_sockets.LastUdpSocket();
        m_sockets.Deliver(udp, Packet(PACKET_ACK, 1000), Client(port));
        Pass(2);
        m_sockets.Deliver(udp, Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(target, false)),
                          Client(port));
        Pass(3);
        return udp;
    }
    DataSession OpenDataSessionToSlowHost()
    {
        DataSession session{OpenSession(1027, u"10.1.2.3,80"), {}, 0};
        session.id = m_server->GetSession(0)->GetSessionId();
        EXPECT_EQ(CProxySession::STATE_DATA, m_server->GetSession(0)->GetState());
        session.host = m_sockets.LastTcpSocket();
        m_sockets.Socket(session.host).sendLimit = 0;
        return session;
    }

    std::vector<uint8_t> SentTypes()
    {
        std::vector<uint8_t> types;
        for (const auto& datagram : m_sockets.TakeSent())
            types.push_back(datagram.data.at(0));
        return types;
    }
    std::string Log() const { return tq_test::ReadFile(m_dir.File("Server.txt")); }

    tq_test::TempDir m_dir;
    FakeSocketLayer m_sockets;
    tq_test::FakeClock m_clock;
    std::unique_ptr<CProxyServer> m_server;
    SOCKET m_clientPort = INVALID_SOCKET;
    SOCKET m_adminListener = INVALID_SOCKET;
};

TEST_F(ProxyServerLoopTest, AConnectOnTheClientPortIsAnsweredFromTheSessionSocket)
{
    EXPECT_THAT(Log(), HasSubstr("Open file limit "));
    Pass(); // nothing ready yet
    Connect(1027);
    Pass(2);
    EXPECT_EQ((std::vector<uint8_t>{PACKET_ACK, PACKET_SESSION}), SentTypes());
    ASSERT_EQ(1, m_server->GetSessionCount());
    EXPECT_EQ(CProxySession::STATE_SESSIONID_WACK, m_server->GetSession(0)->GetState());
    // No answer: the session ends by its handshake deadline alone.
    m_clock.Advance(link_timing::kHandshakeStepMs);
    Pass(2);
    EXPECT_EQ(0, m_server->GetSessionCount());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] Error: Connect timeout"));
}

// A session whose socket was reported ready is destroyed earlier in the same pass by a
// Connect that carries its ID: the pass goes on without it, and its socket is closed.
TEST_F(ProxyServerLoopTest, ASessionDestroyedWhileItsSocketIsReadyIsNotStepped)
{
    Connect(1027);
    Pass(2);
    const SOCKET first = m_sockets.LastUdpSocket();
    const SessionId id = m_server->GetSession(0)->GetSessionId();
    m_sockets.TakeSent();
    m_sockets.Deliver(first, Packet(PACKET_ACK, 1000), Client(1027));
    Connect(1028, id);
    Pass(2); // the wait reports both; the Connect comes first and replaces the session
    EXPECT_FALSE(m_sockets.IsOpen(first));
    ASSERT_EQ(1, m_server->GetSessionCount());
    EXPECT_EQ("10.0.0.7:1028", m_server->GetSession(0)->GetClientId());
    EXPECT_EQ((std::vector<uint8_t>{PACKET_ACK, PACKET_SESSION}), SentTypes());
    EXPECT_EQ(1, tq_test::CountOf(Log(), "[10.0.0.7:1027] Client session ended."));
    EXPECT_EQ(0, tq_test::CountOf(Log(), "Received ACK for packet (1000)"));
}

// A session that its client has closed while the host still had to take bytes goes
// on writing them when the client's next Connect carries its ID: those bytes were
// acknowledged to the client and must reach the host. Only then does it end.
TEST_F(ProxyServerLoopTest, AConnectWithTheIdOfADrainingSessionLetsItsBytesReachTheHost)
{
    const DataSession session = OpenDataSessionToSlowHost();
    const SOCKET udp = session.udp;
    const SessionId id = session.id;
    const SOCKET host = session.host;
    const std::string held = "acknowledged, not yet written";
    m_sockets.Deliver(
        udp,
        Packet(PACKET_DATA, 2002, {reinterpret_cast<const uint8_t*>(held.data()), held.size()}),
        Client(1027));
    m_sockets.Deliver(udp, Packet(PACKET_CLOSE, 2003), Client(1027));
    Pass(3);
    m_sockets.TakeSent();
    Connect(1028, id);
    Pass(2);
    ASSERT_EQ(2, m_server->GetSessionCount());
    EXPECT_TRUE(m_sockets.IsOpen(host));
    EXPECT_EQ((std::vector<uint8_t>{PACKET_ACK, PACKET_SESSION}), SentTypes());
    // The new session holds the client's ID now: a Probe with the old one finds none.
    m_sockets.Deliver(m_clientPort, Packet(PACKET_PROBE, 0, {id.bytes.data(), id.bytes.size()}),
                      Client(1028));
    Pass(2);
    EXPECT_EQ((std::vector<uint8_t>{PACKET_NOSESSION}), SentTypes());

    m_sockets.Socket(host).sendLimit = -1;
    Pass(4);
    const auto& written = m_sockets.Socket(host).written;
    EXPECT_EQ(held, std::string(written.begin(), written.end()));
    EXPECT_FALSE(m_sockets.IsOpen(host));
    ASSERT_EQ(1, m_server->GetSessionCount());
    EXPECT_EQ("10.0.0.7:1028", m_server->GetSession(0)->GetClientId());
    EXPECT_EQ(0, tq_test::CountOf(Log(), "bytes for the host were lost"));
}

// The client's Close was lost and it started anew while its old session still held
// acknowledged bytes for a slow host: those bytes reach the host before that session
// ends. A replaced session that holds nothing goes at once.
TEST_F(ProxyServerLoopTest, AReplacedSessionWritesTheBytesItHoldsForTheHostFirst)
{
    const DataSession session = OpenDataSessionToSlowHost();
    const SOCKET udp = session.udp;
    const SessionId id = session.id;
    const SOCKET host = session.host;
    const std::string held = "acknowledged before the Close was lost";
    m_sockets.Deliver(
        udp,
        Packet(PACKET_DATA, 2002, {reinterpret_cast<const uint8_t*>(held.data()), held.size()}),
        Client(1027));
    Pass(2);
    Connect(1028, id);
    Pass(2);
    ASSERT_EQ(2, m_server->GetSessionCount());
    EXPECT_TRUE(m_sockets.IsOpen(host));
    // It no longer serves the client: a Data packet to it is neither taken nor answered.
    m_sockets.TakeSent();
    m_sockets.Deliver(udp, Packet(PACKET_DATA, 2003, {reinterpret_cast<const uint8_t*>("late"), 4}),
                      Client(1027));
    Pass(2);
    EXPECT_TRUE(m_sockets.TakeSent().empty());

    m_sockets.Socket(host).sendLimit = -1;
    Pass(4);
    const auto& written = m_sockets.Socket(host).written;
    EXPECT_EQ(held, std::string(written.begin(), written.end()));
    EXPECT_FALSE(m_sockets.IsOpen(host));
    ASSERT_EQ(1, m_server->GetSessionCount());
    EXPECT_EQ("10.0.0.7:1028", m_server->GetSession(0)->GetClientId());
    EXPECT_EQ(0, tq_test::CountOf(Log(), "bytes for the host were lost"));

    // The new session holds nothing for its host: a Connect with its ID ends it at once.
    const SessionId second = m_server->GetSession(0)->GetSessionId();
    Connect(1029, second);
    Pass(2);
    ASSERT_EQ(1, m_server->GetSessionCount());
    EXPECT_EQ("10.0.0.7:1029", m_server->GetSession(0)->GetClientId());
}

// The admin session is behind the same socket layer: a connection waiting in the
// listener is taken, its command read byte by byte and answered.
TEST_F(ProxyServerLoopTest, TheAdminListenerAndSessionRunOnTheSameSockets)
{
    Connect(1027);
    const SOCKET admin = m_sockets.QueueConnection(m_adminListener, Client(5000));
    Pass(2);
    const std::string command = "login 5318\rlist\r";
    m_sockets.Socket(admin).inbound.assign(command.begin(), command.end());
    Pass(static_cast<int>(command.size()) + 2);
    const auto& written = m_sockets.Socket(admin).written;
    const std::string replies(written.begin(), written.end());
    EXPECT_THAT(replies, HasSubstr("{OK}"));
    EXPECT_THAT(replies, HasSubstr("{1,10.0.0.7:1027;"));
    EXPECT_THAT(Log(), HasSubstr("Admin session 10.0.0.7:5000 connected."));
    // A second connection waits until the first ends.
    const SOCKET second = m_sockets.QueueConnection(m_adminListener, Client(5001));
    Pass(2);
    EXPECT_EQ(0, tq_test::CountOf(Log(), "Admin session 10.0.0.7:5001 connected."));
    m_sockets.Socket(admin).peerClosed = true;
    Pass(3);
    EXPECT_FALSE(m_sockets.IsOpen(admin));
    EXPECT_THAT(Log(), HasSubstr("Admin session 10.0.0.7:5001 connected."));
    EXPECT_TRUE(m_sockets.IsOpen(second));

    // Silent, it loses the slot after the login grace time; logged in, after the idle
    // time (input moves it on).
    m_clock.Advance(29999);
    Pass(2);
    EXPECT_TRUE(m_sockets.IsOpen(second));
    m_clock.Advance(1);
    Pass(2);
    EXPECT_FALSE(m_sockets.IsOpen(second));
    EXPECT_THAT(Log(), HasSubstr("Admin session 10.0.0.7:5001 closed: it did not log in within 30 seconds."));
    CServerSettings::GetInstance()->Values().adminIdleTimeout = 5;
    const SOCKET third = m_sockets.QueueConnection(m_adminListener, Client(5002));
    Pass(2);
    m_sockets.Socket(third).inbound.assign(command.begin(), command.end());
    Pass(static_cast<int>(command.size()) + 2);
    m_clock.Advance(4000);
    m_sockets.Socket(third).inbound.assign(command.begin() + 10, command.end());
    Pass(8);
    m_clock.Advance(4000);
    Pass(2);
    EXPECT_TRUE(m_sockets.IsOpen(third));
    m_clock.Advance(1000);
    Pass(2);
    EXPECT_FALSE(m_sockets.IsOpen(third));
    EXPECT_THAT(Log(), HasSubstr("Admin session 10.0.0.7:5002 closed: it sent nothing for 5 seconds."));
}

// TERMINATE moves a session's deadline: it ends by its final-ACK timeout although
// nothing else happens to it.
TEST_F(ProxyServerLoopTest, ATerminatedSessionEndsByItsNewDeadline)
{
    Connect(1027);
    Pass(2);
    m_server->TerminateSession(m_server->GetSession(0)->GetClientId());
    m_clock.Advance(link_timing::kRetransmitMs + 1);
    Pass(3);
    EXPECT_EQ(0, m_server->GetSessionCount());
    EXPECT_THAT(Log(),
                HasSubstr("[10.0.0.7:1027] Error: Timeout when waiting for final ACK (1000)"));
}

} // namespace

// Answers only when the test says so.
class HeldResolver : public IHostResolver
{
  public:
    void Start(uint64_t token, const std::string& host) override { started.emplace_back(token, host); }
    int Handle() const override { return -1; }
    void TakeAnswers(std::vector<HostLookupAnswer>& answers) override
    {
        answers.insert(answers.end(), ready.begin(), ready.end());
        ready.clear();
    }
    std::vector<std::pair<uint64_t, std::string>> started;
    std::vector<HostLookupAnswer> ready;
};

// A name is looked up off the loop: a lookup that never answers ends its session by the
// host-connect limit while the loop serves the others; a late answer is dropped; an
// address never goes to the resolver.
TEST_F(ProxyServerLoopTest, HostNamesAreLookedUpWithoutHoldingTheLoop)
{
    HeldResolver resolver;
    m_server->SetHostResolver(&resolver);
    OpenDataSessionToSlowHost();
    EXPECT_TRUE(resolver.started.empty());

    OpenSession(1028, u"never.example,80");
    ASSERT_EQ(1u, resolver.started.size());
    EXPECT_EQ("never.example", resolver.started[0].second);
    EXPECT_EQ(CProxySession::STATE_WAITFOROPEN, m_server->GetSession(1)->GetState());
    SentTypes();
    m_sockets.Deliver(m_clientPort, Packet(PACKET_PROBE, 0, Bytes(16, 0)), Client(1030));
    Pass(2);
    EXPECT_EQ((std::vector<uint8_t>{PACKET_NOSESSION}), SentTypes());

    m_clock.Advance(CProxySession::HOST_CONNECT_TIMEOUT_MS);
    Pass(2);
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1028] Error packet sent (1001): Server connect timeout."));
    resolver.ready.push_back({resolver.started[0].first, true, AddressFromBytes(10, 1, 2, 4)});
    Pass(2);

    OpenSession(1029, u"host.example,80");
    ASSERT_EQ(2u, resolver.started.size());
    resolver.ready.push_back({resolver.started[1].first, true, AddressFromBytes(10, 1, 2, 4)});
    Pass(3);
    const int last = m_server->GetSessionCount() - 1;
    EXPECT_EQ(CProxySession::STATE_DATA, m_server->GetSession(last)->GetState());
}

