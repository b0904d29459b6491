#pragma once
// The network between the simulated machines. A datagram may be lost, duplicated,
// damaged (one bit flipped), delayed and held back long enough to arrive after later ones, each
// drawn from the run's random source. Datagrams that are not held back keep their order between two
// machines, as on a real path: their delays vary, but none overtakes another. A datagram for a port
// where no socket is bound may be answered with an ICMP "port unreachable", which itself may be
// lost on the way back. TCP connections are set up here too: a handler of the run decides, for each
// address, whether a connection is accepted (and by which peer), refused or never answered.
#include "platform/Socket.h"
#include "sim/SimWorld.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace tq_sim
{

class SimMachine;
class StreamPeer;

struct NetworkConditions
{
    double loss = 0.0;         // each copy of a datagram is lost with this probability
    double duplicate = 0.0;    // a datagram is sent twice
    double reorder = 0.0;      // a copy is held back, so that later datagrams overtake it
    double corrupt = 0.0;      // a bit of a copy is flipped
    uint32_t latencyMinMs = 5; // one way
    uint32_t latencyMaxMs = 80;
    uint32_t reorderMaxMs = 4000; // the most a held-back copy waits on top
    double icmp = 0.5;            // a closed port answers with "port unreachable"
};

struct NetworkCounters
{
    uint64_t sent = 0;
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
    uint64_t corrupted = 0;
    uint64_t delivered = 0;
    uint64_t unreachable = 0; // arrived where no socket was bound
    uint64_t icmp = 0;        // port unreachable reports that arrived
};

struct ConnectAnswer
{
    enum class Kind
    {
        Accept,
        Refuse,
        NoAnswer
    };
    Kind kind = Kind::Refuse;
    uint32_t delayMs = 1;
    StreamPeer* peer = nullptr; // Accept: the peer that takes the connection
    size_t toProductCapacity = 65536;
    size_t toPeerCapacity = 65536;
};

class SimNetwork
{
  public:
    SimNetwork(SimWorld& world, const NetworkConditions& conditions);

    void Attach(SimMachine& machine);
    void SendDatagram(const SocketAddress& from, const SocketAddress& to,
                      std::span<const uint8_t> data);
    // A hook that may change a datagram as it is sent, or swallow it (false).
    using Tamper = std::function<bool(const SocketAddress& from, const SocketAddress& to,
                                      std::vector<uint8_t>& data)>;
    void SetTamper(Tamper tamper) { m_tamper = std::move(tamper); }
    using ConnectHandler = std::function<ConnectAnswer(const SocketAddress& to)>;
    void SetConnectHandler(ConnectHandler handler) { m_connectHandler = std::move(handler); }
    // Starts a TCP connection from socket `s` (of serial `serial`) of `from`.
    void Connect(SimMachine& from, SOCKET s, uint64_t serial, const SocketAddress& to);
    const NetworkCounters& Counters() const { return m_counters; }

  private:
    uint32_t Latency();
    // Delivers a copy at its time: held back, or in order on its path.
    void Schedule(const SocketAddress& from, const SocketAddress& to,
                  std::shared_ptr<const std::vector<uint8_t>> bytes);
    // The arrival of a copy sent now that is not held back: never before the last one.
    uint64_t InOrderArrival(const SocketAddress& from, const SocketAddress& to);
    void Arrive(const SocketAddress& from, const SocketAddress& to,
                const std::vector<uint8_t>& data);
    void ReportUnreachable(const SocketAddress& sender);

    SimWorld& m_world;
    NetworkConditions m_conditions;
    NetworkCounters m_counters;
    std::map<uint32_t, SimMachine*> m_machines; // by network-order address
    std::map<uint64_t, uint64_t> m_lastArrival; // by path (from and to address)
    ConnectHandler m_connectHandler;
    Tamper m_tamper;
};

} // namespace tq_sim
