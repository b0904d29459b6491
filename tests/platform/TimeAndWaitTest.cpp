#include "platform/Event.h"
#include "platform/SignalWatcher.h"
#include "platform/Socket.h"
#include "platform/Time.h"
#include "platform/WaitSet.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
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

TEST(WaitSetTest, ReturnsOnReadySocketEventOrTimeout)
{
    CWaitSet idle(5000);
    idle.LimitTimeout(20);
    idle.LimitTimeout(1000); // never raises
    EXPECT_EQ(idle.Timeout(), 20u);
    idle.AddRead(-1);
    EXPECT_EQ(idle.Wait(), 0);

    const SOCKET s = SocketCreateUdp();
    ASSERT_TRUE(SocketBind(s, MakeLoopbackAddress(0)));
    SocketAddress self;
    ASSERT_TRUE(SocketLocalAddress(s, self));
    const std::vector<uint8_t> datagram = {42};
    ASSERT_EQ(SocketSendTo(s, datagram, self), 1);
    CWaitSet readable(5000);
    readable.AddRead(s);
    readable.AddWrite(s); // merged with the read entry
    EXPECT_EQ(readable.Wait(), 1);
    SocketClose(s);

    CEvent event;
    ASSERT_TRUE(event.IsValid());
    EXPECT_FALSE(event.IsSet());
    std::thread setter(
        [&event]
        {
            SleepMs(20);
            event.Set();
        });
    CWaitSet waiting(10000);
    waiting.AddRead(event.Handle());
    EXPECT_EQ(waiting.Wait(), 1);
    setter.join();
    EXPECT_TRUE(event.IsSet());
    CWaitSet again(0); // stays set
    again.AddRead(event.Handle());
    EXPECT_EQ(again.Wait(), 1);
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
