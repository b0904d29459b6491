// A lossy UDP link on loopback for scripts/bench: clients send to the relay's port as
// if it were the server's client port; the relay passes datagrams on both ways,
// dropping each with a given probability (one seeded generator) and delaying each by
// half the added round trip (a queue served by the loop's timeout, nothing sleeps).
//
// Each client address gets a flow: an upstream socket of its own towards the server.
// The server may answer from other ports than its client port (a tunnel session has
// a UDP socket of its own); for each such port the flow opens a downstream socket, so
// the client sees the answers come from a relay port of their own and sends there
// what it means for that server port. Answers from the server's client port come from
// the relay's own port, where Probes and Connects go.
//
//   tq_loss_relay --to PORT [--port PORT] [--loss P] [--rtt-ms MS] [--seed N]
//                 [--queue-kib N]
// Prints "relay <port>" once listening; on SIGINT or SIGTERM prints its counters
// ("up ... down ...") and ends.
#include "BenchNet.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <unordered_map>

using namespace tq_bench;

namespace
{

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

struct Options
{
    uint16_t serverPort = 0;
    uint16_t port = 0;
    double loss = 0.0;
    double oneWayMs = 0.0;
    uint64_t seed = 1;
    size_t queueLimit = size_t{8} << 20; // bytes waiting for their delay, both ways
};

struct Counters
{
    uint64_t received = 0;
    uint64_t dropped = 0;  // by the loss rate
    uint64_t overflow = 0; // the delay queue was full
    uint64_t failed = 0;   // sendto failed (full socket buffer)
};

struct Flow
{
    sockaddr_in client{};
    int upstream = -1;
    std::map<uint16_t, int> downstream; // server port -> relay socket facing the client
    double lastActive = 0;
};

// What a socket of the relay is for.
struct Role
{
    enum Kind
    {
        Listen,
        Upstream,
        Downstream
    } kind = Listen;
    Flow* flow = nullptr;
    uint16_t serverPort = 0; // Downstream: where its datagrams go
};

struct Pending
{
    double due = 0;
    int fd = -1;
    sockaddr_in to{};
    std::vector<char> bytes;
    bool up = false;
};

constexpr double FLOW_IDLE_SECONDS = 600;
constexpr int BUFFER_BYTES = 4 << 20;

uint64_t KeyOf(const sockaddr_in& addr)
{
    return (uint64_t{ntohl(addr.sin_addr.s_addr)} << 16) | ntohs(addr.sin_port);
}

class Relay
{
  public:
    explicit Relay(const Options& options)
        : m_options(options), m_random(options.seed), m_epoll(epoll_create1(0))
    {
        m_listen = OpenSocket(options.port, {Role::Listen, nullptr, options.serverPort});
    }

    uint16_t Port() const { return m_port; }

    void Run()
    {
        epoll_event events[64];
        double lastSweep = NowSeconds();
        while (g_stop == 0)
        {
            const int count = epoll_wait(m_epoll, events, 64, WaitMs());
            for (int i = 0; i < count; ++i)
                ReadAll(events[i].data.fd);
            SendDue();
            if (NowSeconds() - lastSweep > 10)
            {
                lastSweep = NowSeconds();
                Sweep();
            }
        }
    }

    void PrintCounters() const
    {
        auto print = [](const char* name, const Counters& c)
        {
            std::printf("%s %llu received, %llu dropped (%.2f %%), %llu overflow, %llu failed",
                        name, static_cast<unsigned long long>(c.received),
                        static_cast<unsigned long long>(c.dropped),
                        c.received ? 100.0 * static_cast<double>(c.dropped) /
                                         static_cast<double>(c.received)
                                   : 0.0,
                        static_cast<unsigned long long>(c.overflow),
                        static_cast<unsigned long long>(c.failed));
        };
        print("up", m_up);
        print("; down", m_down);
        std::printf("; %zu flows\n", m_flows.size());
        std::fflush(stdout);
    }

  private:
    int OpenSocket(uint16_t port, Role role)
    {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in addr = Loopback(port);
        socklen_t length = sizeof(addr);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        {
            std::perror("tq_loss_relay: socket");
            std::exit(1);
        }
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &BUFFER_BYTES, sizeof(BUFFER_BYTES));
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &BUFFER_BYTES, sizeof(BUFFER_BYTES));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_roles[fd] = role;
        if (role.kind == Role::Listen)
            m_port = ntohs(addr.sin_port);
        return fd;
    }

    void CloseSocket(int fd)
    {
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        m_roles.erase(fd);
        // Datagrams still queued for this socket are lost with it.
        for (Pending& pending : m_queue)
            if (pending.fd == fd)
                pending.fd = -1;
    }

    int WaitMs() const
    {
        if (m_queue.empty())
            return 1000;
        const double wait = (m_queue.front().due - NowSeconds()) * 1000;
        return wait <= 0 ? 0 : static_cast<int>(std::ceil(wait));
    }

    void ReadAll(int fd)
    {
        char buffer[65536];
        // A bounded batch per socket, so that one busy flow does not hold up the others.
        for (int n = 0; n < 256; ++n)
        {
            const auto it = m_roles.find(fd);
            if (it == m_roles.end())
                return;
            sockaddr_in from{};
            socklen_t length = sizeof(from);
            const ssize_t size = recvfrom(fd, buffer, sizeof(buffer), 0,
                                          reinterpret_cast<sockaddr*>(&from), &length);
            if (size < 0)
                return;
            const Role role = it->second; // a copy: routing may open sockets
            Route(role, from, buffer, static_cast<size_t>(size));
        }
    }

    void Route(const Role& role, const sockaddr_in& from, const char* data, size_t size)
    {
        switch (role.kind)
        {
        case Role::Listen:
        {
            Flow& flow = FlowOf(from);
            Forward(flow.upstream, Loopback(m_options.serverPort), data, size, true);
            break;
        }
        case Role::Downstream:
            if (KeyOf(from) != KeyOf(role.flow->client))
                return; // not the flow's client: nothing to pass on
            role.flow->lastActive = NowSeconds();
            Forward(role.flow->upstream, Loopback(role.serverPort), data, size, true);
            break;
        case Role::Upstream:
        {
            Flow& flow = *role.flow;
            flow.lastActive = NowSeconds();
            const uint16_t port = ntohs(from.sin_port);
            Forward(DownstreamOf(flow, port), flow.client, data, size, false);
            break;
        }
        }
    }

    Flow& FlowOf(const sockaddr_in& client)
    {
        std::unique_ptr<Flow>& flow = m_flows[KeyOf(client)];
        if (!flow)
        {
            flow = std::make_unique<Flow>();
            flow->client = client;
            flow->upstream = OpenSocket(0, {Role::Upstream, flow.get(), 0});
        }
        flow->lastActive = NowSeconds();
        return *flow;
    }

    int DownstreamOf(Flow& flow, uint16_t serverPort)
    {
        if (serverPort == m_options.serverPort)
            return m_listen;
        const auto it = flow.downstream.find(serverPort);
        if (it != flow.downstream.end())
            return it->second;
        const int fd = OpenSocket(0, {Role::Downstream, &flow, serverPort});
        flow.downstream[serverPort] = fd;
        return fd;
    }

    void Forward(int fd, const sockaddr_in& to, const char* data, size_t size, bool up)
    {
        Counters& counters = up ? m_up : m_down;
        ++counters.received;
        if (m_options.loss > 0 && m_chance(m_random) < m_options.loss)
        {
            ++counters.dropped;
            return;
        }
        if (m_options.oneWayMs <= 0)
        {
            Send(fd, to, data, size, up);
            return;
        }
        if (m_queued + size > m_options.queueLimit)
        {
            ++counters.overflow;
            return;
        }
        m_queued += size;
        m_queue.push_back({NowSeconds() + m_options.oneWayMs / 1000, fd, to,
                           std::vector<char>(data, data + size), up});
    }

    void SendDue()
    {
        const double now = NowSeconds();
        while (!m_queue.empty() && m_queue.front().due <= now)
        {
            Pending& pending = m_queue.front();
            m_queued -= pending.bytes.size();
            if (pending.fd >= 0)
                Send(pending.fd, pending.to, pending.bytes.data(), pending.bytes.size(),
                     pending.up);
            m_queue.pop_front();
        }
    }

    void Send(int fd, const sockaddr_in& to, const char* data, size_t size, bool up)
    {
        if (sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) < 0)
            ++(up ? m_up : m_down).failed;
    }

    // Flows silent for long are closed with their sockets.
    void Sweep()
    {
        const double now = NowSeconds();
        for (auto it = m_flows.begin(); it != m_flows.end();)
        {
            Flow& flow = *it->second;
            if (now - flow.lastActive < FLOW_IDLE_SECONDS)
            {
                ++it;
                continue;
            }
            for (const auto& [port, fd] : flow.downstream)
                CloseSocket(fd);
            CloseSocket(flow.upstream);
            it = m_flows.erase(it);
        }
    }

    Options m_options;
    std::mt19937_64 m_random;
    std::uniform_real_distribution<double> m_chance{0.0, 1.0};
    int m_epoll;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::unordered_map<int, Role> m_roles;
    std::unordered_map<uint64_t, std::unique_ptr<Flow>> m_flows;
    std::deque<Pending> m_queue; // one delay for all: the queue stays in time order
    size_t m_queued = 0;
    Counters m_up;
    Counters m_down;
};

[[noreturn]] void Usage(const char* problem)
{
    std::fprintf(
        stderr,
        "tq_loss_relay: %s\n"
        "usage: tq_loss_relay --to PORT [--port PORT] [--loss P] [--rtt-ms MS] [--seed N]\n"
        "                     [--queue-kib N]\n"
        "  --to PORT       the server's UDP client port on loopback\n"
        "  --port PORT     the relay's own port (default: any free one)\n"
        "  --loss P        probability (0 to 1) that a datagram is dropped, each way\n"
        "  --rtt-ms MS     round trip added: half of it each way (default 0)\n"
        "  --seed N        the seed of the loss generator (default 1)\n"
        "  --queue-kib N   the most bytes held for their delay (default 8192)\n",
        problem);
    std::exit(2);
}

double ParseNumber(const char* text, double max)
{
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0 && value <= max))
        Usage((std::string("bad value: ") + text).c_str());
    return value;
}

Options Parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; i += 2)
    {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help")
            Usage("a lossy UDP relay on loopback");
        if (i + 1 >= argc)
            Usage(("missing value after " + option).c_str());
        const char* value = argv[i + 1];
        if (option == "--to")
            options.serverPort = ParsePort(value);
        else if (option == "--port")
            options.port = static_cast<uint16_t>(ParseNumber(value, 65535));
        else if (option == "--loss")
            options.loss = ParseNumber(value, 1.0);
        else if (option == "--rtt-ms")
            options.oneWayMs = ParseNumber(value, 60000) / 2;
        else if (option == "--seed")
            options.seed = static_cast<uint64_t>(ParseNumber(value, 1e15));
        else if (option == "--queue-kib")
            options.queueLimit = static_cast<size_t>(ParseNumber(value, 1 << 20)) << 10;
        else
            Usage(("unknown option " + option).c_str());
    }
    if (options.serverPort == 0)
        Usage("--to PORT is needed");
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = Parse(argc, argv);
    RaiseFileLimit();
    struct sigaction action
    {
    };
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    Relay relay(options);
    std::printf("relay %d\n", relay.Port());
    std::fflush(stdout);
    relay.Run();
    relay.PrintCounters();
    return 0;
}
