#pragma once
// The deadlines of many owners, nearest first: each owner (a number) has at most one
// deadline, which can be set, moved or removed in logarithmic time. Deadlines are
// 64-bit milliseconds of a clock that does not wrap.
#include <cstddef>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <vector>

class CTimerHeap
{
public:
    // Adds the owner's deadline, or moves it.
    void Set(uint64_t owner, uint64_t due);
    void Remove(uint64_t owner);
    bool Empty() const { return m_entries.empty(); }
    size_t Size() const { return m_entries.size(); }
    // The nearest deadline; only when not empty.
    uint64_t NextDue() const { return m_entries.begin()->due; }
    // Removes the owners whose deadline is at or before `now` and appends them to
    // `due`, nearest first (equal deadlines: lower owner number first).
    void TakeDue(uint64_t now, std::vector<uint64_t>& due);

private:
    struct Entry
    {
        uint64_t due;
        uint64_t owner;
        bool operator<(const Entry& other) const
        {
            return due != other.due ? due < other.due : owner < other.owner;
        }
    };

    std::set<Entry> m_entries;                     // nearest first
    std::unordered_map<uint64_t, uint64_t> m_dues; // owner -> its deadline
};
