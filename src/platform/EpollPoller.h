#pragma once
// Readiness of many descriptors at once with epoll: each is registered once, for as
// long as it lives, so that a wait costs the same with ten thousand idle sockets as
// with none.
#include "platform/SocketReadiness.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

struct epoll_event;

class CEpollPoller
{
public:
    CEpollPoller();
    ~CEpollPoller();
    CEpollPoller(const CEpollPoller&) = delete;
    CEpollPoller& operator=(const CEpollPoller&) = delete;

    // Registers a descriptor, or changes the mode of a registered one.
    bool Add(int fd, uint64_t token, WatchMode mode);
    // Forgets a descriptor before it is closed; nothing when it is not watched.
    void Remove(int fd);
    // Reports a watched descriptor readable at the next wait, for a condition the
    // kernel will not report (an error kept for the next receive).
    void MarkReadable(int fd);
    void Wait(uint32_t timeoutMs, std::vector<SocketReadiness>& ready);

private:
    int m_epoll;
    // Sends on other threads may mark a socket; the wait itself holds no lock.
    std::mutex m_mutex;
    std::unordered_map<int, uint64_t> m_tokens;
    std::vector<uint64_t> m_marked;
    std::vector<epoll_event> m_events;
};
