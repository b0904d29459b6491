// The server's metrics page: totals that outlive sessions, causes, live states and
// link quality, loop passes.
#include "server/ServerMetrics.h"

#include "support/TestSupport.h"
#include "tunnel/ProxyStats.h"

#include <gtest/gtest.h>

using tq_test::CountOf;
using tq_test::MetricValue;

namespace
{

CProxyStats Traffic(int bytesIn, int bytesOut, int quality)
{
    CProxyStats stats;
    stats.m_nBytesReceived = bytesIn;
    stats.m_nBytesSent = bytesOut;
    stats.m_nTimeouts = 1;
    stats.m_nLinkQuality = quality;
    return stats;
}
} // namespace

TEST(ServerMetricsTest, TotalsKeepTheCountersOfEndedSessions)
{
    uint64_t nanoseconds = 0;
    CServerMetrics metrics(1700000000.5, [&] { return nanoseconds; });
    CServerMetrics::Snapshot snapshot;
    const CProxyStats live = Traffic(100, 40, 80);
    const CProxyStats handshake = Traffic(0, 0, 0);
    snapshot.sessions = {{CProxySession::STATE_DATA, &live}, {CProxySession::STATE_CONNECT, &handshake}};
    std::string page = metrics.Page(snapshot, "1.0.9");
    EXPECT_EQ(MetricValue(page, "tarviqen_received_bytes_total"), "100");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions"), "2");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_by_state{state=\"data\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_by_state{state=\"connect\"}"), "1");
    // Only a relaying session has a link quality to speak of.
    EXPECT_EQ(MetricValue(page, "tarviqen_session_link_quality_ratio_bucket{le=\"0.7\"}"), "0");
    EXPECT_EQ(MetricValue(page, "tarviqen_session_link_quality_ratio_bucket{le=\"0.8\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_session_link_quality_ratio_count"), "1");

    // The session ends: its bytes stay counted; a counter that wrapped counts unsigned.
    metrics.SessionEnded(live, SessionEndCause::Host);
    CProxyStats wrapped = Traffic(-1, 0, 0);
    metrics.SessionEnded(wrapped, SessionEndCause::None);
    metrics.SessionEnded(handshake, SessionEndCause::Replaced);
    metrics.SessionEnded(handshake, SessionEndCause::Administrator);
    snapshot.sessions.clear();
    page = metrics.Page(snapshot, "1.0.9");
    EXPECT_EQ(MetricValue(page, "tarviqen_received_bytes_total"), "4294967395");
    EXPECT_EQ(MetricValue(page, "tarviqen_sent_bytes_total"), "40");
    EXPECT_EQ(MetricValue(page, "tarviqen_timeouts_total"), "4");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions"), "0");
    EXPECT_EQ(MetricValue(page, "tarviqen_session_link_quality_ratio_count"), "0");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_closed_total{cause=\"host\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_closed_total{cause=\"error\"}"), "1")
        << "a session without a cause failed in its handshake";
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_closed_total{cause=\"replaced\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_closed_total{cause=\"administrator\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_closed_total{cause=\"idle\"}"), "0");
    EXPECT_EQ(CountOf(page, "tarviqen_sessions_closed_total{"), 6) << "each cause once";
}

TEST(ServerMetricsTest, CountersPassesAndProcessFacts)
{
    uint64_t nanoseconds = 1000;
    CServerMetrics metrics(1700000000.5, [&] { return nanoseconds; });
    metrics.SessionOpened();
    metrics.AdminLoginFailed();
    metrics.AdminLoginFailed();
    metrics.PassStarted();
    nanoseconds += 2'000'000; // 2 ms
    metrics.PassEnded();
    CServerMetrics::Snapshot snapshot;
    snapshot.descriptorsInUse = 12;
    snapshot.sessionRoom = 9990;
    const std::string page = metrics.Page(snapshot, "1.0.9");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_opened_total"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_admin_failed_logins_total"), "2");
    EXPECT_EQ(MetricValue(page, "tarviqen_loop_pass_duration_seconds_bucket{le=\"0.001\"}"), "0");
    EXPECT_EQ(MetricValue(page, "tarviqen_loop_pass_duration_seconds_bucket{le=\"0.003\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_loop_pass_duration_seconds_sum"), "0.002");
    EXPECT_EQ(MetricValue(page, "tarviqen_open_descriptors"), "12");
    EXPECT_EQ(MetricValue(page, "tarviqen_session_room"), "9990");
    EXPECT_EQ(MetricValue(page, "tarviqen_build_info{version=\"1.0.9\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_process_start_time_seconds"), "1700000000.5");
    // Every family has its HELP and TYPE, and every counter ends in _total.
    size_t at = 0;
    while ((at = page.find("# TYPE ", at)) != std::string::npos)
    {
        const size_t end = page.find('\n', at);
        const std::string line = page.substr(at, end - at);
        if (line.ends_with(" counter"))
        {
            EXPECT_NE(line.find("_total "), std::string::npos) << line;
        }
        at = end;
    }
    EXPECT_EQ(CountOf(page, "# HELP "), CountOf(page, "# TYPE "));
}
