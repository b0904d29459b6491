#include "tunnel/LinkEndpoint.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "tunnel/FastLinkPolicy.h"
#include "tunnel/LinkLog.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/ProxyStats.h"
#include "tunnel/StopAndWait.h"

#include <algorithm>

namespace
{

constexpr int SOCKET_ADDRESS_LENGTH = static_cast<int>(sizeof(SocketAddress));

int AsInt(uint32_t number)
{
    return static_cast<int>(number);
}

} // namespace

CLinkEndpoint::CLinkEndpoint(ISocketLayer& sockets, CProxyStats& stats, ILinkLog& log,
                             PacketReceiver rules, uint32_t sendNumber, uint32_t receiveNumber,
                             const SocketAddress& peer, std::unique_ptr<ISendPolicy> policy)
    : m_sockets(sockets), m_stats(stats), m_log(log), m_logger(*CLog::GetInstance()),
      m_policy(policy ? std::move(policy) : std::make_unique<CStopAndWait>()), m_rules(rules),
      m_peer(peer), m_peerText(FormatAddress(peer)), m_nSendNumber(sendNumber),
      m_nReceiveNumber(receiveNumber)
{
    // One slot: more packets in flight need more slots first.
    TQ_ASSERT(m_policy->Window() == 1);
}

CLinkEndpoint::~CLinkEndpoint()
{
    Close();
}

void CLinkEndpoint::Open(SOCKET socket, const SocketAddress& peer)
{
    Close();
    m_socket = socket;
    m_peer = peer;
    m_peerText = FormatAddress(peer);
}

void CLinkEndpoint::Close()
{
    if (m_socket != INVALID_SOCKET)
        m_sockets.Close(m_socket);
    m_socket = INVALID_SOCKET;
    m_bInFlight = false;
}

// ---- Sending ------------------------------------------------------------------------

bool CLinkEndpoint::CanSend() const
{
    return (m_bInFlight ? 1u : 0u) < m_policy->Window();
}

void CLinkEndpoint::UseFastLink()
{
    m_policy = std::make_unique<CFastLinkPolicy>();
    m_bFastLink = true;
    TQ_ASSERT(m_policy->Window() == 1);
}

void CLinkEndpoint::SendNumbered(uint8_t type, std::span<const uint8_t> payload, uint8_t flags)
{
    m_sendPacket.Build(type, m_nSendNumber, payload, flags);
    m_bResent = false;
    Transmit();
}

void CLinkEndpoint::Resend()
{
    m_bResent = true;
    Transmit();
}

void CLinkEndpoint::ResendBackingOff()
{
    m_policy->TimedOut();
    Resend();
}

void CLinkEndpoint::Transmit()
{
    m_sockets.SendTo(m_socket, m_sendPacket.Bytes(), m_peer);
    m_stats.Send(m_dwNow);
    m_bInFlight = true;
    m_dwAckDeadline = m_dwNow + m_policy->RetransmitTimeoutMs();
}

bool CLinkEndpoint::AckOverdue() const
{
    return m_bInFlight && TickPassed(m_dwNow, m_dwAckDeadline);
}

bool CLinkEndpoint::FinalResendDue() const
{
    return m_bFastLink && AckOverdue() && !TickPassed(m_dwNow, m_dwFinalDeadline);
}

// Once the tick count is later than the deadline.
uint32_t CLinkEndpoint::MsUntilAckOverdue(uint32_t now) const
{
    return TickRemaining(now, m_dwAckDeadline + 1);
}

void CLinkEndpoint::NoteTimeout()
{
    m_stats.Timeout();
    m_policy->TimedOut();
    m_log.LogLine(CLog::LEVEL_DEBUG, "Timeout, re-sending data packet (%d)", AsInt(m_nSendNumber));
}

void CLinkEndpoint::SendAck(uint32_t number)
{
    TunnelPacket ack;
    ack.Build(PACKET_ACK, number);
    m_sockets.SendTo(m_socket, ack.Bytes(), m_peer);
}

void CLinkEndpoint::Acknowledge(uint32_t number)
{
    SendAck(number);
    m_log.LogLine(CLog::LEVEL_DEBUG, "ACK sent (%d)", AsInt(number));
}

// ---- Receiving ----------------------------------------------------------------------

CLinkEndpoint::Receipt CLinkEndpoint::Receive(bool adoptPort)
{
    if (m_bWatched)
    {
        // Nothing was reported: the read would only find an empty queue.
        if (!m_bReadable)
            return Receipt::Nothing;
        m_bReadable = false;
    }
    SocketAddress from;
    int addressLength = SOCKET_ADDRESS_LENGTH;
    m_sockets.SetLastError(0);
    const int received =
        m_sockets.RecvFrom(m_socket, m_receivePacket.Buffer(), from, addressLength);
    if (received < 0)
    {
        m_nReceiveError = m_sockets.GetLastError();
        return Receipt::Failed;
    }
    const std::span<const uint8_t> datagram = m_receivePacket.Buffer().first(
        std::min(static_cast<size_t>(received), TunnelPacket::MAX_SIZE));
    m_receivePacket.SetLength(datagram.size());
    if (addressLength != SOCKET_ADDRESS_LENGTH || from.family != AF_INET_FAMILY)
    {
        m_log.LogLine(CLog::LEVEL_DEBUG, "Invalid address type of UDP packet.");
        return Receipt::Nothing;
    }
    // Only a client is told that its server holds no session; the notice is not
    // acknowledged, so it is checked before anything else.
    if (m_rules == PacketReceiver::Client && datagram.size() == TunnelPacket::HEADER_SIZE &&
        m_receivePacket.Type() == PACKET_NOSESSION)
    {
        if (!m_receivePacket.IsValidFor(m_rules))
            return Receipt::Nothing;
        if (from.address == m_peer.address)
            return Receipt::NoSession;
    }
    if (!AcceptSender(from, adoptPort, datagram))
        return Receipt::Nothing;
    if (!m_receivePacket.IsValidFor(m_rules))
    {
        m_log.LogLine(CLog::LEVEL_DEBUG, "Invalid UDP packet ignored.");
        return Receipt::Nothing;
    }
    return Receipt::Packet;
}

// Without adoptPort the whole sender address must be the peer's; with it the IPv4
// address must be, and the peer's port becomes the sender's.
bool CLinkEndpoint::AcceptSender(const SocketAddress& from, bool adoptPort,
                                 std::span<const uint8_t> datagram)
{
    const bool same = adoptPort ? from.address == m_peer.address : from == m_peer;
    if (!same)
    {
        m_log.LogLine(CLog::LEVEL_DEBUG, "Rogue UDP packet received, ignored (%s). Address = %s",
                      adoptPort ? "address only" : "address & port",
                      m_log.SenderText(from, adoptPort).c_str());
        DumpPacket(m_logger, datagram);
        return false;
    }
    if (adoptPort && from.port != m_peer.port)
    {
        m_peer.port = from.port;
        m_peerText = FormatAddress(m_peer);
    }
    return true;
}

bool CLinkEndpoint::TakeAckOf(const char* what)
{
    if (m_receivePacket.Type() != PACKET_ACK || m_receivePacket.Number() != m_nSendNumber)
        return false;
    m_log.LogLine(CLog::LEVEL_DEBUG, "Received ACK for %spacket (%d)", what, AsInt(m_nSendNumber));
    TakeSample();
    ++m_nSendNumber;
    m_bInFlight = false;
    return true;
}

bool CLinkEndpoint::HandleAck()
{
    const uint32_t number = m_receivePacket.Number();
    if (!m_bInFlight)
    {
        m_log.LogLine(CLog::LEVEL_DEBUG, "Received ACK unexpectedly (%d)", AsInt(number));
        CProxyStats::Count(m_stats.m_nAckErrors2);
        return false;
    }
    if (number != m_nSendNumber)
    {
        m_log.LogLine(CLog::LEVEL_DEBUG, "Received out of synch ACK (%d)", AsInt(number));
        CProxyStats::Count(m_stats.m_nAckErrors1);
        return false;
    }
    const uint32_t roundTrip = m_dwNow - m_stats.m_dwLastSendTime;
    m_log.LogLine(CLog::LEVEL_DEBUG, "Received ACK for packet %d (RTT = %d)", AsInt(number),
                  AsInt(roundTrip));
    TakeSample();
    ++m_nSendNumber;
    m_bInFlight = false;
    m_stats.AckReceived(m_dwNow, static_cast<int>(m_sendPacket.PayloadLength()));
    CProxyStats::Count(m_stats.m_nDataPacketsSent);
    CProxyStats::Count(m_stats.m_nAcksReceived);
    return true;
}

// Only a packet sent once tells its round trip (an ACK of a re-sent one may answer
// either transmission).
void CLinkEndpoint::TakeSample()
{
    if (m_bInFlight && !m_bResent)
        m_policy->Acknowledged(m_dwNow - m_stats.m_dwLastSendTime);
}

CLinkEndpoint::Order CLinkEndpoint::CheckOrder()
{
    const uint32_t number = m_receivePacket.Number();
    if (number == m_nReceiveNumber)
    {
        m_log.LogLine(CLog::LEVEL_DEBUG, "Received duplicate data packet (%d), ACKing it again",
                      AsInt(number));
        SendAck(number);
        CProxyStats::Count(m_stats.m_nDuplicateData);
        return Order::Duplicate;
    }
    if (number != m_nReceiveNumber + 1)
    {
        m_log.LogLine(CLog::LEVEL_DEBUG, "Received out of synch data packet (%d)", AsInt(number));
        CProxyStats::Count(m_stats.m_nOutOfSynchData);
        return Order::OutOfSynch;
    }
    return Order::Next;
}

void CLinkEndpoint::AcceptPacket()
{
    m_nReceiveNumber = m_receivePacket.Number();
    Acknowledge(m_nReceiveNumber);
    CProxyStats::Count(m_stats.m_nAcksSent);
}
