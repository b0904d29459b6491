#include "common/TimerHeap.h"

void CTimerHeap::Set(uint64_t owner, uint64_t due)
{
    const auto it = m_positions.find(owner);
    if (it == m_positions.end())
    {
        m_entries.push_back(Entry{due, owner});
        m_positions[owner] = m_entries.size() - 1;
        SiftUp(m_entries.size() - 1);
        return;
    }
    const size_t index = it->second;
    const bool earlier = due < m_entries[index].due;
    m_entries[index].due = due;
    if (earlier)
        SiftUp(index);
    else
        SiftDown(index);
}

void CTimerHeap::Remove(uint64_t owner)
{
    const auto it = m_positions.find(owner);
    if (it != m_positions.end())
        RemoveAt(it->second);
}

void CTimerHeap::TakeDue(uint64_t now, std::vector<uint64_t>& due)
{
    while (!m_entries.empty() && m_entries.front().due <= now)
    {
        due.push_back(m_entries.front().owner);
        RemoveAt(0);
    }
}

void CTimerHeap::Place(size_t index, const Entry& entry)
{
    m_entries[index] = entry;
    m_positions[entry.owner] = index;
}

void CTimerHeap::SiftUp(size_t index)
{
    const Entry entry = m_entries[index];
    while (index > 0)
    {
        const size_t parent = (index - 1) / 2;
        if (!(entry < m_entries[parent]))
            break;
        Place(index, m_entries[parent]);
        index = parent;
    }
    Place(index, entry);
}

void CTimerHeap::SiftDown(size_t index)
{
    const Entry entry = m_entries[index];
    const size_t count = m_entries.size();
    for (;;)
    {
        size_t child = 2 * index + 1;
        if (child >= count)
            break;
        if (child + 1 < count && m_entries[child + 1] < m_entries[child])
            ++child;
        if (!(m_entries[child] < entry))
            break;
        Place(index, m_entries[child]);
        index = child;
    }
    Place(index, entry);
}

void CTimerHeap::RemoveAt(size_t index)
{
    m_positions.erase(m_entries[index].owner);
    const Entry last = m_entries.back();
    m_entries.pop_back();
    if (index == m_entries.size())
        return;
    Place(index, last);
    SiftUp(index);
    SiftDown(m_positions[last.owner]);
}
