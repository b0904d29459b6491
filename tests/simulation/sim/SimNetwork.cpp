#include "sim/SimNetwork.h"

#include "sim/SimMachine.h"
#include "sim/StreamPeer.h"
#include "sim/TcpLink.h"

#include <algorithm>

namespace tq_sim
{

SimNetwork::SimNetwork(SimWorld& world, const NetworkConditions& conditions)
    : m_world(world), m_conditions(conditions)
{
}

void SimNetwork::Attach(SimMachine& machine)
{
    m_machines[machine.Address()] = &machine;
}

uint32_t SimNetwork::Latency()
{
    return static_cast<uint32_t>(
        m_world.random.Range(m_conditions.latencyMinMs, m_conditions.latencyMaxMs));
}

void SimNetwork::SendDatagram(const SocketAddress& from, const SocketAddress& to,
                              std::span<const uint8_t> data)
{
    ++m_counters.sent;
    TraceDigest& digest = m_world.digest;
    digest.Add(m_world.Now());
    digest.Add((uint64_t{from.address} << 16) | from.port);
    digest.Add((uint64_t{to.address} << 16) | to.port);
    digest.Add(data);
    std::vector<uint8_t> copy(data.begin(), data.end());
    if (m_tamper && !m_tamper(from, to, copy))
        return;
    const bool twice = m_world.random.Chance(m_conditions.duplicate);
    if (twice)
        ++m_counters.duplicated;
    auto bytes = std::make_shared<const std::vector<uint8_t>>(std::move(copy));
    for (int n = 0; n < (twice ? 2 : 1); ++n)
    {
        if (m_world.random.Chance(m_conditions.loss))
        {
            ++m_counters.lost;
            continue;
        }
        if (!bytes->empty() && m_world.random.Chance(m_conditions.corrupt))
        {
            ++m_counters.corrupted;
            auto damaged = std::make_shared<std::vector<uint8_t>>(*bytes);
            const uint64_t bit = m_world.random.Below(damaged->size() * 8);
            (*damaged)[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            Schedule(from, to, std::move(damaged));
            continue;
        }
        Schedule(from, to, bytes);
    }
}

void SimNetwork::Schedule(const SocketAddress& from, const SocketAddress& to,
                          std::shared_ptr<const std::vector<uint8_t>> bytes)
{
    uint64_t arrival = 0;
    if (m_world.random.Chance(m_conditions.reorder))
    {
        ++m_counters.reordered;
        arrival = m_world.Now() + Latency() + m_world.random.Range(1, m_conditions.reorderMaxMs);
    }
    else
        arrival = InOrderArrival(from, to);
    m_world.At(arrival, [this, from, to, bytes] { Arrive(from, to, *bytes); });
}

uint64_t SimNetwork::InOrderArrival(const SocketAddress& from, const SocketAddress& to)
{
    uint64_t& last = m_lastArrival[(uint64_t{from.address} << 32) | to.address];
    last = std::max(last, m_world.Now() + Latency());
    return last;
}

void SimNetwork::Arrive(const SocketAddress& from, const SocketAddress& to,
                        const std::vector<uint8_t>& data)
{
    const auto it = m_machines.find(to.address);
    if (it == m_machines.end())
        return; // no route: gone without a word
    if (it->second->ReceiveDatagram(from, NetToHost16(to.port), data))
    {
        ++m_counters.delivered;
        return;
    }
    ++m_counters.unreachable;
    if (m_world.random.Chance(m_conditions.icmp))
        ReportUnreachable(from);
}

// The machine of the closed port answers the sender; the answer crosses the same
// network and may be lost too.
void SimNetwork::ReportUnreachable(const SocketAddress& sender)
{
    if (m_world.random.Chance(m_conditions.loss))
        return;
    m_world.After(Latency(),
                  [this, sender]
                  {
                      const auto it = m_machines.find(sender.address);
                      if (it != m_machines.end() &&
                          it->second->ReceivePortUnreachable(NetToHost16(sender.port)))
                          ++m_counters.icmp;
                  });
}

void SimNetwork::Connect(SimMachine& from, SOCKET s, uint64_t serial, const SocketAddress& to)
{
    const ConnectAnswer answer = m_connectHandler ? m_connectHandler(to) : ConnectAnswer{};
    SimMachine* machine = &from;
    switch (answer.kind)
    {
    case ConnectAnswer::Kind::Accept:
        m_world.After(answer.delayMs,
                      [machine, s, serial, answer]
                      {
                          auto link = std::make_shared<TcpLink>(answer.toProductCapacity,
                                                                answer.toPeerCapacity);
                          if (machine->ConnectDone(s, serial, link))
                              answer.peer->Attach(link);
                      });
        break;
    case ConnectAnswer::Kind::Refuse:
        m_world.After(answer.delayMs,
                      [machine, s, serial] { machine->ConnectFailed(s, serial, WSAECONNREFUSED); });
        break;
    case ConnectAnswer::Kind::NoAnswer:
        break;
    }
}

} // namespace tq_sim
