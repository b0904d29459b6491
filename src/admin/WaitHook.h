#pragma once
// How the connection passes the time between two polls of a blocking wait. Without a
// hook it sleeps; the window installs one that keeps painting (a short local event
// loop that takes no user input) for the same time.
#include <cstdint>

class IWaitHook
{
public:
    virtual ~IWaitHook() = default;
    virtual void wait(uint32_t milliseconds) = 0;
};
