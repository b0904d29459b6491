#include "admin/SessionList.h"

#include "admin/NextField.h"
#include "common/Assert.h"
#include "platform/TextConversion.h"

#include <utility>

std::unique_ptr<CSessionList> CSessionList::m_pSingleton;

namespace
{
constexpr size_t FIRST_SLOTS = 32;
// The gaps of the Shell sort, largest first; a sort starts at the largest gap that
// is smaller than the row count.
constexpr int GAPS[] = {1391376, 463792, 198768, 86961, 33936, 13776, 4592, 1968,
                        861,     336,    112,    48,    21,    7,     3,     1};

void Append(std::vector<std::u16string>& column, std::u16string_view text)
{
    if (column.size() == column.capacity())
        column.reserve(column.empty() ? FIRST_SLOTS : column.size() * 2);
    column.emplace_back(text);
}
} // namespace

CSessionList* CSessionList::GetInstance()
{
    if (!m_pSingleton)
        m_pSingleton = std::make_unique<CSessionList>();
    TQ_ASSERT_TEXT(nullptr != m_pSingleton, "NULL != m_pSingleton");
    return m_pSingleton.get();
}

void CSessionList::DestroyInstance() { m_pSingleton.reset(); }

void CSessionList::fillFromReplies(std::span<const std::string> elements)
{
    clear();
    for (size_t i = 1; i < elements.size(); ++i)
    {
        std::u16string record = Utf8ToUtf16(elements[i]);
        std::array<std::u16string, COLUMN_COUNT> fields;
        for (auto& field : fields)
            field = nextField(record, u';');
        addSession(fields[0], fields[1], fields[2], fields[3]);
    }
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
    const int direction = m_anDirections[static_cast<size_t>(column)] == 0 ? 1 : 0;
    // The sort runs on row numbers and then moves every column's strings once.
    std::vector<int> order(m_aColumns[0].size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int>(i);
    shellSort(m_aColumns[static_cast<size_t>(column)], direction == 1, order);
    for (Column& values : m_aColumns)
    {
        Column sorted;
        sorted.reserve(values.capacity());
        for (const int row : order)
            sorted.push_back(std::move(values[static_cast<size_t>(row)]));
        values = std::move(sorted);
    }
    m_anDirections.fill(0);
    m_anDirections[static_cast<size_t>(column)] = direction;
    m_nSortColumn = column;
    m_nSortAscending = direction;
}

// For each gap h and each position i from h on, the row at i is held aside and the
// rows at i-h, i-2h, ... move up by h while the held key sorts before theirs.
void CSessionList::shellSort(const Column& keys, bool ascending, std::vector<int>& order) const
{
    const int count = static_cast<int>(order.size());
    for (const int gap : GAPS)
    {
        if (gap >= count)
            continue;
        for (int i = gap; i < count; ++i)
        {
            const int held = order[static_cast<size_t>(i)];
            const std::u16string& key = keys[static_cast<size_t>(held)];
            int j = i;
            for (; j >= gap; j -= gap)
            {
                const std::u16string& other = keys[static_cast<size_t>(order[j - gap])];
                if (ascending ? !(key < other) : !(other < key))
                    break;
                order[static_cast<size_t>(j)] = order[static_cast<size_t>(j - gap)];
            }
            order[static_cast<size_t>(j)] = held;
        }
    }
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
