#include "tunnel/LinkEndpoint.h"

#include "common/Log.h"
#include "common/Network.h"
#include "support/FakeSocketLayer.h"
#include "support/TestSupport.h"
#include "tunnel/LinkLog.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/ProxyStats.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using ::testing::HasSubstr;
using tq_test::FakeSocketLayer;
using Bytes = std::vector<uint8_t>;

namespace
{

Bytes Packet(uint8_t type, uint32_t number, const Bytes& payload = {})
{
    TunnelPacket packet;
    packet.Build(type, number, payload);
    return {packet.Bytes().begin(), packet.Bytes().end()};
}

// The lines go to the log file with a marker, the sender as "<address>/<mode>".
class MarkedLog : public ILinkLog
{
public:
    void LinkLine(int level, const char* text) override
    {
        CLog::GetInstance()->Print(level, "link: %s", text);
    }
    std::string SenderText(const SocketAddress& from, bool addressOnly) const override
    {
        return FormatAddress(from) + (addressOnly ? "/address" : "/whole");
    }
};

class LinkEndpointTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CLog::GetInstance()->SetFilename(m_dir.File("link.txt"));
        CLog::GetInstance()->SetLogLevel(CLog::LEVEL_DEBUG);
        Make(PacketReceiver::ServerSession);
    }
    void TearDown() override
    {
        m_link.reset();
        CLog::DestroyInstance();
    }
    void Make(PacketReceiver rules)
    {
        m_link.reset();
        m_link = std::make_unique<CLinkEndpoint>(m_sockets, m_stats, m_log, rules, 1000, 2000);
        m_udp = m_sockets.CreateUdpSocket();
        m_link->Open(m_udp, m_peer);
    }
    void At(uint32_t now) { m_link->SetNow(now); }
    CLinkEndpoint::Receipt Receive(const Bytes& datagram, bool adoptPort = false)
    {
        return Receive(datagram, m_peer, adoptPort);
    }
    CLinkEndpoint::Receipt Receive(const Bytes& datagram, const SocketAddress& from,
                                   bool adoptPort = false)
    {
        m_sockets.Deliver(m_udp, datagram, from);
        return m_link->Receive(adoptPort);
    }
    Bytes SentOne()
    {
        const auto sent = m_sockets.TakeSent();
        EXPECT_EQ(1u, sent.size());
        return sent.empty() ? Bytes() : sent.front().data;
    }
    std::string Log() const { return tq_test::ReadFile(m_dir.File("link.txt")); }

    tq_test::TempDir m_dir;
    FakeSocketLayer m_sockets;
    CProxyStats m_stats;
    MarkedLog m_log;
    SocketAddress m_peer = MakeSocketAddress(AddressFromBytes(10, 0, 0, 7), 1027);
    SOCKET m_udp = INVALID_SOCKET;
    std::unique_ptr<CLinkEndpoint> m_link;
};

using Receipt = CLinkEndpoint::Receipt;

TEST_F(LinkEndpointTest, ResendsTheSamePacketUntilItsAckWithoutLimit)
{
    At(100);
    m_link->SendNumbered(PACKET_DATA, Bytes{'a', 'b', 'c'});
    const Bytes first = SentOne();
    EXPECT_EQ(Packet(PACKET_DATA, 1000, {'a', 'b', 'c'}), first);
    EXPECT_FALSE(m_link->CanSend());
    for (uint32_t timeout = 1; timeout <= 8; ++timeout)
    {
        const uint32_t sentAt = 100 + (timeout - 1) * 3001;
        At(sentAt + 3000); // reached is not passed
        EXPECT_FALSE(m_link->AckOverdue());
        EXPECT_EQ(1u, m_link->MsUntilAckOverdue(sentAt + 3000));
        At(sentAt + 3001);
        ASSERT_TRUE(m_link->AckOverdue());
        m_link->NoteTimeout();
        m_link->Resend();
        EXPECT_EQ(first, SentOne()); // same number, same checksum
        EXPECT_EQ(static_cast<int>(timeout), m_stats.m_nTimeouts);
    }
    EXPECT_THAT(Log(), HasSubstr("link: Timeout, re-sending data packet (1000)"));

    // ACKs: none expected, a wrong number, then the right one with its round trip.
    At(30000);
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_ACK, 999)));
    EXPECT_FALSE(m_link->HandleAck());
    EXPECT_EQ(1, m_stats.m_nAckErrors1);
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_ACK, 1000)));
    EXPECT_TRUE(m_link->HandleAck());
    EXPECT_THAT(Log(), HasSubstr("link: Received ACK for packet 1000 (RTT = 5892)"));
    EXPECT_TRUE(m_link->CanSend());
    EXPECT_FALSE(m_link->AckOverdue());
    EXPECT_EQ(1001u, m_link->SendNumber());
    EXPECT_EQ(3, m_stats.m_nBytesSent);
    EXPECT_EQ(1, m_stats.m_nDataPacketsSent);
    EXPECT_EQ(1, m_stats.m_nAcksReceived);
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_ACK, 1000)));
    EXPECT_FALSE(m_link->HandleAck());
    EXPECT_EQ(1, m_stats.m_nAckErrors2);
    EXPECT_THAT(Log(), HasSubstr("link: Received ACK unexpectedly (1000)"));
}

TEST_F(LinkEndpointTest, TakesPacketsInOrderAndAcksADuplicateAgain)
{
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_DATA, 2001, {'x'})));
    EXPECT_EQ(CLinkEndpoint::Order::Next, m_link->CheckOrder());
    m_link->AcceptPacket();
    EXPECT_EQ(Packet(PACKET_ACK, 2001), SentOne());
    EXPECT_EQ(2001u, m_link->ReceiveNumber());

    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_DATA, 2001, {'x'})));
    EXPECT_EQ(CLinkEndpoint::Order::Duplicate, m_link->CheckOrder());
    EXPECT_EQ(Packet(PACKET_ACK, 2001), SentOne());
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_DATA, 2005, {'y'})));
    EXPECT_EQ(CLinkEndpoint::Order::OutOfSynch, m_link->CheckOrder());
    EXPECT_TRUE(m_sockets.TakeSent().empty());
    EXPECT_EQ(1, m_stats.m_nDuplicateData);
    EXPECT_EQ(1, m_stats.m_nOutOfSynchData);
    EXPECT_EQ(1, m_stats.m_nAcksSent); // the duplicate's ACK is not counted
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("link: ACK sent (2001)"));
    EXPECT_THAT(log, HasSubstr("link: Received duplicate data packet (2001), ACKing it again"));
    EXPECT_THAT(log, HasSubstr("link: Received out of synch data packet (2005)"));

    // A handshake ACK frees the slot and names what it acknowledged.
    m_link->SendNumbered(PACKET_OPEN);
    m_sockets.TakeSent();
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_ACK, 999)));
    EXPECT_FALSE(m_link->TakeAckOf("Open "));
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_ACK, 1000)));
    EXPECT_TRUE(m_link->TakeAckOf("Open "));
    EXPECT_TRUE(m_link->CanSend());
    EXPECT_THAT(Log(), HasSubstr("link: Received ACK for Open packet (1000)"));
}

TEST_F(LinkEndpointTest, IgnoresOtherSendersAndBadDatagrams)
{
    const SocketAddress otherPort = MakeSocketAddress(m_peer.address, 5555);
    EXPECT_EQ(Receipt::Nothing, Receive(Packet(PACKET_ACK, 1), otherPort));
    EXPECT_EQ(Receipt::Nothing,
              Receive(Packet(PACKET_ACK, 1), MakeSocketAddress(AddressFromBytes(10, 0, 0, 8), 1027),
                      true));
    // With adoptPort the peer's new port is taken and answered.
    EXPECT_EQ(Receipt::Packet, Receive(Packet(PACKET_ACK, 1), otherPort, true));
    EXPECT_EQ("10.0.0.7:5555", m_link->PeerText());
    m_link->SendAck(1);
    EXPECT_EQ(otherPort, m_sockets.TakeSent().at(0).address);
    Bytes broken = Packet(PACKET_DATA, 2001, {'z'});
    broken[1] = 1;
    EXPECT_EQ(Receipt::Nothing, Receive(broken, otherPort));
    m_sockets.Deliver(m_udp, Packet(PACKET_ACK, 1), otherPort);
    m_sockets.Socket(m_udp).inbox.back().addressLength = 8;
    EXPECT_EQ(Receipt::Nothing, m_link->Receive(false));
    m_sockets.DeliverError(m_udp, WSAECONNRESET);
    EXPECT_EQ(Receipt::Failed, m_link->Receive(false));
    EXPECT_EQ(WSAECONNRESET, m_link->ReceiveError());
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("link: Rogue UDP packet received, ignored (address & port). "
                               "Address = 10.0.0.7:5555/whole"));
    EXPECT_THAT(log, HasSubstr("link: Rogue UDP packet received, ignored (address only). "
                               "Address = 10.0.0.8:1027/address"));
    EXPECT_THAT(log, HasSubstr("PacketNo: 1")); // the rogue packet is dumped
    EXPECT_THAT(log, HasSubstr("link: Invalid UDP packet ignored."));
    EXPECT_THAT(log, HasSubstr("link: Invalid address type of UDP packet."));

    // Watched by a loop, the socket is read only once it was reported readable.
    m_link->SetWatched();
    m_sockets.Deliver(m_udp, Packet(PACKET_ACK, 1), otherPort);
    EXPECT_EQ(Receipt::Nothing, m_link->Receive(false));
    m_link->SetReadable(true);
    EXPECT_EQ(Receipt::Packet, m_link->Receive(false));
}

TEST_F(LinkEndpointTest, OnlyAClientHearsThatItsServerHoldsNoSession)
{
    const Bytes notice = Packet(PACKET_NOSESSION, 0);
    const SocketAddress clientPort = MakeSocketAddress(m_peer.address, 7000);
    EXPECT_EQ(Receipt::Nothing, Receive(notice)); // not valid for a server session
    Make(PacketReceiver::Client);
    EXPECT_EQ(Receipt::Nothing,
              Receive(notice, MakeSocketAddress(AddressFromBytes(10, 0, 0, 9), 7000)));
    EXPECT_EQ(Receipt::NoSession, Receive(notice, clientPort));
}

} // namespace
