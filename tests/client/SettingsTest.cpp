#include "client/Settings.h"
#include "common/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using tq_test::ReadFile;
using tq_test::TempDir;
using tq_test::WriteFile;

namespace
{

class SettingsTest : public ::testing::Test
{
  protected:
    void SetUp() override { m_pSettings->SetFolder(m_dir.Path()); }
    void TearDown() override
    {
        CSettings::DestroyInstance();
        CLog::DestroyInstance();
    }
    bool Load(const std::string& content)
    {
        WriteFile(m_dir.File("s.txt"), content);
        return m_pSettings->Load("s.txt");
    }
    std::string Value(const char* name) const
    {
        return m_pSettings->GetValue(name).value_or("<none>");
    }

    TempDir m_dir;
    CSettings* m_pSettings = CSettings::GetInstance();
};

TEST_F(SettingsTest, ParsesNamesAndValues)
{
    ASSERT_TRUE(Load(" \tHostAddress  =  my host\t \r\n"
                     "Quoted=\"a=b\"\"c\"\n"
                     "NoValue\n"
                     "Two=first=lost\n"
                     "Port=1\n"
                     "Port=2\n"));
    EXPECT_EQ(Value("HostAddress"), "my host");
    EXPECT_EQ(Value("Quoted"), "a=b\"c");
    EXPECT_EQ(Value("NoValue"), "");
    EXPECT_EQ(Value("Two"), "first");
    EXPECT_EQ(Value("Port"), "2"); // the last occurrence's value, in the first slot
    EXPECT_EQ(m_pSettings->GetCount(), 5);
    EXPECT_EQ(Value("port"), "<none>"); // names match exactly
    EXPECT_FALSE(m_pSettings->Load("missing.txt"));
    EXPECT_EQ(m_pSettings->GetCount(), 5);
}

TEST_F(SettingsTest, ValuesAreReadAsNumbersSwitchesAndColours)
{
    ASSERT_TRUE(Load("N= -12x\nOn=7\nOff=abc\nC1=1,2,3\nC2=255,0\nC3=256,257,-1\n"
                     "C4= 12, 34x,abc\nC5=1234567890,5,6\n"));
    EXPECT_EQ(m_pSettings->GetNumber("N") + m_pSettings->GetNumber("Missing"), -12);
    EXPECT_EQ(m_pSettings->GetText("Missing"), "");
    EXPECT_TRUE(m_pSettings->GetSwitch("On") && !m_pSettings->GetSwitch("Off"));
    EXPECT_EQ(m_pSettings->GetColor("C1"), 1u + 2u * 256 + 3u * 65536);
    EXPECT_EQ(m_pSettings->GetColor("C2"), 0x0000FFu); // the missing blue reads as 0
    EXPECT_EQ(m_pSettings->GetColor("Missing"), 0u);
    // Low 8 bits of each number, read as a decimal from at most 9 characters.
    EXPECT_EQ(m_pSettings->GetColor("C3"), 0u + 1u * 256 + 255u * 65536);
    EXPECT_EQ(m_pSettings->GetColor("C4"), 12u + 34u * 256);
    EXPECT_EQ(m_pSettings->GetColor("C5"), 21u + 5u * 256 + 6u * 65536);
}

TEST_F(SettingsTest, SaveKeepsCommentsAndBlankLinesInPlace)
{
    ASSERT_TRUE(Load("// first comment\n\nA = 1\n  // indented\r\nQ=\"x=y\"\nB=2"));
    ASSERT_TRUE(m_pSettings->SetValue("A", "10"));
    ASSERT_TRUE(m_pSettings->SetValue("C", "3"));
    ASSERT_TRUE(m_pSettings->Save("out.txt"));
    EXPECT_EQ(ReadFile(m_dir.File("out.txt")),
              "// first comment\r\n\r\nA=10\r\n// indented\r\nQ=x=y\r\nB=2\r\nC=3\r\n");

    // A saved quoted "=" loses its quotes: the next load cuts the value there.
    CSettings::DestroyInstance();
    m_pSettings = CSettings::GetInstance();
    m_pSettings->SetFolder(m_dir.Path());
    ASSERT_TRUE(m_pSettings->Load("out.txt"));
    EXPECT_EQ(Value("Q"), "x");
    EXPECT_EQ(Value("A"), "10");
    EXPECT_EQ(m_pSettings->GetCount(), 7);
}

TEST_F(SettingsTest, LongLinesAreReadInPieces)
{
    // 509 bytes and the line feed make one piece; 510 bytes and the line feed make
    // the line and an empty one.
    const std::string fits = "A=" + std::string(507, 'x');
    const std::string split = "B=" + std::string(508, 'y');
    ASSERT_TRUE(Load(fits + "\n" + split + "\nC=" + std::string(600, 'z') + "\n"));
    EXPECT_EQ(Value("A"), std::string(507, 'x'));
    EXPECT_EQ(Value("B"), std::string(508, 'y'));
    EXPECT_EQ(Value("C"), std::string(508, 'z'));
    // A blank after B, then the rest of C's line as a name of its own.
    EXPECT_EQ(m_pSettings->GetCount(), 5);
    EXPECT_EQ(Value(std::string(92, 'z').c_str()), "");
}

TEST_F(SettingsTest, ExtraLinesBeyondTheTableAreIgnoredButKept)
{
    std::string content;
    for (int i = 0; i < CSettings::MAX_SETTINGS - 1; ++i)
        content +=
            (i % 3 == 0 ? "// c\n" : "K" + std::to_string(i) + "=" + std::to_string(i) + "\n");
    content += "Last=1\n";
    ASSERT_TRUE(Load(content));
    EXPECT_EQ(m_pSettings->GetCount(), CSettings::MAX_SETTINGS);
    EXPECT_TRUE(m_pSettings->SetValue("Last", "2")); // an existing name still changes

    // Before the log is open the overflow is said once on stderr.
    CSettings::DestroyInstance();
    m_pSettings = CSettings::GetInstance();
    m_pSettings->SetFolder(m_dir.Path());
    testing::internal::CaptureStderr();
    ASSERT_TRUE(Load(content + "Extra1=1\nExtra2=2\n"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Error, settings file has more than 250 lines; line ignored.\n");
    EXPECT_EQ(Value("Extra1"), "<none>");
    EXPECT_EQ(m_pSettings->GetCount(), CSettings::MAX_SETTINGS);
    // A save (the indicator's position) keeps them in the file, in their place.
    ASSERT_TRUE(m_pSettings->Save("s.txt"));
    EXPECT_TRUE(ReadFile(m_dir.File("s.txt")).ends_with("Last=1\r\nExtra1=1\r\nExtra2=2\r\n"));

    // With a log file it is logged at Error.
    CLog::GetInstance()->SetFilename(m_dir.File("log.txt"));
    EXPECT_FALSE(m_pSettings->SetValue("Extra3", "3"));
    EXPECT_NE(ReadFile(m_dir.File("log.txt"))
                  .find("Error, settings file has more than 250 lines; line ignored.\r\n"),
              std::string::npos);
}

} // namespace
