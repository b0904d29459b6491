// Opens idle tunnel sessions on a server for scripts/bench, speaking the tunnel
// protocol itself: Connect to the client port, ACK the Session packet, Open a host,
// wait for the Open's ACK. At most WINDOW handshakes run at once. The sessions then
// stay silent (no pings) until the program is killed.
//   tq_bench_idle CLIENT_PORT HOST_PORT COUNT [WINDOW] [BUDGET_SECONDS]
// Prints "opened <count> failed <count> seconds <time to the last one opened>".
// It stops opening once the budget has passed or WINDOW handshakes in a row failed
// (the server has no room left).
#include "BenchNet.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstring>

using namespace tq_bench;

namespace
{

constexpr double HANDSHAKE_TIMEOUT_S = 5.0;
constexpr uint8_t TYPE_OPEN = 1, TYPE_SESSION = 2, TYPE_ACK = 4, TYPE_CLOSE = 5, TYPE_ERROR = 6;
constexpr uint32_t CONNECT_NUMBER = 2000;

uint32_t Crc(const uint8_t* data, size_t size)
{
    static const std::array<uint32_t, 256> table = []
    {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i)
        {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xDEADBEEFu;
}

void Put32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* at)
{
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

std::vector<uint8_t> Packet(uint8_t type, uint32_t number, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> packet(12 + payload.size(), 0);
    packet[0] = type;
    Put32(&packet[4], number);
    std::copy(payload.begin(), payload.end(), packet.begin() + 12);
    Put32(&packet[8], Crc(packet.data(), packet.size()));
    return packet;
}

enum class Phase
{
    WaitSession,
    WaitOpenAck,
    Open,
    Failed
};

struct Slot
{
    int fd = -1;
    Phase phase = Phase::WaitSession;
    double started = 0;
    sockaddr_in session{};
};

class Loader
{
public:
    Loader(uint16_t clientPort, uint16_t hostPort, int count, int window, double budget)
        : m_clientPort(Loopback(clientPort)), m_count(count), m_window(window), m_budget(budget),
          m_epoll(epoll_create1(0))
    {
        std::vector<uint8_t> open;
        for (char c : "127.0.0.1," + std::to_string(hostPort))
        {
            open.push_back(static_cast<uint8_t>(c));
            open.push_back(0);
        }
        m_openPacket = Packet(TYPE_OPEN, CONNECT_NUMBER + 1, open);
    }

    void Run()
    {
        m_start = NowSeconds();
        while (MoreToStart() || m_pending > 0)
        {
            while (MoreToStart() && m_pending < m_window)
                StartOne();
            Poll();
            ExpireHandshakes();
        }
    }

    void Report() const
    {
        std::printf("opened %d failed %d seconds %.2f\n", m_opened, m_failed,
                    m_lastOpened > 0 ? m_lastOpened - m_start : 0.0);
        std::fflush(stdout);
    }

private:
    bool MoreToStart() const
    {
        return static_cast<int>(m_slots.size()) < m_count && !m_bStopped &&
               NowSeconds() - m_start < m_budget;
    }

    void StartOne()
    {
        Slot slot;
        slot.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const sockaddr_in local = Loopback(0);
        if (slot.fd < 0 || bind(slot.fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
        {
            std::perror("tq_bench_idle: socket");
            m_bStopped = true;
            return;
        }
        slot.started = NowSeconds();
        const auto connect = Packet(0, CONNECT_NUMBER, std::vector<uint8_t>(16, 0));
        sendto(slot.fd, connect.data(), connect.size(), 0,
               reinterpret_cast<const sockaddr*>(&m_clientPort), sizeof(m_clientPort));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = m_slots.size();
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, slot.fd, &event);
        m_slots.push_back(slot);
        ++m_pending;
    }

    void Poll()
    {
        epoll_event events[256];
        const int count = epoll_wait(m_epoll, events, 256, 50);
        for (int i = 0; i < count; ++i)
            Receive(m_slots[events[i].data.u64]);
    }

    void Receive(Slot& slot)
    {
        uint8_t buffer[600];
        sockaddr_in from{};
        socklen_t length = sizeof(from);
        const ssize_t n = recvfrom(slot.fd, buffer, sizeof(buffer), 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 12)
            return;
        const uint8_t type = buffer[0];
        const uint32_t number = Get32(buffer + 4);
        if (type == TYPE_ERROR || type == TYPE_CLOSE)
        {
            const auto ack = Packet(TYPE_ACK, number, {});
            sendto(slot.fd, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            if (slot.phase == Phase::Open)
                --m_opened;
            Fail(slot);
        }
        else if (type == TYPE_SESSION && slot.phase == Phase::WaitSession)
        {
            slot.session = from;
            const auto ack = Packet(TYPE_ACK, number, {});
            sendto(slot.fd, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            sendto(slot.fd, m_openPacket.data(), m_openPacket.size(), 0,
                   reinterpret_cast<sockaddr*>(&from), length);
            slot.phase = Phase::WaitOpenAck;
        }
        else if (type == TYPE_ACK && number == CONNECT_NUMBER + 1 && slot.phase == Phase::WaitOpenAck)
        {
            slot.phase = Phase::Open;
            --m_pending;
            ++m_opened;
            m_consecutiveFailures = 0;
            m_lastOpened = NowSeconds();
        }
    }

    void Fail(Slot& slot)
    {
        if (slot.phase == Phase::WaitSession || slot.phase == Phase::WaitOpenAck)
            --m_pending;
        if (slot.phase != Phase::Failed)
            ++m_failed;
        slot.phase = Phase::Failed;
        if (++m_consecutiveFailures >= m_window)
            m_bStopped = true;
    }

    void ExpireHandshakes()
    {
        const double now = NowSeconds();
        if (now - m_lastExpiry < 0.1)
            return;
        m_lastExpiry = now;
        for (Slot& slot : m_slots)
            if ((slot.phase == Phase::WaitSession || slot.phase == Phase::WaitOpenAck) &&
                now - slot.started > HANDSHAKE_TIMEOUT_S)
                Fail(slot);
    }

    sockaddr_in m_clientPort;
    int m_count;
    int m_window;
    double m_budget;
    int m_epoll;
    std::vector<uint8_t> m_openPacket;
    std::vector<Slot> m_slots;
    int m_pending = 0;
    int m_opened = 0;
    int m_failed = 0;
    int m_consecutiveFailures = 0;
    bool m_bStopped = false;
    double m_start = 0;
    double m_lastOpened = 0;
    double m_lastExpiry = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
    {
        std::fprintf(stderr,
                     "usage: tq_bench_idle CLIENT_PORT HOST_PORT COUNT [WINDOW] [BUDGET_SECONDS]\n");
        return 2;
    }
    RaiseFileLimit();
    const int count = std::atoi(argv[3]);
    const int window = argc > 4 ? std::max(1, std::atoi(argv[4])) : 64;
    const double budget = argc > 5 ? std::atof(argv[5]) : 60.0;
    Loader loader(ParsePort(argv[1]), ParsePort(argv[2]), count, window, budget);
    loader.Run();
    loader.Report();
    // The sessions stay open, silent, until the program is ended.
    signal(SIGTERM, SIG_DFL);
    for (;;)
        pause();
}
