#pragma once
// One packet in flight, sent again after a fixed time: the protocol's own pacing.
#include "tunnel/LinkTiming.h"
#include "tunnel/SendPolicy.h"

class CStopAndWait final : public ISendPolicy
{
public:
    size_t Window() const override { return 1; }
    uint32_t RetransmitTimeoutMs() const override { return link_timing::kRetransmitMs; }
    void Acknowledged(uint32_t /*roundTripMs*/) override {}
    void TimedOut() override {}
};
