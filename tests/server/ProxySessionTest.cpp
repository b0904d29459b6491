#include "server/ProxySession.h"

#include "common/Log.h"
#include "common/Network.h"
#include "server/ServerSettings.h"
#include "support/FakeClock.h"
#include "support/FakeSocketLayer.h"
#include "support/TestSupport.h"
#include "tunnel/ProxyMisc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using ::testing::HasSubstr;
using tq_test::FakeSocketLayer;

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes Packet(uint8_t type, uint32_t number, std::span<const uint8_t> payload = {})
{
    TunnelPacket packet;
    packet.Build(type, number, payload);
    return {packet.Bytes().begin(), packet.Bytes().end()};
}

Bytes Text(std::string_view text) { return {text.begin(), text.end()}; }

TunnelPacket Parse(const FakeSocketLayer::Datagram& datagram)
{
    TunnelPacket packet;
    packet.Assign(datagram.data);
    return packet;
}

class ProxySessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CLog::GetInstance()->SetFilename(m_dir.File("Server.txt"));
        CLog::GetInstance()->SetLogLevel(CLog::LEVEL_DEBUG);
        CServerSettings::GetInstance()->Values().clientIdleDisconnect = 0;
        m_id.bytes = {0xE8, 0x07, 3, 0, 2, 0, 5, 0, 14, 0, 7, 0, 9, 0, 42, 0};
    }
    void TearDown() override
    {
        m_session.reset();
        CLog::DestroyInstance();
        CServerSettings::DestroyInstance();
    }

    void Create(uint32_t connectNumber = 2000)
    {
        const Bytes connect = Packet(PACKET_CONNECT, connectNumber, Bytes(16, 0));
        m_session = std::make_unique<CProxySession>(m_id, connect, m_client, m_sockets, m_clock);
    }
    void Step(int count = 1)
    {
        for (int i = 0; i < count; ++i)
            EXPECT_TRUE(m_session->Step());
    }
    void Deliver(const Bytes& datagram) { Deliver(datagram, m_client); }
    void Deliver(const Bytes& datagram, const SocketAddress& from)
    {
        m_sockets.Deliver(m_udp, datagram, from);
    }
    // Connect and Session packet sent; waiting for the Session ACK.
    void StartSession()
    {
        Create();
        Step(2);
        m_udp = m_sockets.LastUdpSocket();
    }
    void SendOpen(std::u16string_view text, uint32_t number = 2001)
    {
        Deliver(Packet(PACKET_OPEN, number, EncodeUtf16Payload(text, false)));
        Step();
    }
    // A session in the Data state with the host connected; nothing sent pending.
    void ToData()
    {
        StartSession();
        Deliver(Packet(PACKET_ACK, 1000));
        Step();
        SendOpen(u"10.1.2.3,80");
        Step();
        m_host = m_sockets.LastTcpSocket();
        m_sockets.TakeSent();
        ASSERT_EQ(CProxySession::STATE_DATA, m_session->GetState());
    }
    std::vector<TunnelPacket> Sent()
    {
        std::vector<TunnelPacket> packets;
        for (const auto& datagram : m_sockets.TakeSent())
            packets.push_back(Parse(datagram));
        return packets;
    }
    // The single packet sent since the last look.
    TunnelPacket SentOne()
    {
        auto packets = Sent();
        EXPECT_EQ(1u, packets.size());
        return packets.empty() ? TunnelPacket() : packets.front();
    }
    Bytes SentBytes()
    {
        const TunnelPacket packet = SentOne();
        return {packet.Bytes().begin(), packet.Bytes().end()};
    }
    std::string Log() const { return tq_test::ReadFile(m_dir.File("Server.txt")); }
    FakeSocketLayer::FakeSocket& Host() { return m_sockets.Socket(m_host); }
    std::string Written() { return {Host().written.begin(), Host().written.end()}; }

    tq_test::TempDir m_dir;
    FakeSocketLayer m_sockets;
    tq_test::FakeClock m_clock;
    SessionId m_id;
    SocketAddress m_client = MakeSocketAddress(AddressFromBytes(10, 0, 0, 7), 1027);
    std::unique_ptr<CProxySession> m_session;
    SOCKET m_udp = INVALID_SOCKET;
    SOCKET m_host = INVALID_SOCKET;
};

TEST_F(ProxySessionTest, HandshakeAnswersFromOwnSocket)
{
    Create(1000);
    Step();
    const auto sent = m_sockets.TakeSent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(Bytes({4, 0, 0, 0, 0xE8, 3, 0, 0, 0x49, 0x98, 0x5C, 0x38}), sent[0].data);
    EXPECT_EQ(m_sockets.LastUdpSocket(), sent[0].socket);
    EXPECT_TRUE(m_sockets.Socket(sent[0].socket).nonBlocking);
    EXPECT_EQ(m_client, sent[0].address);
    EXPECT_EQ(CProxySession::STATE_SESSIONID, m_session->GetState());

    Step();
    const TunnelPacket session = SentOne();
    EXPECT_EQ(PACKET_SESSION, session.Type());
    EXPECT_EQ(1000u, session.Number());
    EXPECT_EQ(28u, session.Length());
    EXPECT_TRUE(std::equal(m_id.bytes.begin(), m_id.bytes.end(), session.Payload().begin()));
    EXPECT_EQ(CProxySession::STATE_SESSIONID_WACK, m_session->GetState());

    // The client answers from another port: adopted, and the Open must come from there.
    m_udp = m_sockets.LastUdpSocket();
    const SocketAddress moved = MakeSocketAddress(m_client.address, 4000);
    Deliver(Packet(PACKET_ACK, 1000), moved);
    Step();
    EXPECT_EQ(CProxySession::STATE_WAITFOROPEN, m_session->GetState());
    EXPECT_EQ("10.0.0.7:4000", m_session->GetClientId());
    SendOpen(u"10.1.2.3,80", 1001); // Connect's number + 1, but from the old port
    EXPECT_TRUE(Sent().empty());
    EXPECT_THAT(Log(), HasSubstr("Rogue UDP packet received, ignored (address & port). "
                                 "Address = 10.0.0.7:1027"));
    Deliver(Packet(PACKET_OPEN, 1001, EncodeUtf16Payload(u"10.1.2.3,80", false)), moved);
    Step();
    const auto ack = m_sockets.TakeSent();
    ASSERT_EQ(1u, ack.size());
    EXPECT_EQ(moved, ack[0].address);
    EXPECT_EQ(Packet(PACKET_ACK, 1001), ack[0].data);
    EXPECT_EQ(MakeSocketAddress(AddressFromBytes(10, 1, 2, 3), 80),
              m_sockets.Socket(m_sockets.LastTcpSocket()).connectAddress);
}

TEST_F(ProxySessionTest, HandshakeTimeouts)
{
    StartSession();
    m_clock.Advance(2999);
    Step();
    EXPECT_EQ(CProxySession::STATE_SESSIONID_WACK, m_session->GetState());
    m_clock.Advance(1);
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] Error: Connect timeout"));
    EXPECT_EQ(2u, Sent().size()); // the ACK and the Session packet, never resent

    // Opens with a wrong number, port "0" or no port are ignored without an ACK.
    StartSession();
    Deliver(Packet(PACKET_ACK, 1000));
    Step();
    m_sockets.TakeSent();
    SendOpen(u"10.1.2.3,80", 2002);
    SendOpen(u"10.1.2.3,0");
    SendOpen(u"10.1.2.3,");
    SendOpen(u",80");
    EXPECT_TRUE(Sent().empty());
    m_clock.Advance(2999);
    Step();
    EXPECT_EQ(CProxySession::STATE_WAITFOROPEN, m_session->GetState());
    m_clock.Advance(1);
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
}

TEST_F(ProxySessionTest, RelaysBothWays)
{
    ToData();
    Deliver(Packet(PACKET_DATA, 2002, Text("hello ")));
    Step();
    EXPECT_EQ(Packet(PACKET_ACK, 2002), SentBytes());
    Deliver(Packet(PACKET_DATA, 2003, Text("world")));
    Deliver(Packet(PACKET_DATA, 2004)); // ping
    Step(2);
    EXPECT_EQ("hello world", Written());
    const auto acks = Sent();
    ASSERT_EQ(2u, acks.size());
    EXPECT_EQ(2003u, acks[0].Number());
    EXPECT_EQ(2004u, acks[1].Number());
    const CProxyStats& stats = m_session->GetStats();
    EXPECT_EQ(2, stats.m_nDataPacketsReceived);
    EXPECT_EQ(3, stats.m_nAcksSent);
    EXPECT_EQ(1, stats.m_nPings);
    EXPECT_EQ(11, stats.m_nBytesReceived);
    EXPECT_EQ(10, stats.m_nLinkQuality);

    // Host bytes go out as Data 1001; the ACK carries the round trip.
    Host().inbound = Text("abc");
    Step();
    const TunnelPacket data = SentOne();
    EXPECT_EQ(PACKET_DATA, data.Type());
    EXPECT_EQ(1001u, data.Number());
    EXPECT_EQ(Text("abc"), Bytes(data.Payload().begin(), data.Payload().end()));
    m_clock.Advance(40);
    Deliver(Packet(PACKET_ACK, 1001));
    Step();
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] Received ACK for packet 1001 (RTT = 40)"));
    EXPECT_EQ(40, stats.AverageRoundTrip());
    EXPECT_EQ(3, stats.m_nBytesSent);
    EXPECT_EQ(1, stats.m_nDataPacketsSent);
    EXPECT_THAT(m_session->GetStatisticsText(), HasSubstr(",0,0,0,0,0,1,2,3,1,1,3,11,15"));
}

TEST_F(ProxySessionTest, IdleLimitIgnoresPings)
{
    CServerSettings::GetInstance()->Values().clientIdleDisconnect = 5;
    ToData();
    uint32_t number = 2002;
    for (int second = 1; second < 5; ++second)
    {
        m_clock.Advance(1000);
        Deliver(Packet(PACKET_DATA, number++));
        Step();
    }
    EXPECT_EQ(CProxySession::STATE_DATA, m_session->GetState());
    EXPECT_EQ(4, m_session->GetIdleSeconds());
    m_sockets.TakeSent();
    m_clock.Advance(1000);
    Step();
    const TunnelPacket close = SentOne();
    EXPECT_EQ(PACKET_CLOSE, close.Type());
    EXPECT_EQ(1001u, close.Number());
    EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] Session closed by idle timeout (5 seconds)."));

    // 0 disables the limit.
    m_session.reset();
    CServerSettings::GetInstance()->Values().clientIdleDisconnect = 0;
    ToData();
    m_clock.Advance(100000);
    Step();
    EXPECT_EQ(CProxySession::STATE_DATA, m_session->GetState());
    EXPECT_EQ(100, m_session->GetIdleSeconds());
}

TEST_F(ProxySessionTest, ClosePaths)
{
    ToData();
    Deliver(Packet(PACKET_CLOSE, 77777));
    Step();
    EXPECT_EQ(Packet(PACKET_ACK, 77777), SentBytes());
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    m_session.reset();
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] Client session ended."));
    EXPECT_FALSE(m_sockets.IsOpen(m_udp));
    EXPECT_FALSE(m_sockets.IsOpen(m_host));

    // The host closes while a packet is in flight: Close only after its ACK.
    ToData();
    Host().inbound = Text("last");
    Host().peerClosed = true;
    Step();
    EXPECT_EQ(1001u, SentOne().Number());
    Step(3);
    EXPECT_TRUE(Sent().empty());
    Deliver(Packet(PACKET_ACK, 1001));
    Step();
    const TunnelPacket close = SentOne();
    EXPECT_EQ(PACKET_CLOSE, close.Type());
    EXPECT_EQ(1002u, close.Number());
    EXPECT_THAT(Log(), HasSubstr("TCP host gracefully closed the connection."));
    Deliver(Packet(PACKET_ACK, 1002), MakeSocketAddress(m_client.address, 5000));
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    m_session.reset();

    // Client Error: logged with its text, acknowledged.
    ToData();
    Deliver(Packet(PACKET_ERROR, 5, EncodeUtf16Payload(u"Bye", false)));
    Step();
    EXPECT_EQ(Packet(PACKET_ACK, 5), SentBytes());
    EXPECT_THAT(Log(), HasSubstr("Received Error packet from Proxy Client (5): Bye"));
}

TEST_F(ProxySessionTest, CloseByAdministratorInAnyState)
{
    StartSession(); // SessionID_WACK, Session packet 1000 unacknowledged
    m_sockets.TakeSent();
    m_session->CloseByAdministrator();
    TunnelPacket close = SentOne();
    EXPECT_EQ(PACKET_CLOSE, close.Type());
    EXPECT_EQ(1000u, close.Number());
    EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
    m_clock.Advance(3000);
    Step();
    EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
    m_clock.Advance(1);
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    EXPECT_THAT(Log(), HasSubstr("Error: Timeout when waiting for final ACK (1000)"));
    EXPECT_TRUE(Sent().empty()); // never retransmitted

    // While the host connection is being made: the host socket is closed.
    StartSession();
    Deliver(Packet(PACKET_ACK, 1000));
    Step();
    SendOpen(u"10.1.2.3,80");
    const SOCKET host = m_sockets.LastTcpSocket();
    m_sockets.Socket(host).connectState = 0;
    Step();
    m_sockets.TakeSent();
    m_session->CloseByAdministrator();
    EXPECT_FALSE(m_sockets.IsOpen(host));
    EXPECT_EQ(1001u, SentOne().Number());
    Deliver(Packet(PACKET_ACK, 1001));
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());

    ToData();
    m_session->CloseByAdministrator();
    EXPECT_EQ(1001u, SentOne().Number());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] Session closed by administrator."));
}

TEST_F(ProxySessionTest, HostConnectFailuresSendErrors)
{
    auto expectError = [this](const std::u16string& text) {
        const TunnelPacket error = SentOne();
        EXPECT_EQ(PACKET_ERROR, error.Type());
        EXPECT_EQ(1001u, error.Number());
        EXPECT_EQ(2 * text.size() + 2, error.PayloadLength());
        EXPECT_EQ(0, error.Payload().back());
        EXPECT_EQ(text, DecodeUtf16Payload(error.Payload()));
        EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
    };
    auto toOpen = [this]() {
        m_session.reset();
        StartSession();
        Deliver(Packet(PACKET_ACK, 1000));
        Step();
    };

    toOpen();
    SendOpen(u"10.1.2.3,80");
    m_sockets.Socket(m_sockets.LastTcpSocket()).connectState = -1;
    m_sockets.Socket(m_sockets.LastTcpSocket()).connectError = WSAECONNREFUSED;
    m_sockets.TakeSent();
    Step();
    expectError(u"Network connect error 10061 (WSAECONNREFUSED: Connection refused).");

    // The Open is acknowledged first, then the failure is reported.
    toOpen();
    m_sockets.TakeSent();
    SendOpen(u"no.such.host,80");
    const auto sent = Sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(PACKET_ACK, sent[0].Type());
    EXPECT_EQ(u"Network error, invalid IP address.", DecodeUtf16Payload(sent[1].Payload()));

    // Unreachable for 10 s; the client's packets wait in the socket meanwhile.
    toOpen();
    SendOpen(u"10.1.2.3,80");
    m_sockets.Socket(m_sockets.LastTcpSocket()).connectState = 0;
    m_sockets.TakeSent();
    Deliver(Packet(PACKET_DATA, 2002, Text("early")));
    m_clock.Advance(9999);
    Step();
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(1u, m_sockets.Socket(m_udp).inbox.size());
    m_clock.Advance(1);
    Step();
    expectError(u"Server connect timeout.");
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] Error packet sent (1001): Server connect timeout."));
}

TEST_F(ProxySessionTest, RogueInvalidAndLostPackets)
{
    StartSession();
    m_sockets.TakeSent();
    Deliver(Packet(PACKET_ACK, 1000), MakeSocketAddress(AddressFromBytes(10, 0, 0, 8), 1027));
    Step();
    EXPECT_EQ(CProxySession::STATE_SESSIONID_WACK, m_session->GetState());
    EXPECT_THAT(Log(), HasSubstr("Rogue UDP packet received, ignored (address only). "
                                 "Address = 10.0.0.8:1027"));
    m_session.reset();

    ToData();
    Deliver(Packet(PACKET_DATA, 2002, Text("rogue")), MakeSocketAddress(m_client.address, 5555));
    Deliver(Packet(PACKET_SESSION, 7, Bytes(16, 0)));
    Step(2);
    EXPECT_TRUE(Written().empty());
    EXPECT_TRUE(Sent().empty());
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("Rogue UDP packet received, ignored (address & port). "
                               "Address = 10.0.0.7:5555"));
    EXPECT_THAT(log, HasSubstr("[10.0.0.7:1027] Received UDP packet with unknown type."));

    m_sockets.DeliverError(m_udp, WSAECONNRESET);
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] UDP connection lost, error: 10054. "
                                 "WSAECONNRESET: Connection reset by peer."));
}

TEST_F(ProxySessionTest, SlowHostKeepsEveryByteInOrder)
{
    ToData();
    std::string expected;
    for (uint32_t n = 2002; n < 2012; ++n)
    {
        Host().sendLimit = n % 2 == 0 ? 0 : 3; // held, then written a few bytes at a time
        const std::string chunk = "chunk" + std::to_string(n) + ";";
        expected += chunk;
        Deliver(Packet(PACKET_DATA, n, Text(chunk)));
        Step();
    }
    EXPECT_EQ(expected, Written());

    // Nothing taken: once the backlog is full, data is no longer acknowledged.
    Host().sendLimit = 0;
    Host().written.clear();
    m_sockets.TakeSent();
    const Bytes block(TunnelPacket::MAX_PAYLOAD, 'z');
    const uint32_t full = 2012 + CStreamBacklog::MAX_BYTES / TunnelPacket::MAX_PAYLOAD;
    for (uint32_t n = 2012; n <= full; ++n)
    {
        Deliver(Packet(PACKET_DATA, n, block));
        Step();
    }
    EXPECT_EQ(full - 2012, Sent().size());
    EXPECT_THAT(Log(), HasSubstr("Host not keeping up, data packet (" + std::to_string(full) +
                                 ") not acknowledged"));
    Host().sendLimit = -1;
    Deliver(Packet(PACKET_DATA, full, block)); // the client's retransmission
    Step();
    EXPECT_EQ(full, SentOne().Number());
    EXPECT_EQ((full - 2011) * block.size(), Host().written.size());
}

TEST_F(ProxySessionTest, HeldBytesReachHostAfterClose)
{
    ToData();
    Host().sendLimit = 0;
    Deliver(Packet(PACKET_DATA, 2002, Text("tail bytes")));
    Deliver(Packet(PACKET_CLOSE, 2003));
    Step(2);
    EXPECT_EQ(2u, Sent().size());
    EXPECT_EQ(CProxySession::STATE_DATA, m_session->GetState());
    EXPECT_EQ(CProxySession::HOST_DRAIN_LIMIT_MS, m_session->MsUntilDue(m_clock.TickCount()));
    Deliver(Packet(PACKET_DATA, 2004, Text("ignored")));
    Step();
    EXPECT_TRUE(Written().empty());
    EXPECT_TRUE(Sent().empty()); // the client is no longer read
    Host().sendLimit = -1;
    Step();
    EXPECT_EQ("tail bytes", Written());
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    m_session.reset();

    // A host that never takes them: given up after the drain limit.
    ToData();
    Host().sendLimit = 0;
    Deliver(Packet(PACKET_DATA, 2002, Text("stuck")));
    Deliver(Packet(PACKET_CLOSE, 2003));
    Step(2);
    m_clock.Advance(CProxySession::HOST_DRAIN_LIMIT_MS);
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] 5 bytes for the host were lost."));
    m_session.reset();

    // The host closes while bytes are held: Close once they were written.
    ToData();
    Host().sendLimit = 0;
    Host().peerClosed = true;
    Deliver(Packet(PACKET_DATA, 2002, Text("late")));
    Step(3);
    EXPECT_EQ(1u, Sent().size()); // the ACK only
    Host().sendLimit = -1;
    Step();
    EXPECT_EQ("late", Written());
    EXPECT_EQ(PACKET_CLOSE, SentOne().Type());
}

// A host connection that fails on a write: the bytes held for the host had been
// acknowledged, so their loss is reported at once; the payload that met the failure
// and those after it are not acknowledged; the client is told in an Error packet once
// the server's own packet in flight is acknowledged.
TEST_F(ProxySessionTest, AHostWriteFailureIsReportedAndNothingMoreIsAcknowledged)
{
    ToData();
    Host().inbound = Text("from the host");
    Step();
    EXPECT_EQ(1001u, SentOne().Number());
    Host().sendLimit = 0;
    Deliver(Packet(PACKET_DATA, 2002, Text("held")));
    Step();
    EXPECT_EQ(Packet(PACKET_ACK, 2002), SentBytes());
    Host().sendError = WSAECONNRESET;
    Deliver(Packet(PACKET_DATA, 2003, Text("refused")));
    Step();
    Deliver(Packet(PACKET_DATA, 2003, Text("refused"))); // sent again
    Step();
    EXPECT_TRUE(Sent().empty());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] 4 bytes for the host were lost."));
    EXPECT_EQ(4, m_session->GetStats().m_nBytesReceived);

    Deliver(Packet(PACKET_ACK, 1001));
    Step();
    const TunnelPacket error = SentOne();
    EXPECT_EQ(PACKET_ERROR, error.Type());
    EXPECT_EQ(1002u, error.Number());
    EXPECT_THAT(Log(), HasSubstr("Error packet sent (1002): TCP host connection lost, error: 10054 ("));
    EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
}

TEST_F(ProxySessionTest, WaitsForSocketsAndDeadlines)
{
    StartSession();
    m_clock.Advance(1000);
    EXPECT_EQ(2000u, m_session->MsUntilDue(m_clock.TickCount()));

    m_session.reset();
    ToData();
    EXPECT_EQ(CProxySession::NOT_DUE, m_session->MsUntilDue(m_clock.TickCount()));
    Host().inbound = Text("x");
    Step();
    m_clock.Advance(2000);
    EXPECT_EQ(1001u, m_session->MsUntilDue(m_clock.TickCount())); // once the deadline has passed
    CServerSettings::GetInstance()->Values().clientIdleDisconnect = 3;
    EXPECT_EQ(1000u, m_session->MsUntilDue(m_clock.TickCount())); // the idle limit is due first
}

TEST_F(ProxySessionTest, IdleLimitFiresAtItsExactDeadline)
{
    CServerSettings::GetInstance()->Values().clientIdleDisconnect = 5;
    ToData();
    m_clock.Advance(1234);
    EXPECT_EQ(3766u, m_session->MsUntilDue(m_clock.TickCount()));
    m_clock.Advance(3765);
    Step();
    EXPECT_EQ(CProxySession::STATE_DATA, m_session->GetState());
    m_clock.Advance(1);
    Step();
    EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
    EXPECT_EQ(PACKET_CLOSE, SentOne().Type());
}

TEST_F(ProxySessionTest, OpenBeyondThePortRangeFailsLikeAHostConnect)
{
    StartSession();
    Deliver(Packet(PACKET_ACK, 1000));
    Step();
    m_sockets.TakeSent();
    SendOpen(u"10.1.2.3,65616"); // cut to 16 bits this would be port 80
    const auto sent = Sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(PACKET_ACK, sent[0].Type());
    EXPECT_EQ(2001u, sent[0].Number());
    EXPECT_EQ(PACKET_ERROR, sent[1].Type());
    EXPECT_EQ(1001u, sent[1].Number());
    EXPECT_EQ(u"Network connect error 10049 (WSAEADDRNOTAVAIL: Cannot assign requested address).",
              DecodeUtf16Payload(sent[1].Payload()));
    EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
    EXPECT_EQ(INVALID_SOCKET, m_sockets.LastTcpSocket()); // no connection was tried
}

TEST_F(ProxySessionTest, HostCloseGivesUpHeldBytesAfterTheDrainLimit)
{
    ToData();
    Host().sendLimit = 0;
    Host().peerClosed = true;
    Deliver(Packet(PACKET_DATA, 2002, Text("late")));
    Step();
    EXPECT_EQ(Packet(PACKET_ACK, 2002), SentBytes());
    EXPECT_THAT(Log(), HasSubstr("TCP host gracefully closed the connection."));
    EXPECT_EQ(CProxySession::HOST_DRAIN_LIMIT_MS, m_session->MsUntilDue(m_clock.TickCount()));
    m_clock.Advance(CProxySession::HOST_DRAIN_LIMIT_MS - 1);
    Step();
    EXPECT_TRUE(Sent().empty());
    m_clock.Advance(1);
    Step();
    const TunnelPacket close = SentOne();
    EXPECT_EQ(PACKET_CLOSE, close.Type());
    EXPECT_EQ(1001u, close.Number());
    EXPECT_EQ(CProxySession::STATE_WAITFINALACK, m_session->GetState());
    EXPECT_THAT(Log(), HasSubstr("[10.0.0.7:1027] 4 bytes for the host were lost."));
}

} // namespace

// The client's offer in the Connect is accepted with the same bit in the Session; then
// the Session and a repeated Open are answered until the handshake completes.
TEST_F(ProxySessionTest, FastLinkOfferAcceptedOrRefused)
{
    TunnelPacket connect;
    connect.Build(PACKET_CONNECT, 2000, Bytes(16, 0), TunnelPacket::FLAG_FAST_LINK);
    const auto create = [&]
    {
        m_session = std::make_unique<CProxySession>(m_id, connect.Bytes(), m_client, m_sockets,
                                                    m_clock);
        Step(2);
        m_udp = m_sockets.LastUdpSocket();
        auto sent = Sent();
        EXPECT_EQ(2u, sent.size());
        return sent.back();
    };
    CServerSettings::GetInstance()->Values().fastLink = 0;
    const TunnelPacket refused = create();
    EXPECT_EQ(0, refused.Flags());
    m_clock.Advance(2999);
    Step();
    EXPECT_TRUE(Sent().empty()); // stop-and-wait: never sent again

    CServerSettings::GetInstance()->Values().fastLink = 1;
    const TunnelPacket session = create();
    EXPECT_EQ(TunnelPacket::FLAG_FAST_LINK, session.Flags());
    EXPECT_EQ(PACKET_SESSION, session.Type());
    m_clock.Advance(1000); // no round trip measured yet
    Step();
    EXPECT_TRUE(Sent().empty());
    m_clock.Advance(1);
    Step();
    const TunnelPacket again = SentOne();
    EXPECT_TRUE(std::ranges::equal(session.Bytes(), again.Bytes()));
    m_clock.Advance(1999); // backed off to 2000 ms: the handshake deadline comes first
    Step();
    EXPECT_EQ(CProxySession::STATE_EXIT, m_session->GetState());
    EXPECT_TRUE(Sent().empty());

    create();
    Deliver(Packet(PACKET_ACK, 1000));
    Step();
    SendOpen(u"10.1.2.3,80");
    Step();
    EXPECT_EQ(CProxySession::STATE_DATA, m_session->GetState());
    const SOCKET host = m_sockets.LastTcpSocket();
    EXPECT_EQ(Packet(PACKET_ACK, 2001), SentBytes());
    SendOpen(u"10.1.2.3,80"); // the client did not hear the ACK
    EXPECT_EQ(Packet(PACKET_ACK, 2001), SentBytes());
    EXPECT_EQ(host, m_sockets.LastTcpSocket());
}
