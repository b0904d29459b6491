#include "client/StatisticsFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using tq_test::ReadFile;
using tq_test::TempDir;

namespace
{
const DateTime SESSION_START{2024, 2, 4, 1, 9, 5, 3, 7};
const DateTime DUMP_TIME{2024, 2, 4, 1, 9, 5, 13, 250};

CProxyStats KnownRecord()
{
    CProxyStats stats;
    stats.SetOutputFlag(1);
    stats.m_nTimeouts = 3;
    stats.m_nAckErrors1 = 1;
    stats.m_nAckErrors2 = 2;
    stats.m_nDuplicateData = 4;
    stats.m_nOutOfSynchData = 5;
    stats.m_nDataPacketsSent = 120;
    stats.m_nDataPacketsReceived = 98;
    stats.m_nAcksSent = 99;
    stats.m_nAcksReceived = 121;
    stats.m_nPings = 7;
    stats.m_nBytesSent = 61440;
    stats.m_nBytesReceived = 50176;
    stats.m_nLinkQuality = 85;
    stats.m_anSamples[0] = 10;
    stats.m_anSamples[1] = 21;
    stats.m_nSamples = 2;
    return stats;
}

size_t FileCount(const std::string& folder)
{
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
}
} // namespace

TEST(StatisticsFileTest, NameCarriesTheSessionStartWithOneSlash)
{
    EXPECT_EQ(CStatisticsFile::FileName("/data/stats", SESSION_START),
              "/data/stats/Statistics 2024-02-01 09.05.03.007.txt");
    EXPECT_EQ(CStatisticsFile::FileName("/data/stats/", SESSION_START),
              "/data/stats/Statistics 2024-02-01 09.05.03.007.txt");
}

TEST(StatisticsFileTest, WritesTheTwentyThreeLines)
{
    TempDir dir;
    ASSERT_TRUE(CStatisticsFile::Write(KnownRecord(), dir.Path(), SESSION_START, DUMP_TIME));
    const std::string expected = "Statistics for Session\r\n"
                                 "------------------------------------------------\r\n"
                                 "\r\n"
                                 "Timeouts              3\r\n"
                                 "ACK Error 1           1\r\n"
                                 "ACK Error 2           2\r\n"
                                 "Duplicate Data        4\r\n"
                                 "Out of Synch Data     5\r\n"
                                 "\r\n"
                                 "Data Packets Sent     120\r\n"
                                 "Data Packets Received 98\r\n"
                                 "ACKs Sent             99\r\n"
                                 "ACKs Received         121\r\n"
                                 "Pings                 7\r\n"
                                 "\r\n"
                                 "Sent Data             61440 bytes\r\n"
                                 "Received Data         50176 bytes\r\n"
                                 "Link Quality          85 %\r\n"
                                 "Average RTT           15 ms\r\n"
                                 "\r\n"
                                 "------------------------------------------------\r\n"
                                 "\r\n"
                                 "Statistics dumped at 2024-02-01 09:05:13.250\r\n";
    EXPECT_EQ(ReadFile(dir.File("Statistics 2024-02-01 09.05.03.007.txt")), expected);

    // Rewritten whole: a reset record leaves no trace of the old counters.
    CProxyStats fresh;
    fresh.SetOutputFlag(1);
    ASSERT_TRUE(CStatisticsFile::Write(fresh, dir.Path() + "/", SESSION_START, DUMP_TIME));
    const std::string text = ReadFile(dir.File("Statistics 2024-02-01 09.05.03.007.txt"));
    EXPECT_NE(text.find("Timeouts              0\r\n"), std::string::npos);
    EXPECT_NE(text.find("Link Quality          0 %\r\n"), std::string::npos);
    EXPECT_NE(text.find("Average RTT           0 ms\r\n"), std::string::npos);
    EXPECT_EQ(FileCount(dir.Path()), 1u);
}

TEST(StatisticsFileTest, OutputFlagAndFolderDecideWhetherAFileIsWritten)
{
    TempDir dir;
    CProxyStats silent = KnownRecord();
    silent.SetOutputFlag(0);
    EXPECT_TRUE(CStatisticsFile::Write(silent, dir.Path(), SESSION_START, DUMP_TIME));
    EXPECT_TRUE(CStatisticsFile::Write(silent, "", SESSION_START, DUMP_TIME));
    EXPECT_EQ(FileCount(dir.Path()), 0u);

    EXPECT_FALSE(CStatisticsFile::Write(KnownRecord(), "", SESSION_START, DUMP_TIME));
    EXPECT_FALSE(
        CStatisticsFile::Write(KnownRecord(), dir.File("missing"), SESSION_START, DUMP_TIME));
    EXPECT_EQ(FileCount(dir.Path()), 0u);
}
