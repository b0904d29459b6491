// The target host of scripts/bench: one thread, epoll, any number of connections on
// a loopback port. The first byte of a connection picks what it does:
//   'E'             echoes every later byte
//   'S' + 8 bytes   answers 'R', takes that many bytes (little-endian count), answers 'K'
//   'G' + 8 bytes   answers 'R', then sends that many bytes
// A connection that sends nothing is held open (an idle session's host).
//   tq_bench_host [PORT]   prints the port it listens on, then serves until killed
#include "BenchNet.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

using namespace tq_bench;

namespace
{

constexpr size_t HEADER_SIZE = 9;

struct Connection
{
    int fd = -1;
    char mode = 0;
    std::string header;
    uint64_t remaining = 0; // bytes still to take ('S') or to send ('G')
    std::string pending; // bytes to write (answers, echo)
};


uint64_t ReadCount(const std::string& header)
{
    uint64_t count = 0;
    for (int i = 8; i >= 1; --i)
        count = (count << 8) | static_cast<uint8_t>(header[static_cast<size_t>(i)]);
    return count;
}

class Host
{
public:
    explicit Host(int listenFd) : m_listen(listenFd), m_epoll(epoll_create1(0))
    {
        Watch(m_listen, EPOLLIN);
    }

    [[noreturn]] void Run()
    {
        epoll_event events[256];
        for (;;)
        {
            const int count = epoll_wait(m_epoll, events, 256, -1);
            for (int i = 0; i < count; ++i)
            {
                const int fd = events[i].data.fd;
                if (fd == m_listen)
                    AcceptAll();
                else if (auto it = m_connections.find(fd); it != m_connections.end())
                    Serve(*it->second, events[i].events);
            }
        }
    }

private:
    void Watch(int fd, uint32_t events)
    {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }

    void AcceptAll()
    {
        for (;;)
        {
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK);
            if (fd < 0)
                return;
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            auto connection = std::make_unique<Connection>();
            connection->fd = fd;
            Watch(fd, EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP);
            m_connections[fd] = std::move(connection);
        }
    }

    void Close(Connection& connection)
    {
        const int fd = connection.fd;
        close(fd);
        m_connections.erase(fd);
    }

    void Serve(Connection& connection, uint32_t events)
    {
        if (!ReadAll(connection) || !WriteAll(connection))
        {
            Close(connection);
            return;
        }
        if ((events & (EPOLLHUP | EPOLLERR)) != 0 && connection.pending.empty() &&
            !(connection.mode == 'G' && connection.remaining > 0))
            Close(connection);
    }

    // False once the peer closed or the connection failed.
    bool ReadAll(Connection& connection)
    {
        char buffer[65536];
        for (;;)
        {
            const ssize_t n = recv(connection.fd, buffer, sizeof(buffer), 0);
            if (n == 0)
                return false;
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            Take(connection, buffer, static_cast<size_t>(n));
        }
    }

    void Take(Connection& connection, const char* data, size_t size)
    {
        while (size > 0 && connection.mode == 0)
        {
            connection.header.push_back(*data++);
            --size;
            const char mode = connection.header[0];
            if (mode == 'E' || ((mode == 'S' || mode == 'G') && connection.header.size() == HEADER_SIZE))
            {
                connection.mode = mode;
                if (mode != 'E')
                {
                    connection.remaining = ReadCount(connection.header);
                    connection.pending += 'R';
                }
            }
        }
        if (connection.mode == 'E')
            connection.pending.append(data, size);
        else if (connection.mode == 'S' && size > 0)
        {
            const uint64_t taken = std::min<uint64_t>(size, connection.remaining);
            connection.remaining -= taken;
            if (connection.remaining == 0 && taken > 0)
                connection.pending += 'K';
        }
    }

    bool WriteAll(Connection& connection)
    {
        static const std::string block(65536, 'x');
        for (;;)
        {
            const std::string* source = &connection.pending;
            size_t size = connection.pending.size();
            if (size == 0 && connection.mode == 'G' && connection.remaining > 0)
            {
                source = &block;
                size = std::min<uint64_t>(block.size(), connection.remaining);
            }
            if (size == 0)
                return true;
            const ssize_t n = send(connection.fd, source->data(), size, MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            if (source == &block)
                connection.remaining -= static_cast<uint64_t>(n);
            else
                connection.pending.erase(0, static_cast<size_t>(n));
        }
    }

    int m_listen;
    int m_epoll;
    std::unordered_map<int, std::unique_ptr<Connection>> m_connections;
};

} // namespace

int main(int argc, char** argv)
{
    RaiseFileLimit();
    const uint16_t port = argc > 1 ? ParsePort(argv[1]) : 0;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in addr = Loopback(port);
    socklen_t length = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4096) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    {
        std::perror("tq_bench_host");
        return 1;
    }
    std::printf("%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);
    Host(fd).Run();
}
