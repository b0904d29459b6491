#pragma once
// One end of the tunnel link on its UDP socket: the send and receive numbers, the
// numbered packet in flight and its retransmission time, ACKs both ways, and the
// checks on what arrives (sender, validity, order). The session on top keeps its own
// states; this is the part the client and a server session share. How packets are
// paced comes from an ISendPolicy.
#include "platform/SocketLayer.h"
#include "tunnel/LinkTiming.h"
#include "tunnel/SendPolicy.h"
#include "tunnel/TunnelPacket.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

class CLog;
class CProxyStats;
class ILinkLog;

class CLinkEndpoint
{
public:
    // What one receive attempt found.
    enum class Receipt
    {
        Packet,   // a valid packet from the peer is in Packet()
        Nothing,  // nothing usable: empty queue, or a datagram ignored (and logged)
        Failed,   // the read failed with ReceiveError()
        NoSession // the peer's address says it holds no session for this client
    };
    // Where a numbered packet from the peer stands against the receive number.
    enum class Order
    {
        Next,      // the packet that comes next
        Duplicate, // the one before, again: ACKed again and counted
        OutOfSynch // anything else: counted and dropped
    };

    // `rules` are the validity rules of this side; the numbers are the first numbers
    // of this side's sending and the peer's.
    CLinkEndpoint(ISocketLayer& sockets, CProxyStats& stats, ILinkLog& log, PacketReceiver rules,
                  uint32_t sendNumber, uint32_t receiveNumber, const SocketAddress& peer = {},
                  std::unique_ptr<ISendPolicy> policy = nullptr);
    ~CLinkEndpoint();
    CLinkEndpoint(const CLinkEndpoint&) = delete;
    CLinkEndpoint& operator=(const CLinkEndpoint&) = delete;

    // Takes the socket, which talks to `peer`; Close closes it and forgets the packet
    // in flight.
    void Open(SOCKET socket, const SocketAddress& peer);
    void Close();
    SOCKET Socket() const { return m_socket; }
    const SocketAddress& Peer() const { return m_peer; }
    // "a.b.c.d:port" of the peer, following a port taken from it.
    const std::string& PeerText() const { return m_peerText; }
    // The tick count of the step in progress.
    void SetNow(uint32_t now) { m_dwNow = now; }
    // With readiness watched by a loop, a receive reads only after SetReadable.
    void SetWatched() { m_bWatched = true; }
    void SetReadable(bool readable) { m_bReadable = m_bReadable || readable; }

    // From now on the link paces itself as the fast link (both ends agreed on it).
    void UseFastLink();
    bool FastLink() const { return m_bFastLink; }
    // The packet sent last (the Connect, while the client waits for its Session)
    // offered the fast link.
    bool FastLinkOffered() const
    {
        return (m_sendPacket.Flags() & TunnelPacket::FLAG_FAST_LINK) != 0;
    }

    // ---- Sending
    // The policy lets one more numbered packet go out now.
    bool CanSend() const;
    // A numbered packet waits for its ACK.
    bool InFlight() const { return m_bInFlight; }
    // The number of the packet in flight, or of the next one once that is acknowledged.
    uint32_t SendNumber() const { return m_nSendNumber; }
    void SendNumbered(uint8_t type, std::span<const uint8_t> payload = {}, uint8_t flags = 0);
    // The packet in flight again, unchanged: same number, same checksum.
    void Resend();
    // Resend of a handshake or final packet: the timeout doubles as after a data
    // packet's timeout, but no data timeout is counted.
    void ResendBackingOff();
    // The packet in flight has waited its whole timeout; NoteTimeout counts that and
    // logs the resend that the caller makes next.
    bool AckOverdue() const;
    uint32_t MsUntilAckOverdue(uint32_t now) const;
    void NoteTimeout();
    // The packet just sent ends the session (Close, Error): the wait for its ACK ends at
    // the stop-and-wait retransmission time, and the fast link sends it again until then.
    void MarkFinal() { m_dwFinalDeadline = m_dwNow + link_timing::kRetransmitMs; }
    bool FinalResendDue() const;
    void SendAck(uint32_t number);
    // SendAck with its "ACK sent" line.
    void Acknowledge(uint32_t number);

    // ---- Receiving
    Receipt Receive(bool adoptPort);
    // A datagram of the peer's that arrived another way (at the server's client port).
    void Take(std::span<const uint8_t> datagram) { m_receivePacket.Assign(datagram); }
    int ReceiveError() const { return m_nReceiveError; }
    const TunnelPacket& Packet() const { return m_receivePacket; }
    uint32_t ReceiveNumber() const { return m_nReceiveNumber; }
    void SetReceiveNumber(uint32_t number) { m_nReceiveNumber = number; }
    // Whether the received packet ACKs the packet in flight; if so the slot is free
    // and the line "Received ACK for <what>packet (n)" is logged.
    bool TakeAckOf(const char* what);
    // An ACK in the Data state: checked against the packet in flight, logged with its
    // round trip, counted. True when it freed the slot.
    bool HandleAck();
    // Checks a received numbered Data packet's number (see Order).
    Order CheckOrder();
    // The received packet is taken: the receive number moves on and it is ACKed.
    void AcceptPacket();

private:
    void Transmit();
    void TakeSample();
    bool AcceptSender(const SocketAddress& from, bool adoptPort, std::span<const uint8_t> datagram);

    ISocketLayer& m_sockets;
    CProxyStats& m_stats;
    ILinkLog& m_log;
    CLog& m_logger;
    std::unique_ptr<ISendPolicy> m_policy;
    PacketReceiver m_rules;

    SOCKET m_socket = INVALID_SOCKET;
    SocketAddress m_peer;
    std::string m_peerText;
    uint32_t m_nSendNumber;
    uint32_t m_nReceiveNumber;
    TunnelPacket m_sendPacket;
    TunnelPacket m_receivePacket;
    bool m_bInFlight = false;
    // The packet in flight went out more than once: its ACK gives no round trip sample.
    bool m_bResent = false;
    bool m_bFastLink = false;
    uint32_t m_dwAckDeadline = 0;
    uint32_t m_dwFinalDeadline = 0;
    int m_nReceiveError = 0;
    uint32_t m_dwNow = 0;
    bool m_bWatched = false;
    bool m_bReadable = false;
};
