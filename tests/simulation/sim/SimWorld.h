#pragma once
// What every part of a simulation run shares: the virtual clock, the random source,
// the queue of timed actions and a digest of everything that happened, by which two
// runs of one seed are compared.
#include "sim/EventQueue.h"
#include "sim/SimClock.h"
#include "sim/SimRandom.h"

#include <cstdint>
#include <functional>
#include <span>

namespace tq_sim
{

// FNV-1a over what is fed to it.
class TraceDigest
{
  public:
    void Add(uint64_t value)
    {
        for (int i = 0; i < 8; ++i, value >>= 8)
            AddByte(static_cast<uint8_t>(value));
    }
    void Add(std::span<const uint8_t> bytes)
    {
        for (const uint8_t byte : bytes)
            AddByte(byte);
    }
    uint64_t Value() const { return m_hash; }

  private:
    void AddByte(uint8_t byte) { m_hash = (m_hash ^ byte) * 1099511628211ull; }
    uint64_t m_hash = 14695981039346656037ull;
};

struct SimWorld
{
    SimWorld(uint64_t seed, uint32_t startTick) : clock(startTick), random(seed) {}

    uint64_t Now() const { return clock.Now(); }
    void At(uint64_t at, std::function<void()> action) { events.Schedule(at, std::move(action)); }
    void After(uint64_t delayMs, std::function<void()> action)
    {
        events.Schedule(Now() + delayMs, std::move(action));
    }

    SimClock clock;
    SimRandom random;
    EventQueue events;
    TraceDigest digest;
};

} // namespace tq_sim
