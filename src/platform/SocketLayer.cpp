#include "platform/SocketLayer.h"

CSystemSocketLayer& CSystemSocketLayer::Instance()
{
    static CSystemSocketLayer layer;
    return layer;
}

SOCKET CSystemSocketLayer::CreateUdpSocket()
{
    return SocketCreateUdp();
}

SOCKET CSystemSocketLayer::CreateTcpSocket()
{
    return SocketCreateTcp();
}

bool CSystemSocketLayer::SetNonBlocking(SOCKET s)
{
    return SocketSetBlocking(s, false);
}

int CSystemSocketLayer::SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to)
{
    return SocketSendTo(s, data, to);
}

int CSystemSocketLayer::RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                                 int& addressLength)
{
    return SocketRecvFrom(s, buffer, from, addressLength);
}

int CSystemSocketLayer::Send(SOCKET s, std::span<const uint8_t> data)
{
    return SocketSend(s, data);
}

int CSystemSocketLayer::Recv(SOCKET s, std::span<uint8_t> buffer)
{
    return SocketRecv(s, buffer);
}

int CSystemSocketLayer::Connect(SOCKET s, const SocketAddress& address)
{
    return SocketConnect(s, address);
}

int CSystemSocketLayer::ConnectProgress(SOCKET s, int& error)
{
    return SocketConnectProgress(s, error);
}

void CSystemSocketLayer::Close(SOCKET s)
{
    SocketClose(s);
}

int CSystemSocketLayer::GetLastError()
{
    return WSAGetLastError();
}

void CSystemSocketLayer::SetLastError(int code)
{
    WSASetLastError(code);
}

bool CSystemSocketLayer::ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder)
{
    const uint32_t parsed = ParseDottedAddress(host);
    if (parsed != 0xFFFFFFFFu)
    {
        addressNetworkOrder = parsed;
        return true;
    }
    uint32_t looked = 0;
    if (!LookupHostAddress(host, looked) || looked == 0xFFFFFFFFu)
    {
        return false;
    }
    addressNetworkOrder = looked;
    return true;
}
