#pragma once
// The 16-byte session ID: the server's UTC time at the session's creation as eight
// 16-bit little-endian fields (year, month, day of week, day, hour, minute, second,
// millisecond).
#include "platform/Time.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

struct SessionId
{
    std::array<uint8_t, 16> bytes{};

    static SessionId FromDateTime(const DateTime& time);
    static SessionId FromBytes(std::span<const uint8_t> sixteenBytes);
    DateTime ToDateTime() const;
    bool IsZero() const;
    // The ID one millisecond later; a valid date-time stays one, with the carry into
    // seconds, days, months and years and the day of the week moving along. An ID that
    // is no date-time only has its millisecond field moved on.
    SessionId NextMillisecond() const;
    // "%04d-%02d-%02d %02d:%02d:%02d.%03d" (the day of the week is not shown).
    std::string ToText() const;
    bool operator==(const SessionId&) const = default;
};
