#include "common/MyString.h"

#include <gtest/gtest.h>

#include <climits>

TEST(MyStringTest, FormatTime)
{
    const DateTime time{2012, 3, 5, 2, 14, 5, 9, 42};
    EXPECT_EQ(FormatTime(time, true, ':'), "2012-03-02 14:05:09.042");
    EXPECT_EQ(FormatTime(time, false, '.'), "2012-03-02 14.05.09");
}

TEST(MyStringTest, SplitTokenQuoteRules)
{
    std::string field;
    auto rest = SplitToken("a,b", ',', field, 16);
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(field, "a");
    rest = SplitToken(*rest, ',', field, 16);
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(field, "b");
    EXPECT_TRUE(rest->empty());
    EXPECT_FALSE(SplitToken(*rest, ',', field, 16).has_value());
    EXPECT_EQ(field, "");

    rest = SplitToken("\"x,y\",z", ',', field, 16);
    EXPECT_EQ(field, "x,y");
    EXPECT_EQ(rest, "z");
    rest = SplitToken("\"say \"\"hi\"\"\",next", ',', field, 16);
    EXPECT_EQ(field, "say \"hi\"");
    EXPECT_EQ(rest, "next");
    rest = SplitToken("a,", ',', field, 16);
    EXPECT_EQ(rest, "");

    // A full field: the excess is skipped up to the next separator, quotes or not.
    rest = SplitToken("abcdef\"g,h\",i", ',', field, 4);
    EXPECT_EQ(field, "abc");
    EXPECT_EQ(rest, "h\",i");
    rest = SplitToken("abcdef", ',', field, 4);
    EXPECT_EQ(field, "abc");
    EXPECT_EQ(rest, "");

    std::u16string wide;
    auto wideRest = SplitTokenW(u"\"1,2\",\u00e9", u',', wide, 8);
    EXPECT_EQ(wide, u"1,2");
    EXPECT_EQ(wideRest, u"\u00e9");
}

TEST(MyStringTest, ReadDecimal)
{
    EXPECT_EQ(ReadDecimal(" \n+123x"), 123);
    EXPECT_EQ(ReadDecimal("2147483647"), INT_MAX);
    EXPECT_EQ(ReadDecimal("99999999999999999999"), INT_MAX);
    EXPECT_EQ(ReadDecimal("-2147483648"), INT_MIN);
    EXPECT_EQ(ReadDecimal("-99999999999999999999"), INT_MIN);
    EXPECT_EQ(ReadDecimal("-"), 0);
    EXPECT_EQ(ReadDecimalW(u"\t-15 "), -15);
}

TEST(MyStringTest, Utf8Utf16Conversion)
{
    const std::string utf8 = "Gr\xC3\xBC\xC3\x9F"
                             "e \xE2\x82\xAC \xF0\x9F\x98\x80";
    const std::u16string utf16 = Utf8ToUtf16(utf8);
    EXPECT_EQ(utf16, u"Gr\u00fc\u00dfe \u20ac \U0001F600");
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(Utf8ToUtf16("a\xFF"
                          "b\xE2\x82"),
              u"a\uFFFDb\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD"); // overlong
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");

    // NarrowCopy keeps at most size - 1 bytes and never splits a character.
    EXPECT_EQ(NarrowCopy(u"ab\u00e9", 4), "ab");
    EXPECT_EQ(NarrowCopy(u"ab\u00e9", 5), "ab\xC3\xA9");
    EXPECT_EQ(NarrowCopy(u"abc", 0), "");
}

TEST(MyStringTest, TrimAndStrip)
{
    std::string text = " \t value \t";
    Trim(text);
    EXPECT_EQ(text, "value");
    text = " \t ";
    Trim(text);
    EXPECT_EQ(text, "");
    text = "line\r\n\r";
    StripLineEnd(text);
    EXPECT_EQ(text, "line");
    text = "\n\r";
    StripLineEnd(text);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(EqualsNoCase("LogFile", "LOGfile"));
    EXPECT_FALSE(EqualsNoCase("LogFile", "LogFiles"));
}
