#include "tunnel/FastLinkPolicy.h"

#include <algorithm>

namespace
{
// More doublings cannot lift any timeout above the ceiling.
constexpr uint32_t kMaxBackOff = 4;
} // namespace

uint32_t CFastLinkPolicy::RetransmitTimeoutMs() const
{
    const uint64_t base = m_bSampled ? uint64_t{m_nSmoothedRtt} + 4u * uint64_t{m_nRttVariation}
                                     : uint64_t{kInitialMs};
    const uint64_t timeout = std::max<uint64_t>(base, kFloorMs) << m_nBackOff;
    return static_cast<uint32_t>(std::min<uint64_t>(timeout, kCeilingMs));
}

void CFastLinkPolicy::Acknowledged(uint32_t roundTripMs)
{
    // Anything longer than the ceiling says no more than the ceiling does.
    const uint32_t sample = std::min(roundTripMs, kCeilingMs);
    if (!m_bSampled)
    {
        m_nSmoothedRtt = sample;
        m_nRttVariation = sample / 2;
        m_bSampled = true;
    }
    else
    {
        const uint32_t deviation =
            sample > m_nSmoothedRtt ? sample - m_nSmoothedRtt : m_nSmoothedRtt - sample;
        m_nRttVariation = (3 * m_nRttVariation + deviation) / 4;
        m_nSmoothedRtt = (7 * m_nSmoothedRtt + sample) / 8;
    }
    m_nBackOff = 0;
}

void CFastLinkPolicy::TimedOut()
{
    m_nBackOff = std::min(m_nBackOff + 1, kMaxBackOff);
}
