// Runs the tunnel simulation for a number of seeds and prints the figures of each
// run and of all; a failing run prints its seed and the command that replays it.
//   tq_simulate [--bytes N[K|M|G]] [--loss P] [--dup P] [--reorder P] [--seeds N]
//               [--seed S] [--clients N] [--icmp P] [--faults all|none]
//               [--server-restarts SECONDS] [--client-restarts SECONDS]
//               [--refuse P] [--no-answer P] [--silent P] [--unknown-host P] [--resets P]
//               [--corrupt P] [--closes-early P] [--idle SECONDS]
//               [--max-connection N[K|M|G]] [--connections N] [--verbose]
//               [--log FILE]
//   tq_simulate --goodput [--rtt-ms MS] [--loss P] [--bytes N] [--seeds N] ...
//               the goodput in virtual time of a bulk download, per link
#include "sim/SimWorld.h"
#include "sim/Simulation.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace
{

using tq_sim::SimulationConfig;
using tq_sim::SimulationResult;

const char* const USAGE =
    "usage: tq_simulate [options]\n"
    "  --bytes N[K|M|G]        bytes each run moves, both ways together (default 10M)\n"
    "  --loss P                probability that a datagram is lost (default 0.2)\n"
    "  --dup P                 probability that a datagram is duplicated (default 0.05)\n"
    "  --reorder P             probability that a datagram is held back (default 0.05)\n"
    "  --seeds N               runs, with the seeds S, S+1, ... (default 1)\n"
    "  --seed S                the first seed (default 1); --seed S --seeds 1 replays one run\n"
    "  --clients N             client machines (default 2)\n"
    "  --icmp P                a closed port answers with port unreachable (default 0.5)\n"
    "  --faults all|none       the faults below at their default rates, or none (all): server\n"
    "                          restarts every 1800 s, client restarts every 1200 s, 3 % of\n"
    "                          hosts refusing, 2 % not answering, 3 % going silent, 1 %\n"
    "                          unknown, 3 % of connections reset, 1 % of datagrams damaged\n"
    "  --server-restarts S     mean seconds of virtual time between server restarts (0: none)\n"
    "  --client-restarts S     mean seconds between restarts of each client (0: none)\n"
    "  --refuse P              share of hosts that refuse the connection\n"
    "  --no-answer P           share of hosts that never answer the connection\n"
    "  --silent P              share of hosts that go silent during the transfer\n"
    "  --unknown-host P        share of applications naming a host the server cannot resolve\n"
    "  --resets P              share of connections that the application or host resets\n"
    "  --corrupt P             probability that a datagram arrives with a bit flipped\n"
    "  --closes-early P        share of connections that one side closes before the end of\n"
    "                          its stream (default 0.1; not a fault)\n"
    "  --idle S                the server's ClientIdleDisconnect in seconds (default 120)\n"
    "  --max-connection N      the most one connection sends one way (default 4M)\n"
    "  --connections N         no more connections start after N (default: no limit)\n"
    "  --fast-link             the clients offer the fast link (the server accepts it)\n"
  "  --verbose               one line per connection\n"
    "  --log FILE              the code's log at the Debug level (one seed only)\n"
    "  --goodput               instead: the goodput of a bulk download from the host, in\n"
    "                          virtual time, for stop-and-wait and the fast link; one client,\n"
    "                          no faults, no duplication or reordering unless given; --bytes\n"
    "                          is the download (default 1M)\n"
    "  --rtt-ms MS             with --goodput: the round trip of the network (default 50)\n";

int Usage(const std::string& problem)
{
    std::fprintf(stderr, "tq_simulate: %s\n%s", problem.c_str(), USAGE);
    return 2;
}

std::optional<uint64_t> ParseCount(const std::string& text)
{
    if (text.empty() || text[0] == '-')
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str())
        return std::nullopt;
    uint64_t factor = 1;
    const std::string suffix(end);
    if (suffix == "K" || suffix == "k")
        factor = uint64_t{1} << 10;
    else if (suffix == "M" || suffix == "m")
        factor = uint64_t{1} << 20;
    else if (suffix == "G" || suffix == "g")
        factor = uint64_t{1} << 30;
    else if (!suffix.empty())
        return std::nullopt;
    if (value > UINT64_MAX / factor)
        return std::nullopt;
    return value * factor;
}

std::optional<double> ParseProbability(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !(value >= 0.0 && value <= 1.0))
        return std::nullopt;
    return value;
}

struct Options
{
    SimulationConfig config;
    bool goodput = false;
    uint64_t seeds = 1;
    std::vector<std::string> replay; // the options that shape a run, to replay it
};

// The options whose defaults depend on others.
struct Given
{
    std::optional<bool> faults;
    std::optional<uint32_t> serverRestarts, clientRestarts, rttMs;
    std::optional<double> refuse, noAnswer, silent, unknown, resets, corrupt;
    std::optional<double> loss, duplicate, reorder;
    std::optional<uint64_t> bytes;
};

// The defaults: the goodput figure is of the link alone (no faults, no duplication or
// reordering, a fixed latency) unless asked for.
std::string Finish(Options& options, const Given& g)
{
    SimulationConfig& c = options.config;
    const bool goodput = options.goodput;
    if (g.rttMs && !goodput)
        return "--rtt-ms goes with --goodput";
    c.bulk = goodput;
    c.bytes = g.bytes.value_or(goodput ? uint64_t{1} << 20 : uint64_t{10} << 20);
    c.network.loss = g.loss.value_or(0.2);
    c.network.duplicate = g.duplicate.value_or(goodput ? 0.0 : 0.05);
    c.network.reorder = g.reorder.value_or(goodput ? 0.0 : 0.05);
    if (goodput)
    {
        c.clients = 1;
        c.network.latencyMinMs = c.network.latencyMaxMs = g.rttMs.value_or(50) / 2;
    }
    const bool faults = g.faults.value_or(!goodput);
    c.serverRestartMeanS = g.serverRestarts.value_or(faults ? 1800 : 0);
    c.clientRestartMeanS = g.clientRestarts.value_or(faults ? 1200 : 0);
    c.hostRefuses = g.refuse.value_or(faults ? 0.03 : 0.0);
    c.hostNoAnswer = g.noAnswer.value_or(faults ? 0.02 : 0.0);
    c.hostSilent = g.silent.value_or(faults ? 0.03 : 0.0);
    c.hostUnknown = g.unknown.value_or(faults ? 0.01 : 0.0);
    c.resets = g.resets.value_or(faults ? 0.03 : 0.0);
    c.network.corrupt = g.corrupt.value_or(faults ? 0.01 : 0.0);
    if (c.hostRefuses + c.hostNoAnswer + c.hostSilent + c.hostUnknown > 1.0)
        return "the shares of --refuse, --no-answer, --silent and --unknown-host add up to more "
               "than 1";
    return {};
}

// Fills `options`; an empty result means success, otherwise the problem.
std::string Parse(int argc, char** argv, Options& options)
{
    SimulationConfig& c = options.config;
    Given g;
    for (int i = 1; i < argc; ++i)
    {
        const std::string option = argv[i];
        if (option == "--verbose" || option == "--goodput")
        {
            (option == "--verbose" ? c.verbose : options.goodput) = true;
            continue;
        }
        if (option == "--fast-link")
        {
            c.link = tq_sim::LinkMode::FastLink;
            options.replay.push_back(option);
            continue;
        }
        if (option == "-h" || option == "--help")
            return "help";
        if (i + 1 >= argc)
            return "missing value after " + option;
        const std::string value = argv[++i];
        const auto count = ParseCount(value);
        const auto probability = ParseProbability(value);
        auto needCount = [&](uint64_t max) { return count && *count <= max; };
        if (option == "--bytes" && needCount(UINT64_MAX) && *count > 0)
            g.bytes = *count;
        else if (option == "--max-connection" && needCount(uint64_t{1} << 30))
            c.maxConnectionBytes = *count;
        else if (option == "--connections" && needCount(100000000))
            c.maxConnections = static_cast<int>(*count);
        else if (option == "--loss" && probability && *probability < 1.0)
            g.loss = probability;
        else if (option == "--dup" && probability)
            g.duplicate = probability;
        else if (option == "--reorder" && probability)
            g.reorder = probability;
        else if (option == "--icmp" && probability)
            c.network.icmp = *probability;
        else if (option == "--seeds" && needCount(1000000) && *count > 0)
            options.seeds = *count;
        else if (option == "--seed" && count)
            c.seed = *count;
        else if (option == "--clients" && needCount(200) && *count > 0)
            c.clients = static_cast<int>(*count);
        else if (option == "--faults" && (value == "all" || value == "none"))
            g.faults = value == "all";
        else if (option == "--server-restarts" && needCount(UINT32_MAX))
            g.serverRestarts = static_cast<uint32_t>(*count);
        else if (option == "--client-restarts" && needCount(UINT32_MAX))
            g.clientRestarts = static_cast<uint32_t>(*count);
        else if (option == "--refuse" && probability)
            g.refuse = probability;
        else if (option == "--no-answer" && probability)
            g.noAnswer = probability;
        else if (option == "--silent" && probability)
            g.silent = probability;
        else if (option == "--unknown-host" && probability)
            g.unknown = probability;
        else if (option == "--resets" && probability)
            g.resets = probability;
        else if (option == "--corrupt" && probability)
            g.corrupt = probability;
        else if (option == "--closes-early" && probability)
            c.closesEarly = *probability;
        else if (option == "--log")
            c.logFile = value;
        else if (option == "--idle" && needCount(86400))
            c.idleLimitS = static_cast<int>(*count);
        else if (option == "--rtt-ms" && needCount(600000))
            g.rttMs = static_cast<uint32_t>(*count);
        else
            return "bad option or value: " + option + " " + value;
        if (option != "--seed" && option != "--seeds" && option != "--log")
        {
            options.replay.push_back(option);
            options.replay.push_back(value);
        }
    }
    return Finish(options, g);
}

std::string ReplayCommand(const Options& options, uint64_t seed)
{
    std::string command = "scripts/simulate --seed " + std::to_string(seed) + " --seeds 1";
    if (options.goodput)
        command += " --goodput";
    for (const std::string& part : options.replay)
        command += " " + part;
    return command;
}

// Prints a run's failures and the command that replays it; true when it passed.
bool ReportRun(const Options& options, const SimulationResult& result)
{
    for (const std::string& failure : result.failures)
        std::printf("  failure: %s\n", failure.c_str());
    if (!result.Ok())
        std::printf("  seed %" PRIu64 " fails; replay it with: %s\n", result.seed,
                    ReplayCommand(options, result.seed).c_str());
    return result.Ok();
}

std::string FormatRate(double bytesPerSecond)
{
    char text[64];
    if (bytesPerSecond >= 1e6)
        std::snprintf(text, sizeof(text), "%.2f MB/s", bytesPerSecond / 1e6);
    else
        std::snprintf(text, sizeof(text), "%.1f KB/s", bytesPerSecond / 1e3);
    return text;
}

// The goodput of a bulk download per link, in virtual time: one row per link, the
// seeds together (all bytes over all the time).
int RunGoodput(const Options& options)
{
    const SimulationConfig& base = options.config;
    std::printf("goodput of a %s download from the host, round trip %u ms, loss %.3f, "
                "%" PRIu64 " seed(s) from %" PRIu64 "; the network has no bandwidth limit\n\n",
                tq_sim::FormatBytes(base.bytes).c_str(), base.network.latencyMinMs * 2,
                base.network.loss, options.seeds, base.seed);
    std::printf("| link | goodput | virtual time | connections: complete, failed | datagrams "
                "sent, lost | wall (CPU) |\n|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    int failedRuns = 0;
    for (const tq_sim::LinkMode link : {tq_sim::LinkMode::StopAndWait, tq_sim::LinkMode::FastLink})
    {
        const std::string name(tq_sim::LinkModeName(link));
        if (link == tq_sim::LinkMode::FastLink && !tq_sim::FAST_LINK_AVAILABLE)
        {
            std::printf("| %s | n/a (the client cannot offer it yet) | | | | |\n", name.c_str());
            continue;
        }
        SimulationResult total;
        for (uint64_t run = 0; run < options.seeds; ++run)
        {
            SimulationConfig config = base;
            config.seed = base.seed + run;
            config.link = link;
            const SimulationResult result = tq_sim::RunSimulation(config);
            failedRuns += ReportRun(options, result) ? 0 : 1;
            tq_sim::AddTo(total, result);
        }
        std::printf("| %s | %s | %s | %d: %d, %d | %" PRIu64 ", %" PRIu64 " | %.2f s (%.2f s) |\n",
                    name.c_str(), FormatRate(total.Goodput()).c_str(),
                    tq_sim::FormatVirtualTime(total.bulkMs).c_str(), total.connections,
                    total.complete, total.failedReported, total.network.sent, total.network.lost,
                    total.wallSeconds, total.cpuSeconds);
        std::fflush(stdout);
    }
    return failedRuns == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    const std::string problem = Parse(argc, argv, options);
    if (problem == "help")
    {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (!problem.empty())
        return Usage(problem);
    if (options.goodput)
        return RunGoodput(options);
    const SimulationConfig& base = options.config;
    std::printf("simulating %" PRIu64
                " run(s) of %s each: loss %.3f, duplication %.3f, reordering %.3f, "
                "%d clients\n",
                options.seeds, tq_sim::FormatBytes(base.bytes).c_str(), base.network.loss,
                base.network.duplicate, base.network.reorder, base.clients);
    std::fflush(stdout);
    SimulationResult total;
    tq_sim::TraceDigest digests;
    int failedRuns = 0;
    for (uint64_t run = 0; run < options.seeds; ++run)
    {
        SimulationConfig config = base;
        config.seed = base.seed + run;
        const SimulationResult result = tq_sim::RunSimulation(config);
        std::printf("seed %" PRIu64 ": %s\n  %s\n", config.seed, result.Ok() ? "ok" : "FAILED",
                    tq_sim::Summary(result).c_str());
        failedRuns += ReportRun(options, result) ? 0 : 1;
        std::fflush(stdout);
        digests.Add(result.digest);
        total.digest = digests.Value();
        tq_sim::AddTo(total, result);
    }
    std::printf("total of %" PRIu64 " run(s): %d failed\n  %s\n", options.seeds, failedRuns,
                tq_sim::Summary(total).c_str());
    if (base.verbose)
        for (const auto& [kind, count] : total.reports)
            std::printf("  %6d  %s\n", count, kind.c_str());
    return failedRuns == 0 ? 0 : 1;
}
