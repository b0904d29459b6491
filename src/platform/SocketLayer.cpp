#include "platform/SocketLayer.h"

#include "platform/EpollPoller.h"

CSystemSocketLayer::CSystemSocketLayer() = default;
CSystemSocketLayer::~CSystemSocketLayer() = default;

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

bool CSystemSocketLayer::SetBlocking(SOCKET s)
{
    return SocketSetBlocking(s, true);
}

bool CSystemSocketLayer::SetReuseAddress(SOCKET s)
{
    return SocketSetReuseAddress(s);
}

bool CSystemSocketLayer::Bind(SOCKET s, const SocketAddress& address)
{
    return SocketBind(s, address);
}

bool CSystemSocketLayer::Listen(SOCKET s, int backlog)
{
    return SocketListen(s, backlog);
}

SOCKET CSystemSocketLayer::Accept(SOCKET s, SocketAddress& peer)
{
    return SocketAccept(s, peer);
}

int CSystemSocketLayer::SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to)
{
    const int sent = SocketSendTo(s, data, to);
    // A reset kept for the next receive makes no event of its own.
    if (m_pPoller && SocketResetPending(s))
        m_pPoller->MarkReadable(s);
    return sent;
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
    if (m_pPoller)
        m_pPoller->Remove(s);
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

bool CSystemSocketLayer::Watch(SOCKET s, uint64_t token, WatchMode mode)
{
    if (!m_pPoller)
        m_pPoller = std::make_unique<CEpollPoller>();
    return m_pPoller->Add(s, token, mode);
}

void CSystemSocketLayer::WaitReady(uint32_t timeoutMs, std::vector<SocketReadiness>& ready)
{
    if (!m_pPoller)
        m_pPoller = std::make_unique<CEpollPoller>();
    m_pPoller->Wait(timeoutMs, ready);
}
