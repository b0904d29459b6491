#pragma once
// Virtual time of a simulation run: milliseconds since the start as a 64-bit count,
// seen by the code under test as a 32-bit tick count (starting wherever the run says,
// so that it may wrap during the run) and as local time and UTC moving along with it.
#include "platform/Clock.h"

#include <cstdint>

namespace tq_sim
{

class SimClock : public IClock
{
  public:
    // `startTick` is the tick count at virtual time 0; UTC starts at 2024-03-05
    // 14:07:09.042 and local time is UTC + localOffsetMinutes.
    explicit SimClock(uint32_t startTick, int localOffsetMinutes = 60);

    uint32_t TickCount() override { return m_startTick + static_cast<uint32_t>(m_nowMs); }
    DateTime LocalTime() override;
    DateTime UtcTime() override;

    uint64_t Now() const { return m_nowMs; }
    // Time only moves forward.
    void Set(uint64_t ms);

  private:
    DateTime At(int64_t offsetMs) const;

    uint32_t m_startTick;
    uint64_t m_startFileTime = 0; // UTC at virtual time 0, in 100 ns units since 1601
    int m_localOffsetMinutes;
    uint64_t m_nowMs = 0;
};

} // namespace tq_sim
