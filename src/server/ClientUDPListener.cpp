#include "server/ClientUDPListener.h"

#include <array>

CClientUDPListener::~CClientUDPListener() { Close(); }

bool CClientUDPListener::Open(int port)
{
    if (IsOpen() || port <= 0 || port > 65535)
        return false;
    const SOCKET s = SocketCreateUdp();
    if (s == INVALID_SOCKET)
        return false;
    if (!SocketSetBlocking(s, false) ||
        !SocketBind(s, MakeSocketAddress(0, static_cast<uint16_t>(port))))
    {
        SocketClose(s);
        return false;
    }
    m_socket = s;
    m_nPort = port;
    return true;
}

void CClientUDPListener::Close()
{
    if (IsOpen())
        SocketClose(m_socket);
    m_socket = INVALID_SOCKET;
}

bool CClientUDPListener::Receive()
{
    if (!IsOpen())
        return false;
    m_bPacketReceived = false;
    m_addrSender = SocketAddress{};
    WSASetLastError(0);
    std::array<uint8_t, TunnelPacket::MAX_SIZE> buffer{};
    SocketAddress sender;
    int addressLength = 0;
    const int received = SocketRecvFrom(m_socket, buffer, sender, addressLength);
    if (received > 0)
    {
        m_packet.Assign(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(received)));
        m_addrSender = sender;
        m_bPacketReceived = true;
    }
    return true;
}

bool CClientUDPListener::SendTo(std::span<const uint8_t> datagram, const SocketAddress& to)
{
    return IsOpen() && SocketSendTo(m_socket, datagram, to) == static_cast<int>(datagram.size());
}
