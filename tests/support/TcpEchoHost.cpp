#include "support/TcpEchoHost.h"

#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tq_test
{

TcpEchoHost::TcpEchoHost()
{
    m_listenFd = BindLoopback(SOCK_STREAM, m_port);
    listen(m_listenFd, 16);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TcpEchoHost::~TcpEchoHost()
{
    m_bStop = true;
    m_acceptThread.join();
    close(m_listenFd);
    std::lock_guard lock(m_mutex);
    for (int fd : m_fds)
        shutdown(fd, SHUT_RDWR);
    for (auto& t : m_threads)
        t.join();
    for (int fd : m_fds)
        close(fd);
}

void TcpEchoHost::AcceptLoop()
{
    while (!m_bStop)
    {
        pollfd p{m_listenFd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        const int fd = accept(m_listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        ++m_connections;
        std::lock_guard lock(m_mutex);
        m_fds.push_back(fd);
        m_threads.emplace_back([this, fd] { Echo(fd); });
    }
}

void TcpEchoHost::Echo(int fd)
{
    char buffer[4096];
    while (!m_bStop)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        for (ssize_t done = 0; done < n;)
        {
            const ssize_t w = send(fd, buffer + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
            if (w <= 0)
                return;
            done += w;
        }
    }
    shutdown(fd, SHUT_WR);
}

} // namespace tq_test
