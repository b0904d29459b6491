#pragma once
// The console's picture of the sessions on the connected server: four text columns
// (session ID, connect time, time of last activity, time last seen), one row per
// session, sortable by any column. The Sessions view asks it for each cell it draws.
#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class CSessionList
{
public:
    static constexpr int COLUMN_COUNT = 4;
    static constexpr std::array<std::u16string_view, COLUMN_COUNT> COLUMN_NAMES = {
        u"Session ID", u"Connect Time", u"Time of Last Activity", u"Time Last Seen"};
    static constexpr std::array<int, COLUMN_COUNT> COLUMN_WIDTHS = {120, 140, 130, 130};

    static CSessionList* GetInstance();
    static void DestroyInstance();

    CSessionList() = default;

    // From the elements of a LIST reply: element 0 is the count, each further one a
    // record "id;connect;activity;seen" (fields split outside double quotes). The
    // sort column and direction stay and apply to the new rows.
    void fillFromReplies(std::span<const std::string> elements);
    void addSession(std::u16string_view sessionId, std::u16string_view connectTime,
                    std::u16string_view timeOfLastActivity, std::u16string_view timeLastSeen);
    // Replaces the three times of every row with this session ID (exact match).
    void updateSession(std::u16string_view sessionId, std::u16string_view connectTime,
                       std::u16string_view timeOfLastActivity, std::u16string_view timeLastSeen);
    void removeSession(int index);
    // Removes every row and resets the sort state.
    void clear();

    int getCount() const;
    const std::u16string& getSessionID(int index) const { return cell(0, index); }
    const std::u16string& getConnectTime(int index) const { return cell(1, index); }
    const std::u16string& getTimeOfLastActivity(int index) const { return cell(2, index); }
    const std::u16string& getTimeLastSeen(int index) const { return cell(3, index); }
    const std::u16string& getCell(int index, int column) const { return cell(column, index); }

    // First sort of a column ascending, each further one reverses it; another column
    // always starts ascending. Rows stay whole.
    void sortBy(int column);
    // -1 while the rows stand in the order they were added.
    int getSortColumn() const { return m_nSortColumn; }
    // 1 ascending, 0 descending.
    int getSortAscending() const { return m_nSortAscending; }
    // The header of a column: its name, with an arrow (U+2191 ascending, U+2193
    // descending) on the sort column.
    std::u16string getHeaderText(int column) const;

private:
    using Column = std::vector<std::u16string>;
    const std::u16string& cell(int column, int index) const;
    // Sorts by `column`, ascending when `direction` is 1.
    void applySort(int column, int direction);
    bool validArrays() const;

    std::array<Column, COLUMN_COUNT> m_aColumns;
    std::array<int, COLUMN_COUNT> m_anDirections{};
    int m_nSortColumn = -1;
    int m_nSortAscending = 0;

    static std::unique_ptr<CSessionList> m_pSingleton;
};
