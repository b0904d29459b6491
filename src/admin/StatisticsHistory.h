#pragma once
// What the Statistics view's graphs draw: the selected session's link quality and its
// throughput both ways (the change of the byte counters between two polls, per
// second), over the last five minutes of polls. Fed by the poll's replies only.
#include "admin/StatisticsPoll.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

class CStatisticsHistory
{
public:
    static constexpr uint32_t SPAN_MS = 5 * 60 * 1000;

    struct Point
    {
        // The poll's tick count.
        uint32_t tick;
        double value;
    };
    using Series = std::deque<Point>;

    // One poll's reply for `sessionId`, taken at `now`. Another session, or the same
    // client ID with another connect time (a new session), starts the history afresh.
    void addPoll(std::u16string_view sessionId, std::u16string_view connectTime,
                 const SessionStatistics& statistics, uint32_t now);
    void clear();

    // 0..100.
    const Series& linkQuality() const { return m_linkQuality; }
    // Bytes per second, "Data Sent (bytes)" and "Data Received (bytes)".
    const Series& sentRate() const { return m_sentRate; }
    const Series& receivedRate() const { return m_receivedRate; }
    // The tick of the newest poll; the graphs end there.
    uint32_t newestTick() const { return m_nNewestTick; }
    bool empty() const { return !m_bStarted; }

private:
    // A byte counter's value at the previous poll.
    using Counter = std::optional<int32_t>;
    static void addRate(Series& series, Counter& counter, const std::u16string& text, uint32_t now,
                        uint32_t elapsed);
    void dropOld(uint32_t now);

    std::u16string m_strSessionId;
    std::u16string m_strConnectTime;
    bool m_bStarted = false;
    uint32_t m_nNewestTick = 0;
    Counter m_sent;
    Counter m_received;
    Series m_linkQuality;
    Series m_sentRate;
    Series m_receivedRate;
};
