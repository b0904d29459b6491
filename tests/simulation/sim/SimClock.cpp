#include "sim/SimClock.h"

#include <cstdlib>

namespace tq_sim
{

namespace
{
constexpr uint64_t FILE_TIME_UNITS_PER_MS = 10000;
} // namespace

SimClock::SimClock(uint32_t startTick, int localOffsetMinutes)
    : m_startTick(startTick), m_localOffsetMinutes(localOffsetMinutes)
{
    const DateTime start{2024, 3, 2, 5, 14, 7, 9, 42};
    if (!DateTimeToFileTime(start, m_startFileTime))
        std::abort();
}

void SimClock::Set(uint64_t ms)
{
    if (ms > m_nowMs)
        m_nowMs = ms;
}

DateTime SimClock::At(int64_t offsetMs) const
{
    const int64_t units =
        static_cast<int64_t>(m_nowMs) * static_cast<int64_t>(FILE_TIME_UNITS_PER_MS) +
        offsetMs * static_cast<int64_t>(FILE_TIME_UNITS_PER_MS);
    DateTime time;
    FileTimeToDateTime(m_startFileTime + static_cast<uint64_t>(units), time);
    return time;
}

DateTime SimClock::LocalTime()
{
    return At(int64_t{m_localOffsetMinutes} * 60000);
}

DateTime SimClock::UtcTime()
{
    return At(0);
}

} // namespace tq_sim
