// The console's session list at 100,000 sessions: filling it from a LIST reply and
// sorting it by a column, as a click on a column header does.
#include "admin/SessionList.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

// LIST reply elements: the count, then one record per session in the server's form,
// with client IDs and times in a shuffled order.
std::vector<std::string> ListReply(int sessions)
{
    std::vector<std::string> elements = {std::to_string(sessions)};
    uint32_t seed = 2024;
    char record[128];
    for (int i = 0; i < sessions; ++i)
    {
        seed = seed * 1664525u + 1013904223u;
        const uint32_t r = seed >> 8;
        std::snprintf(record, sizeof(record),
                      "10.%u.%u.%u:%u;2024-03-%02u %02u:%02u:%02u.%03u;2024-03-%02u "
                      "%02u:%02u:%02u;2024-03-%02u %02u:%02u:%02u",
                      r % 256, (r >> 8) % 256, i % 256, 1024 + r % 60000, 1 + r % 28, r % 24,
                      (r >> 3) % 60, (r >> 5) % 60, r % 1000, 1 + (r >> 2) % 28, (r >> 4) % 24,
                      (r >> 6) % 60, (r >> 7) % 60, 1 + (r >> 9) % 28, (r >> 10) % 24,
                      (r >> 11) % 60, (r >> 12) % 60);
        elements.emplace_back(record);
    }
    return elements;
}

void BM_SessionListFill(benchmark::State& state)
{
    const std::vector<std::string> reply = ListReply(static_cast<int>(state.range(0)));
    CSessionList list;
    for (auto _ : state)
    {
        list.fillFromReplies(reply);
        benchmark::DoNotOptimize(list.getCount());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SessionListFill)->Arg(100000)->Unit(benchmark::kMillisecond);

// A fresh fill (the server's order) then one sort of the column, as after a refresh.
void BM_SessionListFillAndSort(benchmark::State& state)
{
    const std::vector<std::string> reply = ListReply(100000);
    CSessionList list;
    const int column = static_cast<int>(state.range(0));
    for (auto _ : state)
    {
        list.fillFromReplies(reply);
        list.sortBy(column);
        benchmark::DoNotOptimize(list.getCell(0, column).data());
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_SessionListFillAndSort)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// Reversing a sorted column: the second click on the same header.
void BM_SessionListSortReversed(benchmark::State& state)
{
    CSessionList list;
    list.fillFromReplies(ListReply(100000));
    list.sortBy(1);
    for (auto _ : state)
    {
        list.sortBy(1);
        benchmark::DoNotOptimize(list.getCell(0, 1).data());
    }
}
BENCHMARK(BM_SessionListSortReversed)->Unit(benchmark::kMillisecond);

} // namespace
