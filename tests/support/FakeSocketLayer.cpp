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

bool FakeSocketLayer::SetBlocking(SOCKET s)
{
    if (!IsOpen(s))
        return false;
    m_sockets[s].nonBlocking = false;
    return true;
}

bool FakeSocketLayer::Bind(SOCKET s, const SocketAddress& address)
{
    const uint16_t port = NetToHost16(address.port);
    if (!IsOpen(s) || std::find(m_takenPorts.begin(), m_takenPorts.end(), port) != m_takenPorts.end() ||
        BoundTo(port, m_sockets[s].udp) != INVALID_SOCKET)
    {
        m_nLastError = WSAEADDRINUSE;
        return false;
    }
    m_sockets[s].bound = address;
    return true;
}

bool FakeSocketLayer::Listen(SOCKET s, int)
{
    if (!IsOpen(s))
        return false;
    m_sockets[s].listening = true;
    return true;
}

SOCKET FakeSocketLayer::Accept(SOCKET s, SocketAddress& peer)
{
    auto& pending = m_sockets[s].pendingAccepts;
    if (pending.empty())
    {
        m_nLastError = WSAEWOULDBLOCK;
        return INVALID_SOCKET;
    }
    const SOCKET accepted = pending.front().first;
    peer = pending.front().second;
    pending.pop_front();
    return accepted;
}

SOCKET FakeSocketLayer::BoundTo(uint16_t port, bool udp) const
{
    for (const auto& [s, fs] : m_sockets)
        if (fs.open && fs.udp == udp && fs.bound.family != 0 && NetToHost16(fs.bound.port) == port)
            return s;
    return INVALID_SOCKET;
}

SOCKET FakeSocketLayer::QueueConnection(SOCKET listener, const SocketAddress& peer)
{
    const SOCKET s = NewSocket(false);
    m_sockets[listener].pendingAccepts.emplace_back(s, peer);
    return s;
}

bool FakeSocketLayer::Watch(SOCKET s, uint64_t token, WatchMode mode)
{
    if (!IsOpen(s))
        return false;
    FakeSocket& fs = m_sockets[s];
    if (!fs.watched)
    {
        fs.reportedReadable = false;
        fs.reportedWritable = false;
        fs.reportedInbound = 0;
    }
    fs.watched = true;
    fs.token = token;
    fs.mode = mode;
    return true;
}

// Level sockets report while they are readable; edge sockets report a change: newly
// readable (or more bytes arrived), newly writable.
void FakeSocketLayer::WaitReady(uint32_t, std::vector<SocketReadiness>& ready)
{
    ready.clear();
    for (auto& [s, fs] : m_sockets)
    {
        if (!fs.open || !fs.watched || fs.mode == WatchMode::Paused)
            continue;
        const bool readable = fs.udp ? !fs.inbox.empty()
                              : fs.listening
                                  ? !fs.pendingAccepts.empty()
                                  : !fs.inbound.empty() || fs.peerClosed || fs.recvError != 0 ||
                                        (fs.connectStarted && fs.connectState < 0);
        const bool writable = !fs.udp && !fs.listening &&
                              (!fs.connectStarted || fs.connectState != 0) &&
                              (fs.sendLimit != 0 || fs.sendError != 0);
        SocketReadiness event{fs.token, false, false};
        if (fs.mode == WatchMode::Level)
            event.readable = readable;
        else
        {
            event.readable = readable && (!fs.reportedReadable || fs.inbound.size() > fs.reportedInbound ||
                                          fs.pendingAccepts.size() > fs.reportedInbound);
            event.writable = writable && !fs.reportedWritable;
            fs.reportedReadable = readable;
            fs.reportedWritable = writable;
            fs.reportedInbound = fs.listening ? fs.pendingAccepts.size() : fs.inbound.size();
        }
        if (event.readable || event.writable)
            ready.push_back(event);
    }
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
