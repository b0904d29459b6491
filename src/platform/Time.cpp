#include "platform/Time.h"

#include <ctime>

namespace
{
timespec ReadClock(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts;
}

DateTime FromTm(const std::tm& tm, long nanoseconds)
{
    DateTime result;
    result.year = static_cast<uint16_t>(tm.tm_year + 1900);
    result.month = static_cast<uint16_t>(tm.tm_mon + 1);
    result.dayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    result.day = static_cast<uint16_t>(tm.tm_mday);
    result.hour = static_cast<uint16_t>(tm.tm_hour);
    result.minute = static_cast<uint16_t>(tm.tm_min);
    // A leap second is folded into the last regular second.
    result.second = static_cast<uint16_t>(tm.tm_sec > 59 ? 59 : tm.tm_sec);
    result.milliseconds = static_cast<uint16_t>(nanoseconds / 1000000);
    return result;
}

bool IsLeapYear(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month)
{
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

// The civil date of a day count from 1970-01-01 (the inverse of DaysFromCivil).
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr uint64_t kFileTimeUnitsPerMs = 10000;
constexpr int kLastYear = 30827; // the last year a date-time record can hold
} // namespace

uint32_t GetTickCount()
{
    const timespec ts = ReadClock(CLOCK_MONOTONIC);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

DateTime GetLocalDateTime()
{
    const timespec ts = ReadClock(CLOCK_REALTIME);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, ts.tv_nsec);
}

DateTime GetUtcDateTime()
{
    const timespec ts = ReadClock(CLOCK_REALTIME);
    std::tm tm{};
    gmtime_r(&ts.tv_sec, &tm);
    return FromTm(tm, ts.tv_nsec);
}

bool DateTimeToFileTime(const DateTime& time, uint64_t& fileTime)
{
    if (time.year < 1601 || time.year > kLastYear || time.month < 1 || time.month > 12 ||
        time.day < 1 || time.day > DaysInMonth(time.year, time.month) || time.hour > 23 ||
        time.minute > 59 || time.second > 59 || time.milliseconds > 999)
    {
        return false;
    }
    const int64_t days = DaysFromCivil(time.year, time.month, time.day) + kDaysFrom1601To1970;
    const uint64_t seconds =
        static_cast<uint64_t>(days) * 86400u + time.hour * 3600u + time.minute * 60u + time.second;
    fileTime = (seconds * 1000u + time.milliseconds) * kFileTimeUnitsPerMs;
    return true;
}

bool FileTimeToDateTime(uint64_t fileTime, DateTime& time)
{
    const uint64_t milliseconds = fileTime / kFileTimeUnitsPerMs;
    const uint64_t seconds = milliseconds / 1000;
    const auto days = static_cast<int64_t>(seconds / 86400);
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days - kDaysFrom1601To1970, year, month, day);
    if (year > kLastYear)
    {
        return false;
    }
    const auto secondOfDay = static_cast<unsigned>(seconds % 86400);
    time.year = static_cast<uint16_t>(year);
    time.month = static_cast<uint16_t>(month);
    time.dayOfWeek = static_cast<uint16_t>((days + 1) % 7); // 1601-01-01 was a Monday
    time.day = static_cast<uint16_t>(day);
    time.hour = static_cast<uint16_t>(secondOfDay / 3600);
    time.minute = static_cast<uint16_t>(secondOfDay / 60 % 60);
    time.second = static_cast<uint16_t>(secondOfDay % 60);
    time.milliseconds = static_cast<uint16_t>(milliseconds % 1000);
    return true;
}

void SleepMs(uint32_t milliseconds)
{
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0)
    {
        request = remaining;
    }
}
