#pragma once
// How a link endpoint paces its numbered packets: how many may wait for their ACKs at
// once and when one is sent again. The endpoint asks; the sessions never see it.
#include <cstddef>
#include <cstdint>

class ISendPolicy
{
public:
    virtual ~ISendPolicy() = default;
    // Numbered packets that may be in flight at once.
    virtual size_t Window() const = 0;
    // Milliseconds from a transmission until the packet is sent again.
    virtual uint32_t RetransmitTimeoutMs() const = 0;
    // The packet in flight was acknowledged after `roundTripMs`.
    virtual void Acknowledged(uint32_t roundTripMs) = 0;
    // The packet in flight waited its whole timeout.
    virtual void TimedOut() = 0;
};
