// The two ends of scripts/demo, on loopback only:
//   tq_demo_peer freeport tcp|udp   prints a port that was free a moment ago
//   tq_demo_peer echo PORT          a target host that echoes every connection
//   tq_demo_peer app PORT BYTES     an application: sends a greeting line and BYTES
//                                   random bytes, checks that the same bytes come back
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

namespace
{
sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int FreePort(int type)
{
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
    {
        std::perror("freeport");
        return 1;
    }
    close(fd);
    std::printf("%d\n", ntohs(addr.sin_port));
    return 0;
}

void EchoConnection(int fd)
{
    char buffer[16384];
    for (;;)
    {
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        for (ssize_t sent = 0; sent < n;)
        {
            const ssize_t m = send(fd, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
            if (m <= 0)
            {
                close(fd);
                return;
            }
            sent += m;
        }
    }
    close(fd);
}

int Echo(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    const sockaddr_in addr = Loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0)
    {
        std::perror("echo host");
        return 1;
    }
    std::printf("echo host listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    for (;;)
    {
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        const int connection = accept(fd, reinterpret_cast<sockaddr*>(&peer), &length);
        if (connection < 0)
            continue;
        std::printf("echo host: connection from %s:%d\n", inet_ntoa(peer.sin_addr),
                    ntohs(peer.sin_port));
        std::fflush(stdout);
        std::thread(EchoConnection, connection).detach();
    }
}

// Sends everything while reading; returns what came back within the time limit.
std::string Exchange(int fd, const std::string& data, std::chrono::seconds limit)
{
    std::string received;
    size_t sent = 0;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (received.size() < data.size() && std::chrono::steady_clock::now() < end)
    {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        if (p.revents & POLLOUT)
        {
            const size_t chunk = std::min<size_t>(data.size() - sent, 4096);
            const ssize_t n = send(fd, data.data() + sent, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
            sent += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR))
        {
            char buffer[16384];
            const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                break;
            if (n > 0)
                received.append(buffer, static_cast<size_t>(n));
        }
    }
    return received;
}

int Application(uint16_t port, size_t bytes)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        std::perror("application: connect");
        return 1;
    }
    const std::string greeting = "Hello, host, from an application behind the tunnel.\n";
    std::string data = greeting;
    std::mt19937 random(2024);
    for (size_t i = 0; i < bytes; ++i)
        data += static_cast<char>(random() & 0xFF);
    const auto start = std::chrono::steady_clock::now();
    const std::string back = Exchange(fd, data, std::chrono::seconds(60));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    close(fd);
    std::printf("application: came back: %s", back.substr(0, greeting.size()).c_str());
    std::printf("application: sent %zu bytes, received %zu bytes back in %lld ms: %s\n",
                data.size(), back.size(), static_cast<long long>(ms),
                back == data ? "identical" : "DIFFERENT");
    return back == data ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "freeport" && argc == 3)
        return FreePort(std::strcmp(argv[2], "udp") == 0 ? SOCK_DGRAM : SOCK_STREAM);
    if (mode == "echo" && argc == 3)
        return Echo(static_cast<uint16_t>(std::atoi(argv[2])));
    if (mode == "app" && argc == 4)
        return Application(static_cast<uint16_t>(std::atoi(argv[2])),
                           static_cast<size_t>(std::atol(argv[3])));
    std::fprintf(stderr, "usage: %s freeport tcp|udp | echo PORT | app PORT BYTES\n", argv[0]);
    return 2;
}
