#pragma once
// The fast link's pacing: a retransmission timeout taken from measured round trips,
// as TCP takes it (smoothed round trip plus four times its variation), kept between
// a floor and the stop-and-wait time, and doubled at each timeout of the same packet
// until a fresh sample arrives.
#include "tunnel/SendPolicy.h"

#include <cstdint>

class CFastLinkPolicy final : public ISendPolicy
{
public:
    // No shorter: an ACK delayed by a busy host must not look lost.
    static constexpr uint32_t kFloorMs = 200;
    // No longer than stop-and-wait waits.
    static constexpr uint32_t kCeilingMs = 3000;
    // Before the first sample (the handshake's first packet).
    static constexpr uint32_t kInitialMs = 1000;

    size_t Window() const override { return 1; }
    uint32_t RetransmitTimeoutMs() const override;
    // A sample from a packet that was sent once; the back-off ends with it.
    void Acknowledged(uint32_t roundTripMs) override;
    void TimedOut() override;

    uint32_t SmoothedRttMs() const { return m_nSmoothedRtt; }
    uint32_t RttVariationMs() const { return m_nRttVariation; }

private:
    bool m_bSampled = false;
    uint32_t m_nSmoothedRtt = 0;
    uint32_t m_nRttVariation = 0;
    // Timeouts since the last sample: the timeout doubles at each.
    uint32_t m_nBackOff = 0;
};
