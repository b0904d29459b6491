#include "platform/WaitSet.h"

#include <cerrno>
#include <climits>
#include <poll.h>

CWaitSet::CWaitSet(uint32_t maxTimeoutMs) : m_nTimeoutMs(maxTimeoutMs) {}

CWaitSet::Entry& CWaitSet::EntryFor(int fd)
{
    for (Entry& entry : m_entries)
    {
        if (entry.fd == fd)
        {
            return entry;
        }
    }
    return m_entries.emplace_back(Entry{fd, false, false});
}

void CWaitSet::AddRead(int fd)
{
    if (fd >= 0)
    {
        EntryFor(fd).read = true;
    }
}

void CWaitSet::AddWrite(int fd)
{
    if (fd >= 0)
    {
        EntryFor(fd).write = true;
    }
}

void CWaitSet::LimitTimeout(uint32_t milliseconds)
{
    if (milliseconds < m_nTimeoutMs)
    {
        m_nTimeoutMs = milliseconds;
    }
}

int CWaitSet::Wait()
{
    std::vector<pollfd> fds;
    fds.reserve(m_entries.size());
    for (const Entry& entry : m_entries)
    {
        const short events =
            static_cast<short>((entry.read ? POLLIN : 0) | (entry.write ? POLLOUT : 0));
        fds.push_back(pollfd{entry.fd, events, 0});
    }
    const int timeout =
        m_nTimeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(m_nTimeoutMs);
    const int ready = poll(fds.data(), fds.size(), timeout);
    // An interrupted wait counts as a timeout: the caller's loop checks its deadlines.
    return ready < 0 ? 0 : ready;
}
