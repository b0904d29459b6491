#pragma once
// The link's timing, in one place: every figure in milliseconds.
#include <cstdint>

namespace link_timing
{

// A numbered packet without its ACK is sent again after this (stop-and-wait).
inline constexpr uint32_t kRetransmitMs = 3000;
// Each handshake step waits this long for the peer's answer.
inline constexpr uint32_t kHandshakeStepMs = 3000;
// The client pings a link that has carried nothing for this long.
inline constexpr uint32_t kPingIdleMs = 3000;

} // namespace link_timing
