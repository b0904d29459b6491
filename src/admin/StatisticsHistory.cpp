#include "admin/StatisticsHistory.h"

#include "platform/TextConversion.h"
#include "platform/Time.h"

#include <charconv>
#include <cstdint>

namespace
{
constexpr size_t SENT_ROW = 10;
constexpr size_t RECEIVED_ROW = 11;

// A counter as the server prints it: a decimal number of 32 bits (it wraps into
// negative numbers in long sessions). Anything else is no number.
std::optional<int32_t> ReadCounter(const std::u16string& text)
{
    const std::string narrow = Utf16ToUtf8(text);
    int64_t value = 0;
    const auto [end, error] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
    if (error != std::errc() || end != narrow.data() + narrow.size() || narrow.empty() ||
        value < INT32_MIN || value > UINT32_MAX)
        return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}
} // namespace

void CStatisticsHistory::clear()
{
    *this = CStatisticsHistory();
}

void CStatisticsHistory::addPoll(std::u16string_view sessionId, std::u16string_view connectTime,
                                 const SessionStatistics& statistics, uint32_t now)
{
    if (!m_bStarted || sessionId != m_strSessionId || connectTime != m_strConnectTime)
    {
        clear();
        m_strSessionId = sessionId;
        m_strConnectTime = connectTime;
    }
    // A first poll, or a clock that did not move on, gives no rate.
    const uint32_t elapsed = m_bStarted && TickPassed(now, m_nNewestTick) ? now - m_nNewestTick : 0;
    if (m_bStarted && elapsed == 0)
        return;
    if (const std::optional<int32_t> quality = ReadCounter(statistics.linkQuality))
        m_linkQuality.push_back({now, static_cast<double>(*quality)});
    addRate(m_sentRate, m_sent, statistics.values[SENT_ROW], now, elapsed);
    addRate(m_receivedRate, m_received, statistics.values[RECEIVED_ROW], now, elapsed);
    m_bStarted = true;
    m_nNewestTick = now;
    dropOld(now);
}

void CStatisticsHistory::addRate(Series& series, Counter& counter, const std::u16string& text,
                                 uint32_t now, uint32_t elapsed)
{
    const std::optional<int32_t> value = ReadCounter(text);
    // The change as 32-bit numbers, so that a counter that wrapped still counts
    // forward; one that went back (it cannot) starts afresh.
    if (value && counter && elapsed > 0)
    {
        const int32_t change =
            static_cast<int32_t>(static_cast<uint32_t>(*value) - static_cast<uint32_t>(*counter));
        if (change >= 0)
            series.push_back({now, change * 1000.0 / elapsed});
    }
    counter = value;
}

void CStatisticsHistory::dropOld(uint32_t now)
{
    for (Series* series : {&m_linkQuality, &m_sentRate, &m_receivedRate})
        while (!series->empty() &&
               TickDiff(now, series->front().tick) > static_cast<int32_t>(SPAN_MS))
            series->pop_front();
}
