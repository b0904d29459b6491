#include "client/QueuedIndicator.h"

#include <utility>

CQueuedIndicator::CQueuedIndicator(IIndicator& target, Poster post, IClock& clock)
    : m_target(target), m_post(std::move(post)), m_clock(clock)
{
}

bool CQueuedIndicator::Create()
{
    m_nQueuedQuality = 0;
    return m_target.Create();
}

void CQueuedIndicator::Destroy()
{
    m_target.Destroy();
}

void CQueuedIndicator::Post(void (IIndicator::*operation)())
{
    IIndicator* target = &m_target;
    m_post([target, operation] { (target->*operation)(); });
}

void CQueuedIndicator::sessionStarted()
{
    Post(&IIndicator::sessionStarted);
}

void CQueuedIndicator::sessionEnded()
{
    m_nQueuedQuality = 0;
    Post(&IIndicator::sessionEnded);
}

void CQueuedIndicator::show()
{
    Post(&IIndicator::show);
}

void CQueuedIndicator::hide()
{
    Post(&IIndicator::hide);
}

void CQueuedIndicator::setLinkQuality(int percent)
{
    if (percent < 0 || percent > 100 || percent == m_nQueuedQuality)
    {
        return;
    }
    m_nQueuedQuality = percent;
    IIndicator* target = &m_target;
    m_post([target, percent] { target->setLinkQuality(percent); });
}

void CQueuedIndicator::keepOnTop()
{
    const uint32_t now = m_clock.TickCount();
    if (m_bKeepOnTopQueued && !TickReached(now, m_dwKeepOnTopDue))
    {
        return;
    }
    m_bKeepOnTopQueued = true;
    m_dwKeepOnTopDue = now + KEEP_ON_TOP_INTERVAL_MS;
    Post(&IIndicator::keepOnTop);
}
