#include "platform/SignalWatcher.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace
{
sigset_t MakeSet(const std::vector<int>& signals)
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signo : signals)
    {
        sigaddset(&set, signo);
    }
    return set;
}
} // namespace

void BlockSignals(const std::vector<int>& signals)
{
    const sigset_t set = MakeSet(signals);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void IgnoreBrokenPipeSignal()
{
    struct sigaction action{};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

CSignalWatcher::CSignalWatcher(const std::vector<int>& signals, std::function<void(int)> handler)
    : m_handler(std::move(handler))
{
    // Blocked here too, so that they reach the descriptor and not their default action.
    BlockSignals(signals);
    const sigset_t set = MakeSet(signals);
    m_signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_signalFd < 0 || m_stopFd < 0)
    {
        if (m_signalFd >= 0)
        {
            close(m_signalFd);
            m_signalFd = -1;
        }
        return;
    }
    m_thread = std::thread([this] { Run(); });
}

CSignalWatcher::~CSignalWatcher()
{
    if (m_thread.joinable())
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_stopFd, &one, sizeof(one));
        m_thread.join();
    }
    if (m_signalFd >= 0)
    {
        close(m_signalFd);
    }
    if (m_stopFd >= 0)
    {
        close(m_stopFd);
    }
}

void CSignalWatcher::Run()
{
    for (;;)
    {
        pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0)
        {
            return;
        }
        signalfd_siginfo info{};
        while (read(m_signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info)))
        {
            if (m_handler)
            {
                m_handler(static_cast<int>(info.ssi_signo));
            }
        }
    }
}
