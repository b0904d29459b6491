// The real client program, headless and with its windows on Qt's offscreen platform:
// its CPU time while the tunnel is idle (without a session, and with a session that
// carries nothing), and the time 1 MiB each way takes through the tunnel.
#include "support/ClientProcess.h"
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{
constexpr auto IDLE_MEASURE = 5s;
// Start-up work (Qt's fonts, the first paint) is over by then.
constexpr auto SETTLE = 1s;

// The programs lie beside this benchmark unless TQ_BIN_DIR says otherwise.
void FindPrograms()
{
    if (std::getenv("TQ_BIN_DIR") == nullptr)
    {
        const auto self = std::filesystem::read_symlink("/proc/self/exe");
        setenv("TQ_BIN_DIR", self.parent_path().c_str(), 1);
    }
}

// Nanoseconds on a CPU of all threads of `pid` (first field of each schedstat).
double CpuNanoseconds(pid_t pid)
{
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks))
    {
        std::ifstream in(task.path() / "schedstat");
        double ns = 0;
        if (in >> ns)
            total += ns;
    }
    return total;
}

// Percent of one CPU that `pid` used over `span`, once it has settled.
double CpuPercentOver(pid_t pid, std::chrono::milliseconds span)
{
    std::this_thread::sleep_for(SETTLE);
    const double before = CpuNanoseconds(pid);
    std::this_thread::sleep_for(span);
    const double used = CpuNanoseconds(pid) - before;
    return 100.0 * used / (static_cast<double>(span.count()) * 1e6);
}

struct Tunnel
{
    explicit Tunnel(bool windows)
        : client("127.0.0.1:" + std::to_string(server.ClientPort()), host.Port())
    {
        if (windows)
            client.UseOffscreenWindows();
        started = server.Start() && client.Start();
    }
    ServerProcess server;
    TcpEchoHost host;
    ClientProcess client;
    bool started = false;
};

void BM_ClientIdleCpu(benchmark::State& state)
{
    FindPrograms();
    const bool windows = state.range(0) != 0;
    double withoutSession = 0;
    double idleSession = 0;
    for (auto _ : state)
    {
        Tunnel tunnel(windows);
        if (!tunnel.started)
        {
            state.SkipWithError("the programs did not start");
            return;
        }
        const pid_t pid = tunnel.client.Process().Pid();
        withoutSession = CpuPercentOver(pid, IDLE_MEASURE);
        Application app;
        if (!app.Connect(tunnel.client.ListenPort()) || app.Echo("hello") != "hello")
        {
            state.SkipWithError("no session");
            return;
        }
        idleSession = CpuPercentOver(pid, IDLE_MEASURE);
    }
    state.SetLabel(windows ? "offscreen windows" : "headless");
    state.counters["cpu_pct_no_session"] = withoutSession;
    state.counters["cpu_pct_idle_session"] = idleSession;
}
BENCHMARK(BM_ClientIdleCpu)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ClientMebibyteEachWay(benchmark::State& state)
{
    FindPrograms();
    const bool windows = state.range(0) != 0;
    Tunnel tunnel(windows);
    if (!tunnel.started)
    {
        state.SkipWithError("the programs did not start");
        return;
    }
    const std::string data = RandomBytes(1 << 20, 3);
    for (auto _ : state)
    {
        Application app;
        const auto start = std::chrono::steady_clock::now();
        if (!app.Connect(tunnel.client.ListenPort()) || app.Echo(data, 120s) != data)
        {
            state.SkipWithError("the bytes did not come back");
            return;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetLabel(windows ? "offscreen windows" : "headless");
    state.SetBytesProcessed(state.iterations() * 2 * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_ClientMebibyteEachWay)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
