#pragma once
// The server's UDP socket on ClientPort: receives one datagram per poll.
#include "platform/SocketLayer.h"
#include "tunnel/TunnelPacket.h"

class CClientUDPListener
{
public:
    explicit CClientUDPListener(ISocketLayer& sockets = CSystemSocketLayer::Instance())
        : m_sockets(sockets)
    {
    }
    ~CClientUDPListener();
    CClientUDPListener(const CClientUDPListener&) = delete;
    CClientUDPListener& operator=(const CClientUDPListener&) = delete;

    // Binds a non-blocking UDP socket to every local address and `port`.
    bool Open(int port);
    void Close();
    bool IsOpen() const { return m_socket != INVALID_SOCKET; }
    SOCKET GetSocket() const { return m_socket; }
    int GetPort() const { return m_nPort; }
    // Reads at most one datagram into m_packet; false only when the socket is not open.
    // A read error or an empty queue leaves m_bPacketReceived false.
    bool Receive();
    bool SendTo(std::span<const uint8_t> datagram, const SocketAddress& to);

    bool m_bPacketReceived = false;
    SocketAddress m_addrSender;
    TunnelPacket m_packet;

private:
    ISocketLayer& m_sockets;
    SOCKET m_socket = INVALID_SOCKET;
    int m_nPort = 0;
};
