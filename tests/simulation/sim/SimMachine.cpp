#include "sim/SimMachine.h"

#include "sim/SimNetwork.h"
#include "sim/SimWorld.h"
#include "sim/StreamPeer.h"
#include "sim/TcpLink.h"

#include <algorithm>
#include <cstring>

namespace tq_sim
{

namespace
{
constexpr SOCKET FIRST_DESCRIPTOR = 3;
constexpr int ADDRESS_LENGTH = static_cast<int>(sizeof(SocketAddress));
} // namespace

SimMachine::SimMachine(SimWorld& world, SimNetwork& network, uint32_t addressNetworkOrder)
    : m_world(world), m_network(network), m_address(addressNetworkOrder)
{
    m_network.Attach(*this);
}

SimMachine::~SimMachine()
{
    for (SOCKET s = 0; s < static_cast<SOCKET>(m_sockets.size()); ++s)
        if (m_sockets[static_cast<size_t>(s)])
            Close(s);
}

// ---- Sockets ------------------------------------------------------------------------

SOCKET SimMachine::NewSocket(Kind kind)
{
    size_t slot = FIRST_DESCRIPTOR;
    while (slot < m_sockets.size() && m_sockets[slot])
        ++slot;
    if (slot >= m_sockets.size())
        m_sockets.resize(slot + 1);
    auto sock = std::make_unique<Sock>();
    sock->kind = kind;
    sock->serial = m_nNextSerial++;
    sock->tag = m_nTag;
    m_sockets[slot] = std::move(sock);
    return static_cast<SOCKET>(slot);
}

SimMachine::Sock* SimMachine::Find(SOCKET s)
{
    if (s < 0 || static_cast<size_t>(s) >= m_sockets.size())
        return nullptr;
    return m_sockets[static_cast<size_t>(s)].get();
}

const SimMachine::Sock* SimMachine::Find(SOCKET s) const
{
    if (s < 0 || static_cast<size_t>(s) >= m_sockets.size())
        return nullptr;
    return m_sockets[static_cast<size_t>(s)].get();
}

SimMachine::Sock* SimMachine::Find(SOCKET s, uint64_t serial)
{
    Sock* sock = Find(s);
    return sock != nullptr && sock->serial == serial ? sock : nullptr;
}

SOCKET SimMachine::UdpAt(uint16_t port) const
{
    for (size_t s = 0; s < m_sockets.size(); ++s)
        if (m_sockets[s] && m_sockets[s]->kind == Kind::Udp && m_sockets[s]->port == port)
            return static_cast<SOCKET>(s);
    return INVALID_SOCKET;
}

bool SimMachine::PortTaken(Kind kind, uint16_t port) const
{
    const bool udp = kind == Kind::Udp;
    for (const auto& sock : m_sockets)
        if (sock && (sock->kind == Kind::Udp) == udp && sock->port == port)
            return true;
    return false;
}

uint16_t SimMachine::EphemeralPort()
{
    for (;;)
    {
        const uint16_t port = m_nNextEphemeral;
        m_nNextEphemeral =
            port == LAST_EPHEMERAL_PORT ? FIRST_EPHEMERAL_PORT : static_cast<uint16_t>(port + 1);
        if (!PortTaken(Kind::Udp, port) && !PortTaken(Kind::Tcp, port))
            return port;
    }
}

void SimMachine::BindPort(Sock& sock, uint16_t port)
{
    sock.port = port;
    if (sock.kind == Kind::Udp)
        m_portTags[port] = sock.tag;
}

int SimMachine::TagOfPort(uint16_t port) const
{
    const auto it = m_portTags.find(port);
    return it == m_portTags.end() ? -1 : it->second;
}

SOCKET SimMachine::CreateUdpSocket()
{
    return NewSocket(Kind::Udp);
}

SOCKET SimMachine::CreateTcpSocket()
{
    return NewSocket(Kind::Tcp);
}

bool SimMachine::SetNonBlocking(SOCKET s)
{
    return Find(s) != nullptr;
}

bool SimMachine::SetBlocking(SOCKET s)
{
    return Find(s) != nullptr;
}

bool SimMachine::Bind(SOCKET s, const SocketAddress& address)
{
    Sock* sock = Find(s);
    if (sock == nullptr || sock->port != 0)
    {
        Fail(WSAEINVAL);
        return false;
    }
    uint16_t port = NetToHost16(address.port);
    if (port == 0)
        port = EphemeralPort();
    else if (PortTaken(sock->kind, port))
    {
        Fail(WSAEADDRINUSE);
        return false;
    }
    BindPort(*sock, port);
    return true;
}

bool SimMachine::Listen(SOCKET s, int)
{
    Sock* sock = Find(s);
    if (sock == nullptr || sock->kind != Kind::Tcp || sock->port == 0)
    {
        Fail(WSAEINVAL);
        return false;
    }
    sock->kind = Kind::Listener;
    return true;
}

// Nobody connects to a listener of a simulated machine.
SOCKET SimMachine::Accept(SOCKET s, SocketAddress&)
{
    Fail(Find(s) != nullptr ? WSAEWOULDBLOCK : WSAENOTSOCK);
    return INVALID_SOCKET;
}

SOCKET SimMachine::AddConnectedLink(const std::shared_ptr<TcpLink>& link)
{
    const SOCKET s = NewSocket(Kind::Tcp);
    Sock& sock = *Find(s);
    sock.link = link;
    sock.connectStarted = true;
    sock.connectState = 1;
    link->machine = this;
    link->socket = s;
    return s;
}

void SimMachine::Close(SOCKET s)
{
    Sock* sock = Find(s);
    if (sock == nullptr)
        return;
    if (sock->link)
    {
        TcpLink& link = *sock->link;
        link.productClosed = true;
        link.toPeer.m_bEnd = true;
        link.machine = nullptr;
        link.socket = INVALID_SOCKET;
        if (link.peer != nullptr)
            link.peer->Wake();
    }
    Unwatch(s);
    m_sockets[static_cast<size_t>(s)].reset();
}

std::vector<std::string> SimMachine::OpenSockets() const
{
    std::vector<std::string> open;
    for (const auto& sock : m_sockets)
    {
        if (!sock)
            continue;
        switch (sock->kind)
        {
        case Kind::Udp:
            open.push_back("udp:" + std::to_string(sock->port));
            break;
        case Kind::Tcp:
            open.push_back("tcp");
            break;
        case Kind::Listener:
            open.push_back("listener:" + std::to_string(sock->port));
            break;
        }
    }
    return open;
}

// ---- UDP ----------------------------------------------------------------------------

int SimMachine::SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to)
{
    Sock* sock = Find(s);
    if (sock == nullptr || sock->kind != Kind::Udp)
        return Fail(WSAENOTSOCK);
    if (sock->port == 0)
        BindPort(*sock, EphemeralPort());
    m_network.SendDatagram(MakeSocketAddress(m_address, sock->port), to, data);
    return static_cast<int>(data.size());
}

int SimMachine::RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                         int& addressLength)
{
    Sock* sock = Find(s);
    if (sock == nullptr || sock->kind != Kind::Udp)
        return Fail(WSAENOTSOCK);
    if (sock->resetPending)
    {
        sock->resetPending = false;
        return Fail(WSAECONNRESET);
    }
    if (sock->inbox.empty())
        return Fail(WSAEWOULDBLOCK);
    Datagram datagram = std::move(sock->inbox.front());
    sock->inbox.pop_front();
    sock->inboxBytes -= datagram.data.size();
    const size_t count = std::min(buffer.size(), datagram.data.size());
    std::memcpy(buffer.data(), datagram.data.data(), count);
    from = datagram.from;
    addressLength = ADDRESS_LENGTH;
    if (datagram.data.size() > buffer.size())
        return Fail(WSAEMSGSIZE);
    return static_cast<int>(count);
}

bool SimMachine::ReceiveDatagram(const SocketAddress& from, uint16_t port,
                                 std::span<const uint8_t> data)
{
    const SOCKET s = UdpAt(port);
    Sock* sock = Find(s);
    if (sock == nullptr)
        return false;
    if (sock->inboxBytes + data.size() > UDP_RECEIVE_BUFFER)
    {
        ++m_nDropped; // a full receive buffer drops it, as the kernel does
        return true;
    }
    sock->inbox.push_back(Datagram{from, std::vector<uint8_t>(data.begin(), data.end())});
    sock->inboxBytes += data.size();
    MarkEdge(s, true, false);
    Touch();
    return true;
}

bool SimMachine::ReceivePortUnreachable(uint16_t port)
{
    const SOCKET s = UdpAt(port);
    Sock* sock = Find(s);
    if (sock == nullptr)
        return false;
    sock->resetPending = true;
    MarkEdge(s, true, false);
    Touch();
    return true;
}

// ---- TCP ----------------------------------------------------------------------------

int SimMachine::Connect(SOCKET s, const SocketAddress& address)
{
    Sock* sock = Find(s);
    if (sock == nullptr || sock->kind != Kind::Tcp)
        return Fail(WSAENOTSOCK);
    if (sock->connectStarted)
        return Fail(WSAEALREADY);
    sock->connectStarted = true;
    sock->connectState = 0;
    m_network.Connect(*this, s, sock->serial, address);
    return Fail(WSAEWOULDBLOCK);
}

int SimMachine::ConnectProgress(SOCKET s, int& error)
{
    const Sock* sock = Find(s);
    if (sock == nullptr)
    {
        error = WSAENOTSOCK;
        return -1;
    }
    error = sock->connectState < 0 ? sock->connectError : 0;
    return sock->connectState;
}

bool SimMachine::ConnectDone(SOCKET s, uint64_t serial, const std::shared_ptr<TcpLink>& link)
{
    Sock* sock = Find(s, serial);
    if (sock == nullptr)
        return false;
    sock->link = link;
    sock->connectState = 1;
    link->machine = this;
    link->socket = s;
    MarkEdge(s, false, true);
    Touch();
    return true;
}

void SimMachine::ConnectFailed(SOCKET s, uint64_t serial, int error)
{
    Sock* sock = Find(s, serial);
    if (sock == nullptr)
        return;
    sock->connectState = -1;
    sock->connectError = error;
    MarkEdge(s, true, true);
    Touch();
}

// The link of a connected TCP socket that can be read or written, or the error a
// read or write gets.
TcpLink* SimMachine::UsableLink(SOCKET s, int& error)
{
    Sock* sock = Find(s);
    if (sock == nullptr || sock->kind != Kind::Tcp)
        error = WSAENOTSOCK;
    else if (sock->connectState < 0)
        error = sock->connectError;
    else if (!sock->link)
        error = WSAENOTCONN;
    else if (sock->link->reset)
        error = WSAECONNRESET;
    else
        return sock->link.get();
    return nullptr;
}

int SimMachine::Send(SOCKET s, std::span<const uint8_t> data)
{
    int error = 0;
    TcpLink* usable = UsableLink(s, error);
    if (usable == nullptr)
        return Fail(error);
    TcpLink& link = *usable;
    const size_t count = link.toPeer.Write(data);
    if (count < data.size())
    {
        link.productWriteBlocked = true;
        ++m_nShortWrites;
    }
    if (count > 0 && link.peer != nullptr)
        link.peer->Wake();
    if (count == 0 && !data.empty())
        return Fail(WSAEWOULDBLOCK);
    return static_cast<int>(count);
}

int SimMachine::Recv(SOCKET s, std::span<uint8_t> buffer)
{
    int error = 0;
    TcpLink* usable = UsableLink(s, error);
    if (usable == nullptr)
        return Fail(error);
    TcpLink& link = *usable;
    const size_t count = link.toProduct.Read(buffer);
    if (count > 0)
    {
        if (link.peer != nullptr)
            link.peer->Wake(); // room for the peer's next bytes
        return static_cast<int>(count);
    }
    if (link.toProduct.m_bEnd)
        return 0;
    return Fail(WSAEWOULDBLOCK);
}

void SimMachine::LinkReadable(SOCKET s)
{
    if (Find(s) != nullptr)
    {
        MarkEdge(s, true, false);
        Touch();
    }
}

void SimMachine::LinkReset(SOCKET s)
{
    if (Find(s) != nullptr)
    {
        MarkEdge(s, true, true);
        Touch();
    }
}

void SimMachine::LinkWritable(SOCKET s)
{
    Sock* sock = Find(s);
    if (sock == nullptr || !sock->link || !sock->link->productWriteBlocked)
        return;
    sock->link->productWriteBlocked = false;
    MarkEdge(s, false, true);
    Touch();
}

// ---- Readiness ----------------------------------------------------------------------

bool SimMachine::LevelReadable(const Sock& sock)
{
    switch (sock.kind)
    {
    case Kind::Udp:
        return !sock.inbox.empty() || sock.resetPending;
    case Kind::Tcp:
        return sock.connectState < 0 ||
               (sock.link && (sock.link->reset || sock.link->toProduct.Size() > 0 ||
                              sock.link->toProduct.m_bEnd));
    case Kind::Listener:
        return false;
    }
    return false;
}

bool SimMachine::Writable(const Sock& sock)
{
    return sock.kind == Kind::Tcp &&
           (sock.connectState < 0 ||
            (sock.link && (sock.link->reset || sock.link->toPeer.Room() > 0)));
}

bool SimMachine::IsReadable(SOCKET s) const
{
    return LevelReadable(*Find(s));
}

bool SimMachine::IsWritable(SOCKET s) const
{
    return Writable(*Find(s));
}

bool SimMachine::Watch(SOCKET s, uint64_t token, WatchMode mode)
{
    if (!EmulatedSocketLayer::Watch(s, token, mode))
        return false;
    Touch();
    return true;
}

bool SimMachine::HasReadiness()
{
    if (!m_bTouched)
        return false;
    if (EmulatedSocketLayer::HasReadiness())
        return true;
    m_bTouched = false;
    return false;
}

void SimMachine::WaitReady(uint32_t timeoutMs, std::vector<SocketReadiness>& ready)
{
    ready.clear();
    m_pWaitList = &ready;
    m_nWaitTimeout = timeoutMs;
}

void SimMachine::AnswerWait()
{
    if (m_pWaitList != nullptr)
        CollectReadiness(*m_pWaitList);
    m_pWaitList = nullptr;
}

} // namespace tq_sim
