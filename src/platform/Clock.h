#pragma once
// The clock a state machine reads; tests inject their own.
#include "platform/Time.h"

class IClock
{
public:
    virtual ~IClock() = default;
    virtual uint32_t TickCount() = 0;
    virtual DateTime LocalTime() = 0;
    virtual DateTime UtcTime() = 0;
};

// The machine's clock.
class CSystemClock : public IClock
{
public:
    static CSystemClock& Instance();
    uint32_t TickCount() override { return GetTickCount(); }
    DateTime LocalTime() override { return GetLocalDateTime(); }
    DateTime UtcTime() override { return GetUtcDateTime(); }
};
