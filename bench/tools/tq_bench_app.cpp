// The application of scripts/bench: connects to a port (the tunnel client's, a
// kcptun client's, or the host's own for direct TCP) and talks to tq_bench_host.
//   tq_bench_app rtt PORT COUNT [MAX_SECONDS]   64-byte round trips after 20 warm-up
//                                               ones: "rtt <median us> <p99 us> <count>"
//   tq_bench_app up PORT BYTES                  application to host: "up <MB/s>"
//   tq_bench_app down PORT BYTES                host to application: "down <MB/s>"
//   tq_bench_app freeport tcp|udp               a loopback port that was free just now
// Timing starts once the host has answered, so the tunnel's set-up is not counted.
// Over a lossy link, with a deadline, set-up included:
//   tq_bench_app echo PORT COUNT BYTES SECONDS  COUNT connections one after another (the
//                                               client serves one at a time), each
//                                               echoing BYTES within SECONDS of its start:
//                                               "echo <completed> <count> <slowest s>"
//   tq_bench_app fetch PORT BYTES SECONDS       host to application until BYTES or
//                                               SECONDS: "fetch <MB/s> <bytes> <s>"
#include "BenchNet.h"

#include <netinet/tcp.h>
#include <unistd.h>

#include <cstring>

using namespace tq_bench;

namespace
{

constexpr size_t RTT_SIZE = 64;
constexpr int WARM_UP = 20;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "tq_bench_app: %s\n", what);
    std::exit(1);
}

int Connect(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        Fail("cannot connect");
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    timeval timeout{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    return fd;
}

void SendAll(int fd, const char* data, size_t size)
{
    while (size > 0)
    {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            Fail("send failed");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void ReceiveAll(int fd, char* data, size_t size)
{
    while (size > 0)
    {
        const ssize_t n = recv(fd, data, size, 0);
        if (n <= 0)
            Fail("connection closed or timed out");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void SendHeader(int fd, char mode, uint64_t count)
{
    char header[9] = {mode};
    for (int i = 1; i <= 8; ++i, count >>= 8)
        header[i] = static_cast<char>(count & 0xFF);
    SendAll(fd, header, sizeof(header));
    char ready = 0;
    ReceiveAll(fd, &ready, 1);
    if (ready != 'R')
        Fail("host did not answer");
}

int RoundTrips(uint16_t port, int count, double maxSeconds)
{
    const int fd = Connect(port);
    SendAll(fd, "E", 1);
    char out[RTT_SIZE];
    char in[RTT_SIZE];
    std::memset(out, 'q', sizeof(out));
    std::vector<double> samples;
    const double end = NowSeconds() + maxSeconds;
    for (int i = 0; i < WARM_UP + count; ++i)
    {
        const double start = NowSeconds();
        SendAll(fd, out, sizeof(out));
        ReceiveAll(fd, in, sizeof(in));
        const double now = NowSeconds();
        if (i >= WARM_UP)
            samples.push_back((now - start) * 1e6);
        if (now > end && samples.size() >= 10)
            break;
    }
    close(fd);
    std::printf("rtt %.0f %.0f %zu\n", Quantile(samples, 0.5), Quantile(samples, 0.99),
                samples.size());
    return 0;
}

int Upload(uint16_t port, uint64_t bytes)
{
    const int fd = Connect(port);
    SendHeader(fd, 'S', bytes);
    const std::string block(65536, 'u');
    const double start = NowSeconds();
    for (uint64_t left = bytes; left > 0;)
    {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
        SendAll(fd, block.data(), chunk);
        left -= chunk;
    }
    char done = 0;
    ReceiveAll(fd, &done, 1);
    const double elapsed = NowSeconds() - start;
    close(fd);
    std::printf("up %.2f\n", static_cast<double>(bytes) / elapsed / 1e6);
    return 0;
}

int Download(uint16_t port, uint64_t bytes)
{
    const int fd = Connect(port);
    SendHeader(fd, 'G', bytes);
    std::vector<char> buffer(65536);
    const double start = NowSeconds();
    for (uint64_t left = bytes; left > 0;)
    {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            Fail("connection closed or timed out");
        left -= std::min<uint64_t>(left, static_cast<uint64_t>(n));
    }
    const double elapsed = NowSeconds() - start;
    close(fd);
    std::printf("down %.2f\n", static_cast<double>(bytes) / elapsed / 1e6);
    return 0;
}

void SetTimeout(int fd, double seconds)
{
    seconds = std::max(seconds, 0.001);
    timeval timeout{static_cast<time_t>(seconds),
                    static_cast<suseconds_t>(
                        (seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e6)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

// A connection that may fail or time out: -1 instead of ending the program.
int TryConnect(uint16_t port, double seconds)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    SetTimeout(fd, seconds);
    return fd;
}

// One echo connection: the seconds it took, or a negative number when it failed or
// missed its deadline.
double EchoOnce(uint16_t port, size_t bytes, double seconds)
{
    const double start = NowSeconds();
    const double end = start + seconds;
    const int fd = TryConnect(port, seconds);
    if (fd < 0)
        return -1;
    std::string out(bytes + 1, 'e');
    out[0] = 'E';
    bool ok = send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
    std::vector<char> in(bytes);
    for (size_t got = 0; ok && got < bytes;)
    {
        SetTimeout(fd, end - NowSeconds());
        const ssize_t n = recv(fd, in.data() + got, bytes - got, 0);
        ok = n > 0 && NowSeconds() <= end;
        got += ok ? static_cast<size_t>(n) : 0;
    }
    close(fd);
    ok = ok && std::all_of(in.begin(), in.end(), [](char c) { return c == 'e'; });
    return ok ? NowSeconds() - start : -1;
}

int Echoes(uint16_t port, int count, size_t bytes, double seconds)
{
    int completed = 0;
    double slowest = 0;
    for (int i = 0; i < count; ++i)
    {
        const double result = EchoOnce(port, bytes, seconds);
        if (result >= 0)
        {
            ++completed;
            slowest = std::max(slowest, result);
        }
    }
    std::printf("echo %d %d %.2f\n", completed, count, slowest);
    return 0;
}

// Counts from the connection on: a lossy link's set-up is part of what a user waits for.
int Fetch(uint16_t port, uint64_t bytes, double seconds)
{
    const double start = NowSeconds();
    const double end = start + seconds;
    uint64_t got = 0;
    const int fd = TryConnect(port, seconds);
    if (fd >= 0)
    {
        char header[9] = {'G'};
        for (int i = 1; i <= 8; ++i)
            header[i] = static_cast<char>((bytes >> (8 * (i - 1))) & 0xFF);
        std::vector<char> buffer(65536);
        bool ready = false;
        if (send(fd, header, sizeof(header), MSG_NOSIGNAL) == sizeof(header))
            while (got < bytes && NowSeconds() < end)
            {
                SetTimeout(fd, end - NowSeconds());
                const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
                if (n <= 0)
                    break;
                // The first byte is the host's 'R'.
                const uint64_t data = static_cast<uint64_t>(n) - (ready ? 0 : 1);
                ready = true;
                got += data;
            }
        close(fd);
    }
    const double elapsed = std::min(NowSeconds(), end) - start;
    std::printf("fetch %.6f %llu %.1f\n", static_cast<double>(got) / elapsed / 1e6,
                static_cast<unsigned long long>(got), elapsed);
    return 0;
}

} // namespace

int FreePort(const std::string& kind)
{
    const int fd = socket(AF_INET, kind == "udp" ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t length = sizeof(addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        Fail("no free port");
    close(fd);
    std::printf("%d\n", ntohs(addr.sin_port));
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "freeport")
        return FreePort(argv[2]);
    if (argc == 6 && std::string(argv[1]) == "echo" && std::atoi(argv[3]) > 0 &&
        std::atoi(argv[3]) <= 1000)
        return Echoes(ParsePort(argv[2]), std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10),
                      std::atof(argv[5]));
    if (argc == 5 && std::string(argv[1]) == "fetch")
        return Fetch(ParsePort(argv[2]), std::strtoull(argv[3], nullptr, 10), std::atof(argv[4]));
    if (argc < 4)
    {
        std::fprintf(stderr, "usage: tq_bench_app rtt PORT COUNT [MAX_SECONDS] | up PORT BYTES | "
                             "down PORT BYTES |\n"
                             "       echo PORT COUNT BYTES SECONDS | fetch PORT BYTES SECONDS | "
                             "freeport tcp|udp\n");
        return 2;
    }
    const std::string mode = argv[1];
    const uint16_t port = ParsePort(argv[2]);
    const uint64_t number = std::strtoull(argv[3], nullptr, 10);
    if (mode == "rtt")
        return RoundTrips(port, static_cast<int>(number), argc > 4 ? std::atof(argv[4]) : 60.0);
    if (mode == "up")
        return Upload(port, number);
    if (mode == "down")
        return Download(port, number);
    std::fprintf(stderr, "tq_bench_app: unknown mode %s\n", mode.c_str());
    return 2;
}
