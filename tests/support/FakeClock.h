#pragma once
// A clock that moves only when the test says so. Local time and UTC move together
// with the tick count; local time is UTC + localOffsetMinutes.
#include "platform/Clock.h"

#include <cstdint>

namespace tq_test
{

class FakeClock : public IClock
{
public:
    // Starts at 2024-03-05 14:07:09.042 UTC with the tick count `tick`.
    explicit FakeClock(uint32_t tick = 1000000, int localOffsetMinutes = 60);
    uint32_t TickCount() override { return m_tick; }
    DateTime LocalTime() override;
    DateTime UtcTime() override;
    void Advance(uint32_t milliseconds);
    void SetTick(uint32_t tick) { m_tick = tick; }

private:
    uint32_t m_tick;
    int64_t m_utcMs; // milliseconds since 1970-01-01
    int m_localOffsetMinutes;
};

// A DateTime of milliseconds since 1970-01-01 (proleptic Gregorian calendar).
DateTime DateTimeFromUnixMs(int64_t ms);

} // namespace tq_test
