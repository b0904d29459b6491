#include "tunnel/SessionId.h"

#include "common/MyString.h"

#include <algorithm>

namespace
{

constexpr int FIELD_COUNT = 8;

std::array<uint16_t, FIELD_COUNT> Fields(const DateTime& t)
{
    return {t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second, t.milliseconds};
}

} // namespace

SessionId SessionId::FromDateTime(const DateTime& time)
{
    SessionId id;
    const auto fields = Fields(time);
    for (int i = 0; i < FIELD_COUNT; ++i)
    {
        id.bytes[2 * i] = static_cast<uint8_t>(fields[i] & 0xFF);
        id.bytes[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }
    return id;
}

SessionId SessionId::FromBytes(std::span<const uint8_t> sixteenBytes)
{
    SessionId id;
    std::copy_n(sixteenBytes.begin(), std::min(sixteenBytes.size(), id.bytes.size()),
                id.bytes.begin());
    return id;
}

DateTime SessionId::ToDateTime() const
{
    auto field = [this](int i)
    { return static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8); };
    DateTime t;
    t.year = field(0);
    t.month = field(1);
    t.dayOfWeek = field(2);
    t.day = field(3);
    t.hour = field(4);
    t.minute = field(5);
    t.second = field(6);
    t.milliseconds = field(7);
    return t;
}

bool SessionId::IsZero() const
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

SessionId SessionId::NextMillisecond() const
{
    constexpr uint64_t FILE_TIME_UNITS_PER_MS = 10000;
    DateTime time = ToDateTime();
    uint64_t fileTime = 0;
    if (DateTimeToFileTime(time, fileTime) &&
        FileTimeToDateTime(fileTime + FILE_TIME_UNITS_PER_MS, time))
    {
        return FromDateTime(time);
    }
    ++time.milliseconds;
    return FromDateTime(time);
}

std::string SessionId::ToText() const
{
    return FormatTime(ToDateTime(), true, ':');
}
