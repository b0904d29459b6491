#pragma once
// Millisecond tick count and calendar times, as the rest of the system sees them.
#include <cstdint>

// A broken-down date and time: the eight 16-bit fields of the Windows record.
struct DateTime
{
    uint16_t year = 0;
    uint16_t month = 0; // 1..12
    uint16_t dayOfWeek = 0; // 0 = Sunday
    uint16_t day = 0;
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
    bool operator==(const DateTime&) const = default;
};

// Milliseconds from CLOCK_MONOTONIC, cut to 32 bits: wraps after 49.7 days.
uint32_t GetTickCount();

// Wrap-safe tick comparisons: every deadline test goes through these.
constexpr int32_t TickDiff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }
// now >= deadline
constexpr bool TickReached(uint32_t now, uint32_t deadline) { return TickDiff(now, deadline) >= 0; }
// now > deadline
constexpr bool TickPassed(uint32_t now, uint32_t deadline) { return TickDiff(now, deadline) > 0; }
// Milliseconds from now until deadline, 0 when it has been reached.
constexpr uint32_t TickRemaining(uint32_t now, uint32_t deadline)
{
    return TickReached(now, deadline) ? 0u : static_cast<uint32_t>(deadline - now);
}

DateTime GetLocalDateTime();
DateTime GetUtcDateTime();

// 100 ns units since 1601-01-01 (the file time). False for an impossible date.
bool DateTimeToFileTime(const DateTime& time, uint64_t& fileTime);
// The date-time of a file time, day of the week included. False past the year 30827.
bool FileTimeToDateTime(uint64_t fileTime, DateTime& time);

void SleepMs(uint32_t milliseconds);
