#include "platform/Event.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

CEvent::CEvent() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CEvent::~CEvent()
{
    if (m_fd >= 0)
    {
        close(m_fd);
    }
}

void CEvent::Set()
{
    // Manual reset: the counter is never read, so the descriptor stays readable.
    if (!m_bSet.exchange(true) && m_fd >= 0)
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_fd, &one, sizeof(one));
    }
}
