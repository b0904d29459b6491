#include "common/TimerHeap.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

std::vector<uint64_t> TakeDue(CTimerHeap& heap, uint64_t now)
{
    std::vector<uint64_t> due;
    heap.TakeDue(now, due);
    return due;
}

TEST(TimerHeapTest, TakesDueOwnersNearestFirstAndKeepsTheRest)
{
    CTimerHeap heap;
    heap.Set(7, 300);
    heap.Set(3, 100);
    heap.Set(5, 200);
    heap.Set(9, 100); // equal deadlines: lower owner first
    EXPECT_EQ(4u, heap.Size());
    EXPECT_EQ(100u, heap.NextDue());
    EXPECT_TRUE(TakeDue(heap, 99).empty());
    EXPECT_EQ((std::vector<uint64_t>{3, 9, 5}), TakeDue(heap, 200));
    EXPECT_EQ(300u, heap.NextDue());
    EXPECT_EQ((std::vector<uint64_t>{7}), TakeDue(heap, 1000));
    EXPECT_TRUE(heap.Empty());
}

TEST(TimerHeapTest, AnOwnerHasOneDeadlineThatMovesOrGoes)
{
    CTimerHeap heap;
    heap.Set(1, 500);
    heap.Set(2, 400);
    heap.Set(1, 100); // earlier
    EXPECT_EQ(2u, heap.Size());
    EXPECT_EQ(100u, heap.NextDue());
    heap.Set(1, 900); // later
    EXPECT_EQ(400u, heap.NextDue());
    heap.Remove(2);
    heap.Remove(42); // not there: nothing
    EXPECT_EQ(900u, heap.NextDue());
    EXPECT_EQ((std::vector<uint64_t>{1}), TakeDue(heap, 900));
    heap.Remove(1);
    EXPECT_TRUE(heap.Empty());
}

} // namespace
