// The main loop's face of the GUI thread's indicator: order, coalescing and the
// values read back across the threads.
#include "client/QueuedIndicator.h"
#include "support/FakeClock.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace tq_test;

namespace
{

class RecordingIndicator : public IIndicator
{
  public:
    bool Create() override { return Record("create"), createResult; }
    void Destroy() override { Record("destroy"); }
    void sessionStarted() override { Record("started"); }
    void sessionEnded() override { Record("ended"); }
    void show() override { Record("show"); }
    void hide() override { Record("hide"); }
    void setLinkQuality(int percent) override { Record("quality " + std::to_string(percent)); }
    void keepOnTop() override { Record("top"); }
    bool takeMovedFlag() override { return std::exchange(moved, false); }
    int GetLeft() const override { return 11; }
    int GetTop() const override { return 22; }

    void Record(const std::string& call) { calls.push_back(call); }
    std::vector<std::string> calls;
    bool createResult = true;
    bool moved = false;
};

class QueuedIndicatorTest : public ::testing::Test
{
  protected:
    // Runs what was queued, as the GUI thread's event loop would.
    void RunQueue()
    {
        auto tasks = std::move(m_queue);
        m_queue.clear();
        for (auto& task : tasks)
            task();
    }

    RecordingIndicator m_target;
    FakeClock m_clock;
    std::vector<CQueuedIndicator::Task> m_queue;
    CQueuedIndicator m_indicator{m_target,
                                 [this](CQueuedIndicator::Task task)
                                 { m_queue.push_back(std::move(task)); },
                                 m_clock};
};

} // namespace

TEST_F(QueuedIndicatorTest, CreateAndDestroyRunAtOnceEverythingElseInOrderLater)
{
    m_target.createResult = false;
    EXPECT_FALSE(m_indicator.Create());
    EXPECT_EQ(m_target.calls, (std::vector<std::string>{"create"}));

    m_indicator.sessionStarted();
    m_indicator.show();
    m_indicator.setLinkQuality(40);
    m_indicator.sessionEnded();
    m_indicator.hide();
    EXPECT_EQ(m_target.calls.size(), 1u) << "nothing runs on the loop's thread";
    RunQueue();
    EXPECT_EQ(m_target.calls, (std::vector<std::string>{"create", "started", "show", "quality 40",
                                                        "ended", "hide"}));
    m_indicator.Destroy();
    EXPECT_EQ(m_target.calls.back(), "destroy");
}

TEST_F(QueuedIndicatorTest, OnlyChangedQualitiesAreQueued)
{
    for (int q : {0, 50, 50, 50, 60, -5, 101, 60, 100})
        m_indicator.setLinkQuality(q);
    RunQueue();
    EXPECT_EQ(m_target.calls,
              (std::vector<std::string>{"quality 50", "quality 60", "quality 100"}));

    // The indicator's quality is 0 after a session end: 100 is news again, 0 is not.
    m_target.calls.clear();
    m_indicator.sessionEnded();
    m_indicator.setLinkQuality(0);
    m_indicator.setLinkQuality(100);
    RunQueue();
    EXPECT_EQ(m_target.calls, (std::vector<std::string>{"ended", "quality 100"}));
}

TEST_F(QueuedIndicatorTest, KeepOnTopAtMostOnceASecond)
{
    for (int pass = 0; pass < 2500; ++pass)
    {
        m_indicator.keepOnTop();
        m_clock.Advance(1);
    }
    RunQueue();
    EXPECT_EQ(m_target.calls, (std::vector<std::string>{"top", "top", "top"}));
}

TEST_F(QueuedIndicatorTest, MovedFlagAndPositionComeFromTheIndicator)
{
    EXPECT_FALSE(m_indicator.takeMovedFlag());
    m_target.moved = true;
    EXPECT_TRUE(m_indicator.takeMovedFlag());
    EXPECT_FALSE(m_indicator.takeMovedFlag());
    EXPECT_EQ(m_indicator.GetLeft(), 11);
    EXPECT_EQ(m_indicator.GetTop(), 22);
    EXPECT_TRUE(m_queue.empty());
}
