#pragma once
// A lossy UDP relay on loopback that stands between a client and a proxy server
// like a NAT: the client sends to Port(); each client address gets an outside socket
// of its own towards the server, and each server address that answers (the client
// port, every session's own socket) gets an inside socket of its own towards the
// client, so replies keep their distinct source ports. Datagrams are dropped,
// duplicated and delayed from a seeded generator. Runs on its own thread.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <netinet/in.h>

namespace tq_test
{

struct RelayImpairment
{
    double loss = 0.0;      // probability that a datagram is dropped
    double duplicate = 0.0; // probability that a forwarded datagram is sent twice
    int maxDelayMs = 0;     // each copy waits 0..maxDelayMs
};

class UdpRelay
{
  public:
    static constexpr size_t MAX_SOCKETS = 64;
    static constexpr size_t MAX_QUEUED = 4096;

    UdpRelay(uint16_t serverPort, uint32_t seed);
    ~UdpRelay();
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    // The port the client sends to (its ProxyServer setting).
    uint16_t Port() const { return m_nPort; }
    void SetImpairment(const RelayImpairment& impairment);
    // A blocked relay drops everything in both directions.
    void SetBlocked(bool blocked) { m_bBlocked = blocked; }
    uint64_t Forwarded() const { return m_nForwarded; }
    uint64_t Dropped() const { return m_nDropped; }
    uint64_t Duplicated() const { return m_nDuplicated; }

  private:
    struct Link
    {
        int fd;
        sockaddr_in peer; // inside: the server address it leads to; outside: the client
        bool inside;
    };
    struct Pending
    {
        std::chrono::steady_clock::time_point due;
        int fd;
        sockaddr_in to;
        std::vector<uint8_t> bytes;
    };

    void Run();
    void Receive(const Link& link);
    const Link* LinkFor(bool inside, const sockaddr_in& peer);
    void Forward(int fd, const sockaddr_in& to, const std::vector<uint8_t>& bytes);
    void SendDue();
    int PollTimeoutMs() const;

    uint16_t m_nPort = 0;
    std::vector<Link> m_links; // touched by the relay thread only (after construction)
    std::deque<Pending> m_pending;
    std::mutex m_mutex; // guards the impairment and the generator
    RelayImpairment m_impairment;
    std::mt19937 m_random;
    std::atomic<bool> m_bBlocked{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<uint64_t> m_nForwarded{0};
    std::atomic<uint64_t> m_nDropped{0};
    std::atomic<uint64_t> m_nDuplicated{0};
    std::thread m_thread;
};

} // namespace tq_test
