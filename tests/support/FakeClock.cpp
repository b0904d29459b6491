#include "support/FakeClock.h"

namespace tq_test
{

DateTime DateTimeFromUnixMs(int64_t ms)
{
    int64_t days = ms / 86400000;
    int64_t rest = ms % 86400000;
    if (rest < 0)
    {
        rest += 86400000;
        --days;
    }
    DateTime t;
    t.dayOfWeek = static_cast<uint16_t>((days % 7 + 11) % 7); // 1970-01-01 was a Thursday
    // Civil date from days (H. Hinnant's algorithm).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    t.year = static_cast<uint16_t>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    t.month = static_cast<uint16_t>(m);
    t.day = static_cast<uint16_t>(d);
    t.hour = static_cast<uint16_t>(rest / 3600000);
    t.minute = static_cast<uint16_t>(rest / 60000 % 60);
    t.second = static_cast<uint16_t>(rest / 1000 % 60);
    t.milliseconds = static_cast<uint16_t>(rest % 1000);
    return t;
}

FakeClock::FakeClock(uint32_t tick, int localOffsetMinutes)
    : m_tick(tick), m_utcMs(1709647629042), m_localOffsetMinutes(localOffsetMinutes)
{
}

DateTime FakeClock::LocalTime()
{
    return DateTimeFromUnixMs(m_utcMs + int64_t{m_localOffsetMinutes} * 60000);
}

DateTime FakeClock::UtcTime() { return DateTimeFromUnixMs(m_utcMs); }

void FakeClock::Advance(uint32_t milliseconds)
{
    m_tick += milliseconds;
    m_utcMs += milliseconds;
}

} // namespace tq_test
