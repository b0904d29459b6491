#include "support/UdpRelay.h"

#include "support/TestSupport.h"

#include <algorithm>
#include <cstring>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tq_test
{
namespace
{
bool SameAddress(const sockaddr_in& a, const sockaddr_in& b)
{
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// A non-blocking UDP socket on a free loopback port; -1 on failure.
int OpenSocket(uint16_t& port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr = LoopbackSockaddr(0);
    socklen_t length = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}
} // namespace

UdpRelay::UdpRelay(uint16_t serverPort, uint32_t seed) : m_random(seed)
{
    const int fd = OpenSocket(m_nPort);
    if (fd >= 0)
        m_links.push_back(Link{fd, LoopbackSockaddr(serverPort), true});
    m_thread = std::thread([this] { Run(); });
}

UdpRelay::~UdpRelay()
{
    m_bStop = true;
    m_thread.join();
    for (const Link& link : m_links)
        close(link.fd);
}

void UdpRelay::SetImpairment(const RelayImpairment& impairment)
{
    std::lock_guard lock(m_mutex);
    m_impairment = impairment;
}

void UdpRelay::Run()
{
    while (!m_bStop)
    {
        std::vector<pollfd> fds;
        for (const Link& link : m_links)
            fds.push_back(pollfd{link.fd, POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), PollTimeoutMs());
        // New links may be added while receiving; walk the ones polled by index.
        for (size_t i = 0; ready > 0 && i < fds.size(); ++i)
        {
            if (fds[i].revents & POLLIN)
                Receive(Link(m_links[i]));
        }
        SendDue();
    }
}

int UdpRelay::PollTimeoutMs() const
{
    int timeout = 10;
    const auto now = std::chrono::steady_clock::now();
    for (const Pending& p : m_pending)
    {
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count();
        timeout = std::clamp(static_cast<int>(wait), 0, timeout);
    }
    return timeout;
}

void UdpRelay::Receive(const Link& link)
{
    std::vector<uint8_t> bytes(2048);
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    const ssize_t n = recvfrom(link.fd, bytes.data(), bytes.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0)
        return;
    bytes.resize(static_cast<size_t>(n));
    // From the client on an inside socket: out through the client's outside socket to
    // the server address of that inside socket. From a server on an outside socket:
    // in through the inside socket of that server address to the socket's client.
    const Link* via = LinkFor(!link.inside, from);
    if (via != nullptr)
        Forward(via->fd, link.peer, bytes);
}

const UdpRelay::Link* UdpRelay::LinkFor(bool inside, const sockaddr_in& peer)
{
    for (const Link& link : m_links)
    {
        if (link.inside == inside && SameAddress(link.peer, peer))
            return &link;
    }
    uint16_t port = 0;
    const int fd = m_links.size() < MAX_SOCKETS ? OpenSocket(port) : -1;
    if (fd < 0)
        return nullptr;
    m_links.push_back(Link{fd, peer, inside});
    return &m_links.back();
}

void UdpRelay::Forward(int fd, const sockaddr_in& to, const std::vector<uint8_t>& bytes)
{
    int copies = 1;
    std::array<int, 2> delays{};
    {
        std::lock_guard lock(m_mutex);
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (m_bBlocked || chance(m_random) < m_impairment.loss)
            copies = 0;
        else if (chance(m_random) < m_impairment.duplicate)
            copies = 2;
        std::uniform_int_distribution<int> delay(0, std::max(0, m_impairment.maxDelayMs));
        delays = {delay(m_random), delay(m_random)};
    }
    if (copies == 0)
        ++m_nDropped;
    if (copies == 2)
        ++m_nDuplicated;
    const auto now = std::chrono::steady_clock::now();
    for (int i = 0; i < copies && m_pending.size() < MAX_QUEUED; ++i)
        m_pending.push_back(Pending{now + std::chrono::milliseconds(delays[i]), fd, to, bytes});
}

void UdpRelay::SendDue()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_pending.begin(); it != m_pending.end();)
    {
        if (it->due > now)
        {
            ++it;
            continue;
        }
        sendto(it->fd, it->bytes.data(), it->bytes.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&it->to), sizeof(it->to));
        ++m_nForwarded;
        it = m_pending.erase(it);
    }
}

} // namespace tq_test
