#include "tunnel/ProxyStats.h"

#include <gtest/gtest.h>

namespace
{

void Ack(CProxyStats& stats, uint32_t sentAt, uint32_t rtt, int payload = 0)
{
    stats.Send(sentAt);
    stats.AckReceived(sentAt + rtt, payload);
}

} // namespace

TEST(ProxyStatsTest, RoundTripWindowKeepsTheTenNewestSamples)
{
    CProxyStats stats;
    EXPECT_EQ(stats.AverageRoundTrip(), 0);

    Ack(stats, 5000, 1000); // the oldest, pushed out by the eleventh
    for (uint32_t i = 2; i <= 11; ++i)
        Ack(stats, 5000 * i, 10 * i);
    EXPECT_EQ(stats.m_nSamples, CProxyStats::SAMPLE_WINDOW);
    EXPECT_EQ(stats.m_anSamples[0], 20);
    EXPECT_EQ(stats.m_anSamples[9], 110);
    EXPECT_EQ(stats.AverageRoundTrip(), 65); // (20 + ... + 110) / 10

    CProxyStats wrap;
    Ack(wrap, 0xFFFFFF00u, 0x164); // the tick count wraps between send and ACK
    EXPECT_EQ(wrap.m_anSamples[0], 0x164);
    EXPECT_EQ(wrap.AverageRoundTrip(), 0x164);
}

TEST(ProxyStatsTest, LinkQualityStaysWithinZeroAndHundred)
{
    CProxyStats stats;
    stats.SetFullQuality();
    for (int i = 0; i < 5; ++i)
        stats.Timeout();
    EXPECT_EQ(stats.m_nLinkQuality, 0);
    stats.Timeout();
    EXPECT_EQ(stats.m_nLinkQuality, 0);
    EXPECT_EQ(stats.m_nTimeouts, 6);

    stats.Reset();
    for (int i = 0; i < 21; ++i)
        Ack(stats, 100, 10);
    EXPECT_EQ(stats.m_nLinkQuality, 100);
    stats.DataReceived();
    EXPECT_EQ(stats.m_nLinkQuality, 100);
    EXPECT_EQ(stats.m_nDataPacketsReceived, 1);
}

TEST(ProxyStatsTest, RetransmittedPacketCountsItsBytesOnceAndResetKeepsOutputFlag)
{
    CProxyStats stats;
    stats.SetOutputFlag(3);
    stats.SetFullQuality();
    uint32_t now = 1000;
    stats.Send(now);
    for (int i = 0; i < 3; ++i)
    {
        now += 3000;
        stats.Timeout();
        stats.Send(now);
    }
    stats.AckReceived(now + 40, 300);
    EXPECT_EQ(stats.m_nBytesSent, 300);
    EXPECT_EQ(stats.m_nTimeouts, 3);
    EXPECT_EQ(stats.m_nLinkQuality, 45);
    EXPECT_EQ(stats.AverageRoundTrip(), 40); // measured from the last re-send

    // A session that moved more than 2 GiB wraps the counter instead of overflowing.
    stats.m_nBytesReceived = 0x7FFFFF00;
    CProxyStats::Count(stats.m_nBytesReceived, 512);
    EXPECT_EQ(static_cast<uint32_t>(stats.m_nBytesReceived), 0x80000100u);

    stats.Reset();
    EXPECT_EQ(stats.m_nBytesSent, 0);
    EXPECT_EQ(stats.m_nSamples, 0);
    EXPECT_EQ(stats.m_dwLastSendTime, 0u);
    EXPECT_EQ(stats.m_nLinkQuality, 0);
    EXPECT_EQ(stats.GetOutputFlag(), 3);
}

TEST(ProxyStatsTest, StatisticsTextAndConsoleDump)
{
    CProxyStats stats;
    stats.m_nDuplicateData = 1;
    stats.m_nDataPacketsSent = 3;
    stats.m_nDataPacketsReceived = 5;
    stats.m_nAcksSent = 7;
    stats.m_nAcksReceived = 3;
    stats.m_nPings = 2;
    stats.m_nBytesSent = 1412;
    stats.m_nBytesReceived = 230;
    stats.m_nLinkQuality = 40;
    const DateTime connect{2024, 3, 2, 5, 14, 7, 9, 42};
    const DateTime activity{2024, 3, 2, 5, 14, 7, 12, 999};
    const DateTime seen{2024, 3, 2, 5, 14, 7, 40, 1};
    EXPECT_EQ(stats.FormatStatisticsText(connect, activity, seen),
              "2024-03-05 14:07:09.042,2024-03-05 14:07:12,2024-03-05 14:07:40,"
              "0,0,0,1,0,3,5,7,3,2,1412,230,40");

    stats.m_nTimeouts = 4;
    stats.m_nAckErrors1 = 1;
    stats.m_nAckErrors2 = 2;
    stats.m_nOutOfSynchData = 6;
    stats.Send(100);
    stats.AckReceived(150, 0);
    const std::string hyphens(48, '-');
    EXPECT_EQ(stats.FormatConsoleDump("10.0.0.7:1027", 12),
              "Statistics for session 10.0.0.7:1027\n" + hyphens +
                  "\n"
                  "\n"
                  "Timeouts:      4\n"
                  "ACK Error 1:   1\n"
                  "ACK Error 2:   2\n"
                  "Dupl. Data:    1\n"
                  "OOS Data:      6\n"
                  "Data Pkt Sent: 3\n"
                  "Data Pkt Rcvd: 5\n"
                  "ACK Sent:      7\n"
                  "ACK Rcvd:      3\n"
                  "Pings:         2\n"
                  "Sent Data:     1412 bytes\n"
                  "Rec. Data:     230 bytes\n"
                  "Link Quality:  45\n"
                  "Ave. RTT:      50\n"
                  "Idle Time:     12\n"
                  "\n" +
                  hyphens + "\n");
}
