#include "platform/Clock.h"

CSystemClock& CSystemClock::Instance()
{
    static CSystemClock clock;
    return clock;
}
