#include "support/FakeSocketLayer.h"

#include <algorithm>

namespace tq_test
{

SOCKET FakeSocketLayer::NewSocket(bool udp)
{
    const SOCKET s = m_nextSocket++;
    m_sockets[s].udp = udp;
    (udp ? m_lastUdp : m_lastTcp) = s;
    return s;
}

SOCKET FakeSocketLayer::CreateUdpSocket()
{
    if (m_bFailCreateUdp)
    {
        m_nLastError = WSAEMFILE;
        return INVALID_SOCKET;
    }
    return NewSocket(true);
}

SOCKET FakeSocketLayer::CreateTcpSocket()
{
    if (m_bFailCreateTcp)
    {
        m_nLastError = WSAEMFILE;
        return INVALID_SOCKET;
    }
    return NewSocket(false);
}

SOCKET FakeSocketLayer::AddTcpSocket() { return NewSocket(false); }

bool FakeSocketLayer::SetNonBlocking(SOCKET s)
{
    if (!IsOpen(s))
        return false;
    m_sockets[s].nonBlocking = true;
    return true;
}

bool FakeSocketLayer::IsOpen(SOCKET s) const
{
    const auto it = m_sockets.find(s);
    return it != m_sockets.end() && it->second.open;
}

int FakeSocketLayer::SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to)
{
    if (!IsOpen(s))
    {
        m_nLastError = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    Datagram d;
    d.socket = s;
    d.address = to;
    d.data.assign(data.begin(), data.end());
    m_sent.push_back(std::move(d));
    return static_cast<int>(data.size());
}

int FakeSocketLayer::RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                              int& addressLength)
{
    if (!IsOpen(s))
    {
        m_nLastError = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    auto& inbox = m_sockets[s].inbox;
    if (inbox.empty())
    {
        m_nLastError = WSAEWOULDBLOCK;
        return SOCKET_ERROR;
    }
    Datagram d = std::move(inbox.front());
    inbox.pop_front();
    if (d.error != 0)
    {
        m_nLastError = d.error;
        return SOCKET_ERROR;
    }
    const size_t n = std::min(buffer.size(), d.data.size());
    std::copy_n(d.data.begin(), n, buffer.begin());
    from = d.address;
    addressLength = d.addressLength;
    if (d.data.size() > buffer.size())
    {
        m_nLastError = WSAEMSGSIZE;
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

int FakeSocketLayer::Send(SOCKET s, std::span<const uint8_t> data)
{
    if (!IsOpen(s))
    {
        m_nLastError = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    FakeSocket& fs = m_sockets[s];
    if (fs.sendError != 0)
    {
        m_nLastError = fs.sendError;
        return SOCKET_ERROR;
    }
    size_t n = data.size();
    if (fs.sendLimit >= 0)
        n = std::min(n, static_cast<size_t>(fs.sendLimit));
    if (n == 0 && !data.empty())
    {
        m_nLastError = WSAEWOULDBLOCK;
        return SOCKET_ERROR;
    }
    fs.written.insert(fs.written.end(), data.begin(), data.begin() + static_cast<long>(n));
    return static_cast<int>(n);
}

int FakeSocketLayer::Recv(SOCKET s, std::span<uint8_t> buffer)
{
    if (!IsOpen(s))
    {
        m_nLastError = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    FakeSocket& fs = m_sockets[s];
    if (!fs.inbound.empty())
    {
        const size_t n = std::min(buffer.size(), fs.inbound.size());
        std::copy_n(fs.inbound.begin(), n, buffer.begin());
        fs.inbound.erase(fs.inbound.begin(), fs.inbound.begin() + static_cast<long>(n));
        return static_cast<int>(n);
    }
    if (fs.recvError != 0)
    {
        m_nLastError = fs.recvError;
        return SOCKET_ERROR;
    }
    if (fs.peerClosed)
        return 0;
    m_nLastError = WSAEWOULDBLOCK;
    return SOCKET_ERROR;
}

int FakeSocketLayer::Connect(SOCKET s, const SocketAddress& address)
{
    if (!IsOpen(s))
    {
        m_nLastError = WSAENOTSOCK;
        return SOCKET_ERROR;
    }
    FakeSocket& fs = m_sockets[s];
    fs.connectStarted = true;
    fs.connectAddress = address;
    m_nLastError = WSAEWOULDBLOCK;
    return SOCKET_ERROR;
}

int FakeSocketLayer::ConnectProgress(SOCKET s, int& error)
{
    FakeSocket& fs = m_sockets[s];
    error = fs.connectState < 0 ? fs.connectError : 0;
    return fs.connectState;
}

void FakeSocketLayer::Close(SOCKET s)
{
    const auto it = m_sockets.find(s);
    if (it != m_sockets.end())
        it->second.open = false;
}

bool FakeSocketLayer::ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder)
{
    const uint32_t dotted = ParseDottedAddress(host);
    if (dotted != 0xFFFFFFFFu)
    {
        addressNetworkOrder = dotted;
        return true;
    }
    const auto it = m_hosts.find(host);
    if (it == m_hosts.end())
        return false;
    addressNetworkOrder = it->second;
    return true;
}

void FakeSocketLayer::Deliver(SOCKET s, std::span<const uint8_t> datagram, const SocketAddress& from)
{
    Datagram d;
    d.address = from;
    d.data.assign(datagram.begin(), datagram.end());
    m_sockets[s].inbox.push_back(std::move(d));
}

void FakeSocketLayer::DeliverError(SOCKET s, int error)
{
    Datagram d;
    d.error = error;
    m_sockets[s].inbox.push_back(std::move(d));
}

std::vector<FakeSocketLayer::Datagram> FakeSocketLayer::TakeSent()
{
    std::vector<Datagram> sent;
    sent.swap(m_sent);
    return sent;
}

} // namespace tq_test
