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
        SetLastError(WSAEMFILE);
        return INVALID_SOCKET;
    }
    return NewSocket(true);
}

SOCKET FakeSocketLayer::CreateTcpSocket()
{
    if (m_bFailCreateTcp)
    {
        SetLastError(WSAEMFILE);
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
        SetLastError(WSAEADDRINUSE);
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
        SetLastError(WSAEWOULDBLOCK);
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

size_t FakeSocketLayer::InboundCount(const FakeSocket& fs)
{
    return fs.listening ? fs.pendingAccepts.size() : fs.inbound.size();
}

bool FakeSocketLayer::IsReadable(SOCKET s) const
{
    const FakeSocket& fs = m_sockets.at(s);
    if (fs.udp)
        return !fs.inbox.empty();
    return InboundCount(fs) > 0 || fs.peerClosed || fs.recvError != 0 ||
           (fs.connectStarted && fs.connectState < 0);
}

bool FakeSocketLayer::IsWritable(SOCKET s) const
{
    const FakeSocket& fs = m_sockets.at(s);
    return !fs.udp && !fs.listening && (!fs.connectStarted || fs.connectState != 0) &&
           (fs.sendLimit != 0 || fs.sendError != 0);
}

// Marks what changed since the last wait, then reports.
void FakeSocketLayer::WaitReady(uint32_t, std::vector<SocketReadiness>& ready)
{
    for (auto& [s, fs] : m_sockets)
    {
        if (!fs.open)
            continue;
        const bool readable = IsReadable(s);
        const bool writable = IsWritable(s);
        MarkEdge(s, readable && (!fs.seenReadable || InboundCount(fs) > fs.seenCount),
                 writable && !fs.seenWritable);
        fs.seenReadable = readable;
        fs.seenWritable = writable;
        fs.seenCount = InboundCount(fs);
    }
    CollectReadiness(ready);
}

bool FakeSocketLayer::IsOpen(SOCKET s) const
{
    const auto it = m_sockets.find(s);
    return it != m_sockets.end() && it->second.open;
}

int FakeSocketLayer::SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to)
{
    if (!IsOpen(s))
        return Fail(WSAENOTSOCK);
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
        return Fail(WSAENOTSOCK);
    auto& inbox = m_sockets[s].inbox;
    if (inbox.empty())
        return Fail(WSAEWOULDBLOCK);
    Datagram d = std::move(inbox.front());
    inbox.pop_front();
    if (d.error != 0)
        return Fail(d.error);
    const size_t n = std::min(buffer.size(), d.data.size());
    std::copy_n(d.data.begin(), n, buffer.begin());
    from = d.address;
    addressLength = d.addressLength;
    if (d.data.size() > buffer.size())
        return Fail(WSAEMSGSIZE);
    return static_cast<int>(n);
}

int FakeSocketLayer::Send(SOCKET s, std::span<const uint8_t> data)
{
    if (!IsOpen(s))
        return Fail(WSAENOTSOCK);
    FakeSocket& fs = m_sockets[s];
    if (fs.sendError != 0)
        return Fail(fs.sendError);
    size_t n = data.size();
    if (fs.sendLimit >= 0)
        n = std::min(n, static_cast<size_t>(fs.sendLimit));
    if (n == 0 && !data.empty())
        return Fail(WSAEWOULDBLOCK);
    fs.written.insert(fs.written.end(), data.begin(), data.begin() + static_cast<long>(n));
    return static_cast<int>(n);
}

int FakeSocketLayer::Recv(SOCKET s, std::span<uint8_t> buffer)
{
    if (!IsOpen(s))
        return Fail(WSAENOTSOCK);
    FakeSocket& fs = m_sockets[s];
    if (!fs.inbound.empty())
    {
        const size_t n = std::min(buffer.size(), fs.inbound.size());
        std::copy_n(fs.inbound.begin(), n, buffer.begin());
        fs.inbound.erase(fs.inbound.begin(), fs.inbound.begin() + static_cast<long>(n));
        return static_cast<int>(n);
    }
    if (fs.recvError != 0)
        return Fail(fs.recvError);
    if (fs.peerClosed)
        return 0;
    return Fail(WSAEWOULDBLOCK);
}

int FakeSocketLayer::Connect(SOCKET s, const SocketAddress& address)
{
    if (!IsOpen(s))
        return Fail(WSAENOTSOCK);
    FakeSocket& fs = m_sockets[s];
    fs.connectStarted = true;
    fs.connectAddress = address;
    return Fail(WSAEWOULDBLOCK);
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
    Unwatch(s);
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
