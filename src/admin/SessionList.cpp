#include "admin/SessionList.h"

#include "admin/NextField.h"
#include "common/Assert.h"
#include "platform/TextConversion.h"

#include <algorithm>
#include <cstdint>
#include <utility>

std::unique_ptr<CSessionList> CSessionList::m_pSingleton;

namespace
{
constexpr size_t FIRST_SLOTS = 32;
// The gaps of the Shell sort, largest first; a sort starts at the largest gap that
// is smaller than the row count.
constexpr size_t GAPS[] = {1391376, 463792, 198768, 86961, 33936, 13776, 4592, 1968,
                           861,     336,    112,    48,    21,    7,     3,    1};

template <class Text> void Append(std::vector<std::u16string>& column, Text&& text)
{
    if (column.size() == column.capacity())
        column.reserve(column.empty() ? FIRST_SLOTS : column.size() * 2);
    column.emplace_back(std::forward<Text>(text));
}

// The first code units of a string packed into numbers, four to a number, so that
// most comparisons are a few integer compares on one contiguous array.
constexpr size_t PACKED_WORDS = 4;
constexpr size_t UNITS_PER_WORD = 4;

struct SortKey
{
    std::array<uint64_t, PACKED_WORDS> packed;
    const std::u16string* text;
    uint32_t row;
};

SortKey MakeSortKey(const std::u16string& text, uint32_t row)
{
    SortKey key{{}, &text, row};
    for (size_t i = 0; i < PACKED_WORDS * UNITS_PER_WORD; ++i)
    {
        const uint64_t unit = i < text.size() ? text[i] : 0;
        key.packed[i / UNITS_PER_WORD] |= unit << (16 * (UNITS_PER_WORD - 1 - i % UNITS_PER_WORD));
    }
    return key;
}

// The plain code-unit order of the strings: a string padded with zero units never
// sorts after a string it is a prefix of, so unequal packed units decide alike.
bool KeyLess(const SortKey& a, const SortKey& b)
{
    if (a.packed != b.packed)
        return a.packed < b.packed;
    return *a.text < *b.text;
}

// A row with the rank of its cell among the column's distinct values: ranks are in
// the strings' order and equal strings share one, so a sort that compares ranks makes
// exactly the moves it would make comparing the strings.
struct RankedRow
{
    uint32_t rank;
    uint32_t row;
};

std::vector<RankedRow> RankRows(const std::vector<std::u16string>& cells)
{
    std::vector<SortKey> keys;
    keys.reserve(cells.size());
    for (size_t row = 0; row < cells.size(); ++row)
        keys.push_back(MakeSortKey(cells[row], static_cast<uint32_t>(row)));
    std::sort(keys.begin(), keys.end(), KeyLess);
    std::vector<RankedRow> rows(cells.size());
    uint32_t rank = 0;
    for (size_t i = 0; i < keys.size(); ++i)
    {
        if (i > 0 && KeyLess(keys[i - 1], keys[i]))
            ++rank;
        rows[keys[i].row] = {rank, keys[i].row};
    }
    return rows;
}

// For each gap h and each position i from h on, the row at i is held aside and the
// rows at i-h, i-2h, ... move up by h while the held key sorts before theirs (after
// theirs when descending); the held row then takes the gap.
void ShellSort(std::vector<RankedRow>& rows, bool ascending)
{
    const size_t count = rows.size();
    for (const size_t gap : GAPS)
    {
        if (gap >= count)
            continue;
        for (size_t i = gap; i < count; ++i)
        {
            const RankedRow held = rows[i];
            size_t j = i;
            for (; j >= gap; j -= gap)
            {
                const RankedRow other = rows[j - gap];
                if (ascending ? held.rank >= other.rank : held.rank <= other.rank)
                    break;
                rows[j] = other;
            }
            rows[j] = held;
        }
    }
}
} // namespace

CSessionList* CSessionList::GetInstance()
{
    if (!m_pSingleton)
        m_pSingleton = std::make_unique<CSessionList>();
    TQ_ASSERT_TEXT(nullptr != m_pSingleton, "NULL != m_pSingleton");
    return m_pSingleton.get();
}

void CSessionList::DestroyInstance()
{
    m_pSingleton.reset();
}

void CSessionList::fillFromReplies(std::span<const std::string> elements)
{
    // A refresh keeps the sort the operator chose.
    const int sortColumn = m_nSortColumn;
    const int ascending = m_nSortAscending;
    clear();
    for (size_t i = 1; i < elements.size(); ++i)
    {
        std::u16string record = Utf8ToUtf16(elements[i]);
        for (Column& column : m_aColumns)
            Append(column, nextField(record, u';'));
    }
    if (sortColumn >= 0)
        applySort(sortColumn, ascending);
}

void CSessionList::addSession(std::u16string_view sessionId, std::u16string_view connectTime,
                              std::u16string_view timeOfLastActivity,
                              std::u16string_view timeLastSeen)
{
    Append(m_aColumns[0], sessionId);
    Append(m_aColumns[1], connectTime);
    Append(m_aColumns[2], timeOfLastActivity);
    Append(m_aColumns[3], timeLastSeen);
}

void CSessionList::updateSession(std::u16string_view sessionId, std::u16string_view connectTime,
                                 std::u16string_view timeOfLastActivity,
                                 std::u16string_view timeLastSeen)
{
    for (size_t row = 0; row < m_aColumns[0].size(); ++row)
    {
        if (m_aColumns[0][row] != sessionId)
            continue;
        m_aColumns[1][row] = connectTime;
        m_aColumns[2][row] = timeOfLastActivity;
        m_aColumns[3][row] = timeLastSeen;
    }
}

void CSessionList::removeSession(int index)
{
    TQ_ASSERT_TEXT(index >= 0 && index < getCount(), "TRUE == isValidIndex( nIndex )");
    for (Column& column : m_aColumns)
        column.erase(column.begin() + index);
}

void CSessionList::clear()
{
    for (Column& column : m_aColumns)
        column.clear();
    m_anDirections.fill(0);
    m_nSortColumn = -1;
    m_nSortAscending = 0;
}

int CSessionList::getCount() const
{
    TQ_ASSERT_TEXT(validArrays(), "TRUE == validArrays()");
    return static_cast<int>(m_aColumns[0].size());
}

const std::u16string& CSessionList::cell(int column, int index) const
{
    TQ_ASSERT_TEXT(index >= 0 && index < getCount(), "TRUE == isValidIndex( nIndex )");
    TQ_ASSERT(column >= 0 && column < COLUMN_COUNT);
    return m_aColumns[static_cast<size_t>(column)][static_cast<size_t>(index)];
}

bool CSessionList::validArrays() const
{
    for (const Column& column : m_aColumns)
        if (column.size() != m_aColumns[0].size())
            return false;
    return true;
}

void CSessionList::sortBy(int column)
{
    TQ_ASSERT(column >= 0 && column < COLUMN_COUNT);
    TQ_ASSERT_TEXT(validArrays(), "TRUE == validArrays()");
    applySort(column, m_anDirections[static_cast<size_t>(column)] == 0 ? 1 : 0);
}

void CSessionList::applySort(int column, int direction)
{
    // The sort runs on ranked row numbers; then every column's strings move once
    // into the new order.
    std::vector<RankedRow> rows = RankRows(m_aColumns[static_cast<size_t>(column)]);
    ShellSort(rows, direction == 1);
    for (Column& cells : m_aColumns)
    {
        Column sorted;
        sorted.reserve(cells.capacity());
        for (const RankedRow& row : rows)
            sorted.push_back(std::move(cells[row.row]));
        cells = std::move(sorted);
    }
    m_anDirections.fill(0);
    m_anDirections[static_cast<size_t>(column)] = direction;
    m_nSortColumn = column;
    m_nSortAscending = direction;
}

std::u16string CSessionList::getHeaderText(int column) const
{
    TQ_ASSERT(column >= 0 && column < COLUMN_COUNT);
    std::u16string text(COLUMN_NAMES[static_cast<size_t>(column)]);
    if (column == m_nSortColumn)
    {
        text += u' ';
        text += m_nSortAscending == 1 ? u'\u2191' : u'\u2193';
    }
    return text;
}
