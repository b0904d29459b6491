#pragma once
// What the server counts for monitoring, and the page of it in the Prometheus text
// format. The loop feeds it sessions that open and end, failed admin logins and the
// duration of its passes; the page adds the live sessions at the time it is made.
#include "common/MetricsHistogram.h"
#include "server/ProxySession.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CProxyStats;

class CServerMetrics
{
public:
    // A live session as the page sees it.
    struct LiveSession
    {
        int state = 0;
        const CProxyStats* stats = nullptr;
    };
    struct Snapshot
    {
        std::vector<LiveSession> sessions;
        long descriptorsInUse = 0;
        int sessionRoom = 0;
    };
    // Monotonic nanoseconds, for the pass durations.
    using NanoClock = std::function<uint64_t()>;

    // `startTime`: the process's start, seconds since 1970.
    explicit CServerMetrics(double startTime = SystemSeconds(), NanoClock clock = SteadyNanoseconds);

    void SessionOpened() { ++m_nOpened; }
    // Adds the ended session's counters to the totals; a session without a cause
    // failed in its handshake.
    void SessionEnded(const CProxyStats& stats, SessionEndCause cause);
    void AdminLoginFailed() { ++m_nFailedLogins; }
    void PassStarted() { m_nPassStart = m_clock(); }
    void PassEnded();

    std::string Page(const Snapshot& snapshot, const char* version) const;

    static double SystemSeconds();
    static uint64_t SteadyNanoseconds();

private:
    // The traffic counters of a session record, in the order of the page's families.
    static constexpr size_t TRAFFIC_COUNTERS = 7;
    using Traffic = std::array<uint64_t, TRAFFIC_COUNTERS>;
    static Traffic TrafficOf(const CProxyStats& stats);
    static constexpr size_t CAUSES = 7; // SessionEndCause's values

    double m_dStartTime;
    NanoClock m_clock;
    uint64_t m_nOpened = 0;
    std::array<uint64_t, CAUSES> m_closed{};
    Traffic m_ended{}; // summed over the sessions that have ended
    uint64_t m_nFailedLogins = 0;
    uint64_t m_nPassStart = 0;
    CMetricsHistogram m_passDuration{0.00001, 0.00003, 0.0001, 0.0003, 0.001, 0.003, 0.01, 0.03, 0.1,
                                     0.3, 1};
};
