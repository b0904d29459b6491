#include "platform/EpollPoller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <climits>

namespace
{
constexpr size_t MAX_EVENTS_PER_WAIT = 1024;
} // namespace

CEpollPoller::CEpollPoller() : m_epoll(epoll_create1(EPOLL_CLOEXEC)), m_events(MAX_EVENTS_PER_WAIT) {}

CEpollPoller::~CEpollPoller()
{
    if (m_epoll >= 0)
        close(m_epoll);
}

bool CEpollPoller::Add(int fd, uint64_t token, WatchMode mode)
{
    if (m_epoll < 0 || fd < 0)
        return false;
    epoll_event event{};
    uint32_t events = 0; // paused
    if (mode == WatchMode::Edge)
        events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    else if (mode == WatchMode::Level)
        events = EPOLLIN;
    event.events = events;
    event.data.u64 = token;
    std::lock_guard lock(m_mutex);
    // A descriptor closed without Remove has left epoll by itself: add it anew.
    const bool known = m_tokens.count(fd) != 0;
    if (!(known && epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) == 0) &&
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0)
        return false;
    m_tokens[fd] = token;
    return true;
}

void CEpollPoller::Remove(int fd)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_tokens.find(fd);
    if (it == m_tokens.end())
        return;
    // Explicitly: a copy of the descriptor in a child process would keep it registered.
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    m_tokens.erase(it);
}

void CEpollPoller::MarkReadable(int fd)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_tokens.find(fd);
    if (it != m_tokens.end())
        m_marked.push_back(it->second);
}

void CEpollPoller::Wait(uint32_t timeoutMs, std::vector<SocketReadiness>& ready)
{
    ready.clear();
    std::vector<uint64_t> marked;
    {
        std::lock_guard lock(m_mutex);
        marked.swap(m_marked);
    }
    if (!marked.empty())
        timeoutMs = 0;
    const int timeout = timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
    const int count = m_epoll < 0 ? 0 : epoll_wait(m_epoll, m_events.data(), static_cast<int>(m_events.size()), timeout);
    // An interrupted wait reports nothing: the caller's loop checks its deadlines.
    for (int i = 0; i < count; ++i)
    {
        const uint32_t events = m_events[static_cast<size_t>(i)].events;
        SocketReadiness readiness;
        readiness.token = m_events[static_cast<size_t>(i)].data.u64;
        readiness.readable = (events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0;
        readiness.writable = (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0;
        ready.push_back(readiness);
    }
    for (const uint64_t token : marked)
        ready.push_back(SocketReadiness{token, true, false});
}
