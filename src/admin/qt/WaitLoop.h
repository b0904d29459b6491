#pragma once
// The wait between two polls of a blocking command: a short local event loop that
// keeps the windows painted and their timers running, but takes no user input
// (clicks and keys wait until the command is done).
#include "admin/WaitHook.h"

class CWaitLoop : public IWaitHook
{
public:
    void wait(uint32_t milliseconds) override;
};
