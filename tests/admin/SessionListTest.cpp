// The session list model: filling from LIST replies, sorting, row updates; and the
// field splitter it shares with the server list and the statistics view.
#include "admin/SessionList.h"
#include "admin/NextField.h"

#include <gtest/gtest.h>

namespace
{

std::vector<std::u16string> Column(const CSessionList& list, int column)
{
    std::vector<std::u16string> values;
    for (int i = 0; i < list.getCount(); ++i)
        values.push_back(list.getCell(i, column));
    return values;
}

// Every row must still hold the values it was added with: "<id>" in column 0 and
// "<id>-<column>" elsewhere.
void ExpectRowsWhole(const CSessionList& list)
{
    for (int i = 0; i < list.getCount(); ++i)
        for (int c = 1; c < CSessionList::COLUMN_COUNT; ++c)
            EXPECT_EQ(list.getCell(i, c).substr(0, list.getSessionID(i).size()),
                      list.getSessionID(i));
}

TEST(NextFieldTest, QuotesSeparatorsAndTheRest)
{
    std::u16string text = u"a,\"b,c\",\"say \"\"hi\"\"\",,end";
    EXPECT_EQ(nextField(text, u','), u"a");
    EXPECT_EQ(text, u"\"b,c\",\"say \"\"hi\"\"\",,end");
    EXPECT_EQ(nextField(text, u','), u"b,c");
    EXPECT_EQ(nextField(text, u','), u"say \"hi\"");
    EXPECT_EQ(nextField(text, u','), u"");
    EXPECT_EQ(nextField(text, u','), u"end");
    EXPECT_EQ(text, u"");
    EXPECT_EQ(nextField(text, u','), u"");
    EXPECT_EQ(nextField(text, u','), u"");

    std::u16string open = u"\"unterminated,still";
    EXPECT_EQ(nextField(open, u','), u"unterminated,still");
    EXPECT_EQ(open, u"");
    std::u16string mixed = u"ab\"c;d\"e;f";
    EXPECT_EQ(nextField(mixed, u';'), u"abc;de");
    EXPECT_EQ(mixed, u"f");
}

// Found by fuzzing: asked to split at a double quote, the quick path took the quote
// for the separator while the rules (and the slow path) take it as quoting.
TEST(NextFieldTest, DoubleQuoteIsNeverTheSeparator)
{
    std::u16string text = u"a\"b\"\"c";
    EXPECT_EQ(nextField(text, u'"'), u"ab\"c");
    EXPECT_EQ(text, u"");
}

TEST(SessionListTest, FillFromListReplies)
{
    CSessionList list;
    list.fillFromReplies(std::vector<std::string>{"0"});
    EXPECT_EQ(list.getCount(), 0);
    EXPECT_EQ(list.getSortColumn(), -1);

    const std::vector<std::string> replies = {
        "3", "10.0.0.1:5000;2024-03-05 14:07:09.042;2024-03-05 14:07:12;2024-03-05 14:07:40",
        "no separators at all", "\"a;b\";c;d;e;f;g"};
    list.fillFromReplies(replies);
    ASSERT_EQ(list.getCount(), 3);
    EXPECT_EQ(list.getSortColumn(), -1);
    EXPECT_EQ(list.getSessionID(0), u"10.0.0.1:5000");
    EXPECT_EQ(list.getConnectTime(0), u"2024-03-05 14:07:09.042");
    EXPECT_EQ(list.getTimeOfLastActivity(0), u"2024-03-05 14:07:12");
    EXPECT_EQ(list.getTimeLastSeen(0), u"2024-03-05 14:07:40");
    EXPECT_EQ(list.getSessionID(1), u"no separators at all");
    EXPECT_EQ(list.getConnectTime(1), u"");
    EXPECT_EQ(list.getTimeLastSeen(1), u"");
    EXPECT_EQ(list.getSessionID(2), u"a;b");
    EXPECT_EQ(list.getTimeLastSeen(2), u"e"); // fields beyond the fourth are ignored
    for (int c = 0; c < CSessionList::COLUMN_COUNT; ++c)
        EXPECT_EQ(list.getHeaderText(c), CSessionList::COLUMN_NAMES[static_cast<size_t>(c)]);

    // A refresh keeps the sort column and direction; the next click reverses it.
    list.sortBy(0);
    list.sortBy(0);
    list.fillFromReplies(replies);
    EXPECT_EQ(list.getSortColumn(), 0);
    EXPECT_EQ(list.getSortAscending(), 0);
    EXPECT_EQ(Column(list, 0),
              (std::vector<std::u16string>{u"no separators at all", u"a;b", u"10.0.0.1:5000"}));
    list.sortBy(0);
    EXPECT_EQ(list.getSessionID(0), u"10.0.0.1:5000");
}

class SortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Column values chosen so that every column sorts the rows differently.
        for (const auto& [id, a, b, c] : std::vector<
                 std::tuple<std::u16string, std::u16string, std::u16string, std::u16string>>{
                 {u"c", u"3", u"1", u"2"},
                 {u"a", u"1", u"3", u"1"},
                 {u"d", u"4", u"2", u"4"},
                 {u"b", u"2", u"4", u"3"},
                 {u"B", u"0", u"0", u"0"}})
            m_list.addSession(id, id + u"-" + a, id + u"-" + b, id + u"-" + c);
    }
    CSessionList m_list;
};

TEST_F(SortTest, SameColumnAscendingThenDescending)
{
    m_list.sortBy(0);
    // Code-unit order: upper case before lower case.
    EXPECT_EQ(Column(m_list, 0), (std::vector<std::u16string>{u"B", u"a", u"b", u"c", u"d"}));
    EXPECT_EQ(m_list.getSortColumn(), 0);
    EXPECT_EQ(m_list.getSortAscending(), 1);
    EXPECT_EQ(m_list.getHeaderText(0), u"Session ID \u2191");
    EXPECT_EQ(m_list.getHeaderText(1), u"Connect Time");
    m_list.sortBy(0);
    EXPECT_EQ(Column(m_list, 0), (std::vector<std::u16string>{u"d", u"c", u"b", u"a", u"B"}));
    EXPECT_EQ(m_list.getSortAscending(), 0);
    EXPECT_EQ(m_list.getHeaderText(0), u"Session ID \u2193");
    ExpectRowsWhole(m_list);
}

TEST_F(SortTest, EveryColumnMovesWholeRows)
{
    m_list.sortBy(3);
    EXPECT_EQ(Column(m_list, 0), (std::vector<std::u16string>{u"B", u"a", u"b", u"c", u"d"}));
    ExpectRowsWhole(m_list);
    m_list.sortBy(2);
    EXPECT_EQ(Column(m_list, 2),
              (std::vector<std::u16string>{u"B-0", u"a-3", u"b-4", u"c-1", u"d-2"}));
    ExpectRowsWhole(m_list);
}

TEST_F(SortTest, AnotherColumnAlwaysStartsAscending)
{
    m_list.sortBy(2);
    m_list.sortBy(1);
    m_list.sortBy(1); // column 1 descending now
    m_list.sortBy(2); // column 2 starts ascending again, whatever it was before
    EXPECT_EQ(m_list.getSortColumn(), 2);
    EXPECT_EQ(m_list.getSortAscending(), 1);
    EXPECT_EQ(m_list.getHeaderText(1), u"Connect Time");
    EXPECT_EQ(m_list.getHeaderText(2), u"Time of Last Activity \u2191");
    m_list.sortBy(1);
    EXPECT_EQ(m_list.getSortAscending(), 1);
}

TEST_F(SortTest, RemoveAndUpdateKeepOrderAndSortState)
{
    m_list.sortBy(0);
    m_list.sortBy(0);
    m_list.removeSession(0);
    EXPECT_EQ(Column(m_list, 0), (std::vector<std::u16string>{u"c", u"b", u"a", u"B"}));
    EXPECT_EQ(m_list.getHeaderText(0), u"Session ID \u2193");

    m_list.updateSession(u"unknown", u"x", u"y", u"z");
    m_list.updateSession(u"A", u"x", u"y", u"z"); // exact match only
    ExpectRowsWhole(m_list);
    m_list.updateSession(u"b", u"b-new1", u"b-new2", u"b-new3");
    EXPECT_EQ(m_list.getConnectTime(1), u"b-new1");
    EXPECT_EQ(m_list.getTimeLastSeen(1), u"b-new3");
    EXPECT_EQ(Column(m_list, 0), (std::vector<std::u16string>{u"c", u"b", u"a", u"B"}));

    m_list.clear();
    EXPECT_EQ(m_list.getCount(), 0);
    EXPECT_EQ(m_list.getSortColumn(), -1);
    EXPECT_EQ(m_list.getHeaderText(0), u"Session ID");
    m_list.addSession(u"x", u"1", u"1", u"1");
    m_list.sortBy(0); // a single row sorts to itself
    EXPECT_EQ(m_list.getSessionID(0), u"x");
}

TEST(SessionListSortTest, LargeListsSortLikeAStableReference)
{
    // Keys with many duplicates: the order of the keys must match a reference sort.
    CSessionList list;
    std::vector<std::u16string> keys;
    uint32_t seed = 12345;
    for (int i = 0; i < 5000; ++i)
    {
        seed = seed * 1103515245u + 12345u;
        const std::u16string key =
            u"k" + std::u16string(1, static_cast<char16_t>(u'a' + seed % 26));
        const std::u16string id = u"id" + std::u16string(1, static_cast<char16_t>(0x4E00 + i));
        list.addSession(id, key, id, id);
        keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end());
    list.sortBy(1);
    EXPECT_EQ(Column(list, 1), keys);
    for (int i = 0; i < list.getCount(); ++i)
        EXPECT_EQ(list.getSessionID(i), list.getTimeLastSeen(i));
    list.sortBy(1);
    std::reverse(keys.begin(), keys.end());
    EXPECT_EQ(Column(list, 1), keys);
}

} // namespace
