#include "common/TimerHeap.h"

void CTimerHeap::Set(uint64_t owner, uint64_t due)
{
    const auto [it, added] = m_dues.try_emplace(owner, due);
    if (added)
    {
        m_entries.insert(Entry{due, owner});
        return;
    }
    // Moved through its node: no allocation per move.
    auto node = m_entries.extract(Entry{it->second, owner});
    node.value().due = due;
    it->second = due;
    m_entries.insert(std::move(node));
}

void CTimerHeap::Remove(uint64_t owner)
{
    const auto it = m_dues.find(owner);
    if (it != m_dues.end())
    {
        m_entries.erase(Entry{it->second, owner});
        m_dues.erase(it);
    }
}

void CTimerHeap::TakeDue(uint64_t now, std::vector<uint64_t>& due)
{
    while (!m_entries.empty() && m_entries.begin()->due <= now)
    {
        due.push_back(m_entries.begin()->owner);
        m_dues.erase(m_entries.begin()->owner);
        m_entries.erase(m_entries.begin());
    }
}
