#include "server/ClientUDPListener.h"

#include <array>

CClientUDPListener::~CClientUDPListener() { Close(); }

bool CClientUDPListener::Open(int port)
{
    if (IsOpen() || port <= 0 || port > 65535)
        return false;
    const SOCKET s = m_sockets.CreateUdpSocket();
    if (s == INVALID_SOCKET)
        return false;
    if (!m_sockets.SetNonBlocking(s) ||
        !m_sockets.Bind(s, MakeSocketAddress(0, static_cast<uint16_t>(port))))
    {
        m_sockets.Close(s);
        return false;
    }
    m_socket = s;
    m_nPort = port;
    return true;
}

void CClientUDPListener::Close()
{
    if (IsOpen())
        m_sockets.Close(m_socket);
    m_socket = INVALID_SOCKET;
}

bool CClientUDPListener::Receive()
{
    if (!IsOpen())
        return false;
    m_bPacketReceived = false;
    m_addrSender = SocketAddress{};
    m_sockets.SetLastError(0);
    std::array<uint8_t, TunnelPacket::MAX_SIZE> buffer{};
    SocketAddress sender;
    int addressLength = 0;
    const int received = m_sockets.RecvFrom(m_socket, buffer, sender, addressLength);
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
    return IsOpen() && m_sockets.SendTo(m_socket, datagram, to) == static_cast<int>(datagram.size());
}
