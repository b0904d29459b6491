#include "support/TestSupport.h"
#include "TestLog.h"

#include <filesystem>
#include <sstream>
#include <vector>

using namespace tq_test;

namespace
{
constexpr const char* STAMP = "2012-03-02 14:05:09.042 ";

std::string NumberedLines(int first, int count)
{
    std::string text;
    for (int i = first; i < first + count; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    return text;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
} // namespace

class LogTest : public LogTestBase
{
};

TEST_F(LogTest, LineFormatAndLevelFilter)
{
    m_pLog->Print(CLog::LEVEL_INFO, "Admin session closed.");
    m_pLog->Print(CLog::LEVEL_INFO, "%s", "");
    m_pLog->Print(CLog::LEVEL_DEBUG, "hidden at the default level");
    EXPECT_EQ(Contents(), std::string(STAMP) + "Admin session closed.\r\n" + STAMP + "\r\n");
    EXPECT_EQ(m_pLog->GetLineCount(), 2u);

    m_pLog->SetLogLevel(CLog::LEVEL_ERROR);
    m_pLog->Print(CLog::LEVEL_INFO, "info");
    m_pLog->Print(CLog::LEVEL_DEBUG, "debug");
    m_pLog->Print(CLog::LEVEL_ERROR, "error %d", 7);
    m_pLog->SetLogLevel(CLog::LEVEL_DEBUG);
    m_pLog->Print(CLog::LEVEL_DEBUG, "debug %s", "shown");
    const auto lines = SplitLines(Contents());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], std::string(STAMP) + "error 7\r");
    EXPECT_EQ(lines[3], std::string(STAMP) + "debug shown\r");

    EXPECT_STREQ(CLog::GetLevelName(1), "Error");
    EXPECT_STREQ(CLog::GetLevelName(2), "Info");
    EXPECT_STREQ(CLog::GetLevelName(3), "Debug");
    EXPECT_STREQ(CLog::GetLevelName(0), "Invalid");
    EXPECT_FALSE(CLog::isValidLogLevel(4));
}

TEST_F(LogTest, LongMessagesAreCutAtACharacterBoundary)
{
    m_pLog->Print(CLog::LEVEL_INFO, "%s", std::string(20000, 'x').c_str());
    std::string text = Contents();
    ASSERT_EQ(text.size(), 1023u + 2);
    EXPECT_EQ(text.substr(1022), "x\r\n");

    // 24 bytes of time stamp leave 999 for the message: the 500th two-byte letter
    // does not fit whole and is dropped.
    m_pLog->Clear();
    std::string wide;
    for (int i = 0; i < 600; ++i)
        wide += "\xC3\xA9";
    m_pLog->Write(CLog::LEVEL_INFO, wide);
    text = Contents();
    ASSERT_EQ(text.size(), 24u + 998 + 2);
    EXPECT_EQ(text.substr(24, 998), wide.substr(0, 998));
}

TEST_F(LogTest, CountsLinesAsReadsOfAtMost1023Bytes)
{
    WriteFile(m_path, std::string(2500, 'a') + "\r\n" + std::string("b\0c\n", 4) + "tail");
    m_pLog->SetFilename(m_path);
    EXPECT_EQ(m_pLog->GetLineCount(), 5u); // 1023 + 1023 + 456, the NUL line, the tail

    m_pLog->SetFilename(m_dir.File("absent.txt"));
    EXPECT_EQ(m_pLog->GetLineCount(), 0u);
}

TEST_F(LogTest, TrimKeepsTheNewestLines)
{
    WriteFile(m_path, NumberedLines(0, 10050));
    m_pLog->SetFilename(m_path);
    ASSERT_EQ(m_pLog->GetLineCount(), 10050u);
    m_pLog->Trim();
    const auto lines = SplitLines(Contents());
    ASSERT_EQ(lines.size(), 10000u);
    EXPECT_EQ(lines.front(), "line 50\r");
    EXPECT_EQ(lines.back(), "line 10049\r");
    EXPECT_EQ(m_pLog->GetLineCount(), 10000u);
    EXPECT_FALSE(FileExists(m_path + "tmp"));

    // Maximum 4294967295 (-1 set by an operator): never trimmed.
    m_pLog->SetMaxLines(0xFFFFFFFF);
    m_pLog->Print(CLog::LEVEL_INFO, "one more");
    m_pLog->Trim();
    EXPECT_EQ(SplitLines(Contents()).size(), 10001u);

    // Maximum 0: the next trim empties the file.
    m_pLog->SetMaxLines(0);
    m_pLog->Trim();
    EXPECT_EQ(Contents(), "");
    EXPECT_EQ(m_pLog->GetLineCount(), 0u);
}

TEST_F(LogTest, TrimRunsAtMostHourlyAcrossTheTickWrap)
{
    const auto lineCount = [&] { return SplitLines(Contents()).size(); };
    const auto addLines = [&](int n)
    {
        for (int i = 0; i < n; ++i)
            m_pLog->Print(CLog::LEVEL_INFO, "entry %d", i);
    };
    addLines(20);
    m_pLog->SetMaxLines(10);
    m_pLog->Trim();
    EXPECT_EQ(lineCount(), 10u);

    addLines(5);
    m_pLog->Trim();
    m_clock.m_tick += CLog::TRIM_INTERVAL_MS - 1;
    m_pLog->Trim();
    EXPECT_EQ(lineCount(), 15u);
    m_clock.m_tick += 1;
    m_pLog->Trim();
    EXPECT_EQ(lineCount(), 10u);

    // The next trim falls due after the 32-bit tick count has wrapped.
    m_clock.m_tick = 0xFFFFFFFFu - 1000;
    m_pLog->SetMaxLines(10);
    m_pLog->Trim();
    addLines(5);
    m_clock.m_tick = 0xFFFFFFFFu - 500;
    m_pLog->Trim();
    m_clock.m_tick = 0xFFFFFFFFu - 1000 + CLog::TRIM_INTERVAL_MS - 1;
    m_pLog->Trim();
    EXPECT_EQ(lineCount(), 15u);
    m_clock.m_tick += 1;
    m_pLog->Trim();
    EXPECT_EQ(lineCount(), 10u);
}

TEST_F(LogTest, FailedTrimKeepsTheLog)
{
    const std::string original = NumberedLines(0, 30);
    WriteFile(m_path, original);
    m_pLog->SetFilename(m_path);
    m_pLog->SetMaxLines(10);

    // A temporary file that cannot be created.
    std::filesystem::create_directory(m_path + "tmp");
    m_pLog->Trim();
    EXPECT_EQ(Contents(), original + STAMP + "Failed to trim log (" + m_path + "tmp).\r\n");
    std::filesystem::remove(m_path + "tmp");

    // A full disk: the temporary file cannot be written completely.
    WriteFile(m_path, original);
    m_pLog->SetFilename(m_path);
    std::filesystem::create_symlink("/dev/full", m_path + "tmp");
    m_pLog->SetMaxLines(10);
    m_pLog->Trim();
    EXPECT_EQ(Contents(), original + STAMP + "Failed to trim log (" + m_path + "tmp).\r\n");
    EXPECT_FALSE(std::filesystem::is_symlink(m_path + "tmp"));
}

TEST_F(LogTest, ClearCanWriteAndEcho)
{
    m_pLog->Print(CLog::LEVEL_INFO, "old");
    EXPECT_TRUE(m_pLog->Clear());
    EXPECT_EQ(m_pLog->GetLineCount(), 0u);
    m_pLog->Print(CLog::LEVEL_INFO, "first");
    EXPECT_EQ(Contents(), std::string(STAMP) + "first\r\n");
    EXPECT_TRUE(m_pLog->CanWrite());

    FILE* echo = std::tmpfile();
    ASSERT_NE(echo, nullptr);
    m_pLog->SetEcho(true, echo);
    m_pLog->Print(CLog::LEVEL_INFO, "echoed");
    m_pLog->SetEcho(false, echo);
    m_pLog->Print(CLog::LEVEL_INFO, "not echoed");
    std::rewind(echo);
    char buffer[128] = {};
    const size_t n = std::fread(buffer, 1, sizeof(buffer), echo);
    std::fclose(echo);
    EXPECT_EQ(std::string(buffer, n), std::string(STAMP) + "echoed\r\n");

    m_pLog->SetFilename(m_dir.File("missing/log.txt"));
    EXPECT_FALSE(m_pLog->CanWrite());
    EXPECT_FALSE(m_pLog->Clear());
    m_pLog->Print(CLog::LEVEL_INFO, "lost");
    EXPECT_EQ(m_pLog->GetLineCount(), 0u);
}

// Text from a peer cannot write a line of its own: control characters are escaped.
TEST_F(LogTest, ControlCharactersAreEscaped)
{
    m_pLog->Print(CLog::LEVEL_INFO, "Admin command '%s' issued.",
                  "x\r\n2012-03-02 SHUTDOWN issued\x01\x1f\x7f\t\xC3\xA9");
    EXPECT_EQ(Contents(), std::string(STAMP) +
                              "Admin command 'x\\x0d\\x0a2012-03-02 SHUTDOWN issued\\x01\\x1f\\x7f"
                              "\\x09\xC3\xA9' issued.\r\n");
    EXPECT_EQ(m_pLog->GetLineCount(), 1u);
}

// A flood trims the file once it passes the maximum by a quarter, not only hourly;
// a trim that fails waits for the hour instead of being tried at every pass.
TEST_F(LogTest, TrimRunsEarlyWhenTheFileGrowsByAQuarter)
{
    m_pLog->SetMaxLines(400);
    m_pLog->Trim();
    for (int i = 0; i < 500; ++i)
        m_pLog->Print(CLog::LEVEL_INFO, "flood %d", i);
    m_pLog->Trim();
    EXPECT_EQ(m_pLog->GetLineCount(), 500u) << "not past 1.25 times the maximum";
    m_pLog->Print(CLog::LEVEL_INFO, "one more");
    m_pLog->Trim();
    EXPECT_EQ(SplitLines(Contents()).size(), 400u);

    std::filesystem::create_directory(m_path + "tmp");
    for (int i = 0; i < 101; ++i)
        m_pLog->Print(CLog::LEVEL_INFO, "flood %d", i);
    for (int pass = 0; pass < 5; ++pass)
        m_pLog->Trim();
    EXPECT_EQ(CountOf(Contents(), "Failed to trim log"), 1);
}
