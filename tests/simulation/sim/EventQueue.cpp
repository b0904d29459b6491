#include "sim/EventQueue.h"

namespace tq_sim
{

void EventQueue::Schedule(uint64_t at, std::function<void()> action)
{
    m_queue.push(Entry{at, m_nNextOrder++, std::move(action)});
}

void EventQueue::RunNext()
{
    // The action may schedule more: take it out first.
    std::function<void()> action = std::move(const_cast<Entry&>(m_queue.top()).action);
    m_queue.pop();
    action();
}

} // namespace tq_sim
