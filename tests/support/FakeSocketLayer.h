#pragma once
// A socket layer without a network, for driving a tunnel session step by step.
// UDP sockets have an inbox of datagrams (or injected errors) and record what they
// send; TCP sockets have an inbound byte stream, a closed flag or error, and record
// what is written, optionally taking only a few bytes per call. Listening sockets
// hand out queued connections. Readiness is that of EmulatedSocketLayer; as a test
// changes a socket directly, each wait first marks what changed since the last one:
// newly readable (or more bytes or connections arrived), newly writable.
#include "support/EmulatedSocketLayer.h"

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace tq_test
{

class FakeSocketLayer : public EmulatedSocketLayer
{
public:
    struct Datagram
    {
        SOCKET socket = INVALID_SOCKET; // the sending socket
        SocketAddress address; // destination (sent) or sender (received)
        std::vector<uint8_t> data;
        int error = 0; // a queued receive error instead of a datagram
        int addressLength = 16;
    };

    struct FakeSocket
    {
        bool udp = false;
        bool open = true;
        bool nonBlocking = false;
        // UDP
        std::deque<Datagram> inbox;
        // TCP
        std::vector<uint8_t> inbound; // bytes the peer sent, not read yet
        bool peerClosed = false; // recv returns 0 once inbound is empty
        int recvError = 0; // recv fails with this once inbound is empty
        std::vector<uint8_t> written; // bytes the program wrote
        int sendLimit = -1; // bytes taken per Send; 0 = would block; -1 = all
        int sendError = 0; // Send fails with this
        // connect
        bool connectStarted = false;
        SocketAddress connectAddress;
        int connectState = 1; // ConnectProgress: 1 connected, 0 pending, -1 failed
        int connectError = 0;
        // bind / listen / accept
        SocketAddress bound;
        bool listening = false;
        std::deque<std::pair<SOCKET, SocketAddress>> pendingAccepts;
        // what the last wait saw
        size_t seenCount = 0; // inbound bytes, or pending connections
        bool seenReadable = false;
        bool seenWritable = false;
    };

    // ISocketLayer
    SOCKET CreateUdpSocket() override;
    SOCKET CreateTcpSocket() override;
    bool SetNonBlocking(SOCKET s) override;
    bool SetBlocking(SOCKET s) override;
    bool SetReuseAddress(SOCKET) override { return true; }
    bool Bind(SOCKET s, const SocketAddress& address) override;
    bool Listen(SOCKET s, int backlog) override;
    SOCKET Accept(SOCKET s, SocketAddress& peer) override;
    int SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to) override;
    int RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                 int& addressLength) override;
    int Send(SOCKET s, std::span<const uint8_t> data) override;
    int Recv(SOCKET s, std::span<uint8_t> buffer) override;
    int Connect(SOCKET s, const SocketAddress& address) override;
    int ConnectProgress(SOCKET s, int& error) override;
    void Close(SOCKET s) override;
    void WaitReady(uint32_t timeoutMs, std::vector<SocketReadiness>& ready) override;

    // Test controls.
    // Registers an already connected TCP socket (an accepted application socket).
    SOCKET AddTcpSocket();
    FakeSocket& Socket(SOCKET s) { return m_sockets.at(s); }
    bool IsOpen(SOCKET s) const override;
    void Deliver(SOCKET s, std::span<const uint8_t> datagram, const SocketAddress& from);
    void DeliverError(SOCKET s, int error);
    // Datagrams sent since the last TakeSent, in order.
    std::vector<Datagram> TakeSent();
    const std::vector<Datagram>& Sent() const { return m_sent; }
    SOCKET LastUdpSocket() const { return m_lastUdp; }
    // The open socket bound to `port` (host order), or INVALID_SOCKET.
    SOCKET BoundTo(uint16_t port, bool udp) const;
    // A connection from `peer` waiting in a listening socket; returns its socket.
    SOCKET QueueConnection(SOCKET listener, const SocketAddress& peer);
    // Ports that Bind refuses (WSAEADDRINUSE).
    std::vector<uint16_t> m_takenPorts;
    SOCKET LastTcpSocket() const { return m_lastTcp; }

    bool m_bFailCreateUdp = false;
    bool m_bFailCreateTcp = false;

protected:
    bool IsReadable(SOCKET s) const override;
    bool IsWritable(SOCKET s) const override;

private:
    SOCKET NewSocket(bool udp);
    static size_t InboundCount(const FakeSocket& fs);
    std::map<SOCKET, FakeSocket> m_sockets;
    std::vector<Datagram> m_sent;
    SOCKET m_nextSocket = 100;
    SOCKET m_lastUdp = INVALID_SOCKET;
    SOCKET m_lastTcp = INVALID_SOCKET;
};

} // namespace tq_test
