#pragma once
// The main loop's indicator when the real one lives on the GUI thread: every
// operation is queued to that thread and runs there in the order the loop made it.
// Create and Destroy run at once on the calling thread, which must be the GUI thread
// (start-up and shutdown). The moved flag and the position are read directly; the
// indicator behind keeps them safe for that.
//
// So that a busy tunnel does not flood the GUI thread, a link quality is queued only
// when it differs from the last one queued, and keepOnTop at most once a second.
#include "client/Indicator.h"
#include "platform/Clock.h"

#include <cstdint>
#include <functional>

class CQueuedIndicator : public IIndicator
{
  public:
    using Task = std::function<void()>;
    // Runs a task later on the GUI thread; callable from any thread.
    using Poster = std::function<void(Task)>;

    static constexpr uint32_t KEEP_ON_TOP_INTERVAL_MS = 1000;

    CQueuedIndicator(IIndicator& target, Poster post, IClock& clock);

    bool Create() override;
    void Destroy() override;
    void sessionStarted() override;
    void sessionEnded() override;
    void show() override;
    void hide() override;
    void setLinkQuality(int percent) override;
    void keepOnTop() override;
    bool takeMovedFlag() override { return m_target.takeMovedFlag(); }
    int GetLeft() const override { return m_target.GetLeft(); }
    int GetTop() const override { return m_target.GetTop(); }

  private:
    void Post(void (IIndicator::*operation)());

    IIndicator& m_target;
    Poster m_post;
    IClock& m_clock;
    // The last link quality queued; the indicator's own value after sessionEnded.
    int m_nQueuedQuality = 0;
    bool m_bKeepOnTopQueued = false;
    uint32_t m_dwKeepOnTopDue = 0;
};
