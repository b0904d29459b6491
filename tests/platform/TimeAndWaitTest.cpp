#include "platform/Event.h"
#include "platform/SignalWatcher.h"
#include "platform/Time.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <thread>

namespace
{
TEST(TimeTest, TickHelpersSurviveTheWrap)
{
    const uint32_t beforeWrap = 0xFFFFFFFBu;
    const uint32_t afterWrap = 5;
    EXPECT_EQ(TickDiff(afterWrap, beforeWrap), 10);
    EXPECT_TRUE(TickReached(afterWrap, beforeWrap));
    EXPECT_TRUE(TickPassed(afterWrap, beforeWrap));
    EXPECT_FALSE(TickReached(beforeWrap, afterWrap));
    EXPECT_EQ(TickRemaining(beforeWrap, afterWrap), 10u);
    EXPECT_EQ(TickRemaining(afterWrap, beforeWrap), 0u);
    EXPECT_TRUE(TickReached(afterWrap, afterWrap));
    EXPECT_FALSE(TickPassed(afterWrap, afterWrap));
}

TEST(TimeTest, FileTimesOfKnownDatesAndBadFields)
{
    uint64_t fileTime = 1;
    EXPECT_TRUE(DateTimeToFileTime(DateTime{1601, 1, 1, 1, 0, 0, 0, 0}, fileTime));
    EXPECT_EQ(fileTime, 0u);
    EXPECT_TRUE(DateTimeToFileTime(DateTime{1970, 1, 4, 1, 0, 0, 0, 0}, fileTime));
    EXPECT_EQ(fileTime, 116444736000000000ull);
    EXPECT_TRUE(DateTimeToFileTime(DateTime{2000, 2, 2, 29, 12, 34, 56, 789}, fileTime));
    EXPECT_EQ(fileTime, 116444736000000000ull + (951827696ull * 1000 + 789) * 10000);

    EXPECT_TRUE(DateTimeToFileTime(DateTime{2024, 2, 4, 29, 23, 59, 59, 999}, fileTime));
    const DateTime bad[] = {
        {2024, 0, 0, 10, 0, 0, 0, 0},    {2024, 13, 0, 10, 0, 0, 0, 0},
        {2024, 5, 0, 0, 0, 0, 0, 0},     {2024, 5, 0, 32, 0, 0, 0, 0},
        {2023, 2, 0, 29, 0, 0, 0, 0},    {1900, 2, 0, 29, 0, 0, 0, 0},
        {2024, 4, 0, 31, 0, 0, 0, 0},    {2024, 5, 0, 10, 24, 0, 0, 0},
        {2024, 5, 0, 10, 0, 60, 0, 0},   {2024, 5, 0, 10, 0, 0, 60, 0},
        {2024, 5, 0, 10, 0, 0, 0, 1000}, {1600, 12, 0, 31, 0, 0, 0, 0},
    };
    for (const DateTime& date : bad)
    {
        EXPECT_FALSE(DateTimeToFileTime(date, fileTime))
            << date.year << '-' << date.month << '-' << date.day << ' ' << date.hour << ':'
            << date.minute << ':' << date.second << '.' << date.milliseconds;
    }
}

TEST(TimeTest, CalendarTimesAreConsistent)
{
    const time_t before = time(nullptr);
    const DateTime utc = GetUtcDateTime();
    const time_t after = time(nullptr);
    uint64_t fileTime = 0;
    ASSERT_TRUE(DateTimeToFileTime(utc, fileTime));
    const uint64_t seconds = fileTime / 10000000u - 11644473600u;
    EXPECT_GE(seconds, static_cast<uint64_t>(before));
    EXPECT_LE(seconds, static_cast<uint64_t>(after));
    EXPECT_EQ((fileTime / 864000000000u + 1) % 7, utc.dayOfWeek); // 1601-01-01 was a Monday

    const DateTime local = GetLocalDateTime();
    EXPECT_TRUE(DateTimeToFileTime(local, fileTime));
    EXPECT_EQ((fileTime / 864000000000u + 1) % 7, local.dayOfWeek);
}

TEST(TimeTest, FileTimesTurnBackIntoDateTimes)
{
    const DateTime dates[] = {
        {1601, 1, 1, 1, 0, 0, 0, 0},         {1970, 1, 4, 1, 0, 0, 0, 0},
        {2000, 2, 2, 29, 12, 34, 56, 789},   {2024, 2, 4, 29, 23, 59, 59, 999},
        {2023, 12, 0, 31, 23, 59, 59, 999},  {30827, 12, 5, 31, 23, 59, 59, 999},
    };
    for (const DateTime& date : dates)
    {
        uint64_t fileTime = 0;
        ASSERT_TRUE(DateTimeToFileTime(date, fileTime));
        DateTime back;
        EXPECT_TRUE(FileTimeToDateTime(fileTime, back));
        EXPECT_EQ(back, date) << date.year << '-' << date.month << '-' << date.day;
    }
    DateTime beyond;
    EXPECT_FALSE(FileTimeToDateTime(UINT64_MAX, beyond)); // past the year 30827
}

// The event's descriptor turns readable when another thread sets it, and stays so.
TEST(EventTest, SetFromAnotherThreadWakesAWait)
{
    CEvent event;
    ASSERT_TRUE(event.IsValid());
    EXPECT_FALSE(event.IsSet());
    std::thread setter(
        [&event]
        {
            SleepMs(20);
            event.Set();
        });
    pollfd wait{event.Handle(), POLLIN, 0};
    EXPECT_EQ(poll(&wait, 1, 10000), 1);
    setter.join();
    EXPECT_TRUE(event.IsSet());
    EXPECT_EQ(poll(&wait, 1, 0), 1);
}

TEST(SignalWatcherTest, HandlerRunsOnItsOwnThread)
{
    BlockSignals({SIGUSR1});
    std::atomic<int> received{0};
    std::atomic<bool> otherThread{false};
    const auto mainThread = std::this_thread::get_id();
    {
        CSignalWatcher watcher({SIGUSR1},
                               [&](int signo)
                               {
                                   otherThread = std::this_thread::get_id() != mainThread;
                                   received = signo;
                               });
        ASSERT_TRUE(watcher.IsValid());
        kill(getpid(), SIGUSR1);
        EXPECT_TRUE(tq_test::WaitUntil([&] { return received.load() != 0; },
                                       std::chrono::milliseconds(3000)));
    }
    EXPECT_EQ(received.load(), SIGUSR1);
    EXPECT_TRUE(otherThread.load());
}
} // namespace
