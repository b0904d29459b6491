#pragma once
// The actions of a simulation run in virtual time: each runs at its time, those of one
// millisecond in the order in which they were scheduled.
#include <cstdint>
#include <functional>
#include <limits>
#include <queue>
#include <vector>

namespace tq_sim
{

inline constexpr uint64_t NEVER = std::numeric_limits<uint64_t>::max();

class EventQueue
{
  public:
    void Schedule(uint64_t at, std::function<void()> action);
    // The time of the earliest action, or NEVER.
    uint64_t NextTime() const { return m_queue.empty() ? NEVER : m_queue.top().at; }
    // Runs the earliest action.
    void RunNext();
    void Clear() { m_queue = {}; }

  private:
    struct Entry
    {
        uint64_t at;
        uint64_t order;
        std::function<void()> action;
        bool operator>(const Entry& other) const
        {
            return at != other.at ? at > other.at : order > other.order;
        }
    };
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> m_queue;
    uint64_t m_nNextOrder = 0;
};

} // namespace tq_sim
