#include "server/ServerMetrics.h"

#include "common/MetricsText.h"
#include "tunnel/ProxyStats.h"

namespace
{
struct TrafficFamily
{
    const char* name;
    const char* help;
};

// In the order of CServerMetrics::TrafficOf.
constexpr TrafficFamily kTraffic[] = {
    {"tarviqen_received_bytes_total", "Bytes received from clients in Data packets."},
    {"tarviqen_sent_bytes_total", "Bytes sent to clients in Data packets and acknowledged."},
    {"tarviqen_received_data_packets_total", "In-order Data packets received from clients."},
    {"tarviqen_sent_data_packets_total", "Data packets sent to clients and acknowledged."},
    {"tarviqen_timeouts_total", "Retransmissions after a timeout."},
    {"tarviqen_duplicate_data_packets_total", "Data packets received again."},
    {"tarviqen_out_of_synch_data_packets_total", "Data packets received out of sequence."},
};

// Label values of SessionEndCause, None counting as an error.
constexpr const char* kCauseNames[] = {"error", "client", "host", "idle", "administrator", "error",
                                       "replaced"};

constexpr const char* kStateNames[] = {"connect", "session_id", "session_id_wack", "wait_for_open",
                                       "data", "exit", "wait_final_ack"};

uint64_t Counter(int value) { return static_cast<uint32_t>(value); } // the record's counters wrap
} // namespace

CServerMetrics::CServerMetrics(double startTime, NanoClock clock)
    : m_dStartTime(startTime), m_clock(std::move(clock))
{
}

double CServerMetrics::SystemSeconds()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

uint64_t CServerMetrics::SteadyNanoseconds()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

CServerMetrics::Traffic CServerMetrics::TrafficOf(const CProxyStats& stats)
{
    return {Counter(stats.m_nBytesReceived),      Counter(stats.m_nBytesSent),
            Counter(stats.m_nDataPacketsReceived), Counter(stats.m_nDataPacketsSent),
            Counter(stats.m_nTimeouts),            Counter(stats.m_nDuplicateData),
            Counter(stats.m_nOutOfSynchData)};
}

void CServerMetrics::SessionEnded(const CProxyStats& stats, SessionEndCause cause)
{
    ++m_closed[static_cast<size_t>(cause)];
    const Traffic traffic = TrafficOf(stats);
    for (size_t i = 0; i < TRAFFIC_COUNTERS; ++i)
        m_ended[i] += traffic[i];
}

void CServerMetrics::PassEnded()
{
    m_passDuration.Observe(static_cast<double>(m_clock() - m_nPassStart) / 1e9);
}

std::string CServerMetrics::Page(const Snapshot& snapshot, const char* version) const
{
    CMetricsText page;
    std::array<uint64_t, std::size(kStateNames)> byState{};
    Traffic traffic = m_ended;
    CMetricsHistogram quality{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 1};
    for (const LiveSession& session : snapshot.sessions)
    {
        if (session.state >= 0 && static_cast<size_t>(session.state) < byState.size())
            ++byState[static_cast<size_t>(session.state)];
        const Traffic live = TrafficOf(*session.stats);
        for (size_t i = 0; i < TRAFFIC_COUNTERS; ++i)
            traffic[i] += live[i];
        if (session.state == CProxySession::STATE_DATA)
            quality.Observe(session.stats->m_nLinkQuality / 100.0);
    }
    page.Family("tarviqen_sessions", "gauge", "Client sessions in the session table.");
    page.Sample("tarviqen_sessions", static_cast<uint64_t>(snapshot.sessions.size()));
    page.Family("tarviqen_sessions_by_state", "gauge", "Client sessions by protocol state.");
    for (size_t i = 0; i < byState.size(); ++i)
        page.Sample("tarviqen_sessions_by_state", byState[i], {{"state", kStateNames[i]}});
    page.Family("tarviqen_sessions_opened_total", "counter", "Client sessions opened.");
    page.Sample("tarviqen_sessions_opened_total", m_nOpened);
    page.Family("tarviqen_sessions_closed_total", "counter", "Client sessions ended, by cause.");
    for (size_t i = 1; i < CAUSES; ++i)
    {
        const uint64_t count = m_closed[i] + (i == static_cast<size_t>(SessionEndCause::Error) ? m_closed[0] : 0);
        page.Sample("tarviqen_sessions_closed_total", count, {{"cause", kCauseNames[i]}});
    }
    for (size_t i = 0; i < TRAFFIC_COUNTERS; ++i)
    {
        page.Family(kTraffic[i].name, "counter", kTraffic[i].help);
        page.Sample(kTraffic[i].name, traffic[i]);
    }
    page.Histogram("tarviqen_session_link_quality_ratio",
                   "Link quality of the sessions relaying data now (0 to 1).", quality);
    page.Family("tarviqen_admin_failed_logins_total", "counter", "Admin logins with a wrong password.");
    page.Sample("tarviqen_admin_failed_logins_total", m_nFailedLogins);
    page.Family("tarviqen_open_descriptors", "gauge", "Descriptors the server holds.");
    page.Sample("tarviqen_open_descriptors", static_cast<uint64_t>(std::max(0L, snapshot.descriptorsInUse)));
    page.Family("tarviqen_session_room", "gauge", "Client sessions the descriptor limit leaves room for.");
    page.Sample("tarviqen_session_room", static_cast<uint64_t>(std::max(0, snapshot.sessionRoom)));
    page.Histogram("tarviqen_loop_pass_duration_seconds", "Work of one pass of the server's loop.",
                   m_passDuration);
    page.Family("tarviqen_build_info", "gauge", "The server's version.");
    page.Sample("tarviqen_build_info", uint64_t{1}, {{"version", version}});
    page.Family("tarviqen_process_start_time_seconds", "gauge", "Start of the server, seconds since 1970.");
    page.Sample("tarviqen_process_start_time_seconds", m_dStartTime);
    return page.Text();
}
