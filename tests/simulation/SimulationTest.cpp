// The tunnel under faults, in virtual time: the real client session and server over
// a network that loses 20 % of the datagrams and duplicates and reorders 5 %, with
// restarts of either end and hosts that refuse or go silent. Every run checks that
// each side receives exactly what the other sent, in order, or that the failure was
// reported; these tests add what each kind of fault must have led to. A failing run
// prints its seed and the command that replays it.
#include "sim/Simulation.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

using tq_sim::Sabotage;
using tq_sim::SimulationConfig;
using tq_sim::SimulationResult;

namespace
{

// The sanitizer build runs the code several times slower: it moves half the bytes.
#ifdef TQ_SIMULATION_SANITIZED
constexpr uint64_t SCALE_DIVISOR = 2;
#else
constexpr uint64_t SCALE_DIVISOR = 1;
#endif

constexpr uint64_t MiB = uint64_t{1} << 20;

SimulationConfig Lossy(uint64_t seed, uint64_t bytes)
{
    SimulationConfig config;
    config.seed = seed;
    config.bytes = bytes / SCALE_DIVISOR;
    config.maxConnectionBytes = std::max<uint64_t>(config.bytes / 4, 4096);
    config.network.loss = 0.2;
    config.network.duplicate = 0.05;
    config.network.reorder = 0.05;
    return config;
}

std::string ReplayCommand(const SimulationConfig& c)
{
    char text[512];
    std::snprintf(text, sizeof(text),
                  "scripts/simulate --seed %" PRIu64 " --seeds 1 --bytes %" PRIu64
                  " --loss %g --dup %g --reorder %g"
                  " --icmp %g --clients %d --max-connection %" PRIu64
                  " --server-restarts %u --client-restarts %u"
                  " --refuse %g --no-answer %g --silent %g --idle %d",
                  c.seed, c.bytes, c.network.loss, c.network.duplicate, c.network.reorder,
                  c.network.icmp, c.clients, c.maxConnectionBytes, c.serverRestartMeanS,
                  c.clientRestartMeanS, c.hostRefuses, c.hostNoAnswer, c.hostSilent, c.idleLimitS);
    if (c.bulk)
        return text + (" --goodput --rtt-ms " + std::to_string(2 * c.network.latencyMinMs));
    return text;
}

// Runs one configuration for each seed; every run must pass its checks.
SimulationResult RunSeeds(SimulationConfig config, const std::vector<uint64_t>& seeds)
{
    SimulationResult total;
    for (const uint64_t seed : seeds)
    {
        config.seed = seed;
        const SimulationResult result = tq_sim::RunSimulation(config);
        std::string failures;
        for (const std::string& failure : result.failures)
            failures += "\n  " + failure;
        EXPECT_TRUE(result.Ok()) << "seed " << seed << " failed:" << failures << "\n  "
                                 << tq_sim::Summary(result)
                                 << "\n  replay: " << ReplayCommand(config);
        tq_sim::AddTo(total, result);
    }
    std::printf("%zu seeds: %s\n", seeds.size(), tq_sim::Summary(total).c_str());
    return total;
}

int Reports(const SimulationResult& result, const std::string& kind)
{
    int count = 0;
    for (const auto& [text, n] : result.reports)
        if (text.find(kind) != std::string::npos)
            count += n;
    return count;
}

std::vector<uint64_t> Seeds(uint64_t first, int count)
{
    std::vector<uint64_t> seeds;
    for (int i = 0; i < count; ++i)
        seeds.push_back(first + static_cast<uint64_t>(i));
    return seeds;
}

} // namespace

// More than 10 MiB over eight seeds, both ways, with nothing but the network against
// them: the bytes arrive exactly, and the network did what it was asked to. (Some
// applications and hosts close before the end of their streams, as they may: the
// other side must still get all they sent.)
TEST(SimulationTest, ByteStreamsCrossALossyNetworkExactly)
{
    const SimulationResult total = RunSeeds(Lossy(0, 12 * MiB / 8), Seeds(1, 8));
    EXPECT_GE(total.BytesMoved(), 10 * MiB / SCALE_DIVISOR);
    EXPECT_GT(total.complete, 8);
    EXPECT_GT(total.network.lost * 100, total.network.sent * 18);
    EXPECT_LT(total.network.lost * 100, total.network.sent * 22);
    EXPECT_GT(total.network.duplicated * 100, total.network.sent * 4);
    EXPECT_GT(total.network.reordered * 100, total.network.sent * 4);
}

// On a good link the tunnel moves bytes faster than applications and hosts that stop
// reading for a while take them: the buffers fill, the tunnel stops acknowledging,
// and the bytes still arrive exactly once they read again.
TEST(SimulationTest, ReadersThatStopHoldTheTunnelUp)
{
    SimulationConfig config = Lossy(0, 8 * MiB);
    config.network.loss = 0.01;
    config.network.duplicate = 0.01;
    config.network.reorder = 0.01;
    const SimulationResult total = RunSeeds(config, Seeds(601, 2));
    EXPECT_GT(total.shortWritesToApplications, 100u);
    EXPECT_GT(total.shortWritesToHosts, 100u);
    EXPECT_GT(total.complete, 10);
}

// The server crashes or shuts down in the middle of transfers and starts again. The
// clients learn it from a port unreachable report or, where none comes back, from
// the server's NoSession answer to their Probe: they end Invalid.
TEST(SimulationTest, AServerRestartEndsTheClientsSessions)
{
    SimulationConfig config = Lossy(0, 3 * MiB);
    config.serverRestartMeanS = 300;
    config.network.icmp = 0.0;
    const SimulationResult silent = RunSeeds(config, Seeds(101, 3));
    EXPECT_GT(silent.serverRestarts, 3);
    EXPECT_GT(silent.invalidEnds, 0);
    EXPECT_EQ(0, Reports(silent, "UDP connection lost"));

    config.network.icmp = 1.0;
    const SimulationResult answered = RunSeeds(config, Seeds(111, 3));
    EXPECT_GT(answered.serverRestarts, 3);
    EXPECT_GT(Reports(answered, "client: UDP connection lost"), 0);
    EXPECT_GT(Reports(answered, "client: Error: Proxy server"), 0); // while the server is down
}

// The client program restarts without telling the server; its next Connect carries
// the session ID from its file, and the server ends that session.
TEST(SimulationTest, AClientRestartingWithItsSessionIdEndsItsOldSession)
{
    SimulationConfig config = Lossy(0, 3 * MiB);
    config.clientRestartMeanS = 200;
    config.network.icmp = 0.0;
    const SimulationResult total = RunSeeds(config, Seeds(201, 3));
    EXPECT_GT(total.clientRestarts, 5);
    EXPECT_GT(total.damagedIdFiles, 0); // the next Connect carries no ID then
    EXPECT_GT(total.replacedSessions, 0);
    EXPECT_GT(total.complete, 0);
}

// Every host refuses, or has a name that the server cannot resolve: nothing reaches a
// host or an application, and both ends report why (the server sends it in an Error
// packet, the client logs and shows it).
TEST(SimulationTest, ARefusingHostIsReportedAtBothEnds)
{
    SimulationConfig config = Lossy(0, 0);
    config.bytes = 1;
    config.hostRefuses = 0.7;
    config.hostUnknown = 0.3;
    config.maxConnectionBytes = 4096;
    config.maxConnections = 60;
    const SimulationResult total = RunSeeds(config, Seeds(301, 2));
    EXPECT_EQ(0u, total.BytesMoved());
    EXPECT_GT(
        Reports(total, "server: Error packet sent (): Network connect error  (WSAECONNREFUSED"), 0);
    EXPECT_GT(
        Reports(total, "client: Received Error packet from Proxy Server (): Network connect error"),
        0);
    EXPECT_GT(Reports(total, "server: Error packet sent (): Network error, invalid IP address."),
              0);
    EXPECT_GT(
        Reports(total,
                "client: Received Error packet from Proxy Server (): Network error, invalid IP"),
        0);
    EXPECT_GT(Reports(total, "client message box: Received Error packet from Proxy Server"), 0);
}

// Hosts go silent in the middle of a transfer, or never answer the connection: the
// server closes the session at its idle limit, or reports the connect timeout.
TEST(SimulationTest, ASilentHostEndsBySessionLimits)
{
    SimulationConfig config = Lossy(0, 2 * MiB);
    config.hostSilent = 0.5;
    config.hostNoAnswer = 0.2;
    config.network.icmp = 0.0;
    const SimulationResult total = RunSeeds(config, Seeds(401, 3));
    EXPECT_GT(Reports(total, "server: Session closed by idle timeout"), 0);
    EXPECT_GT(Reports(total, "server: Error packet sent (): Server connect timeout."), 0);
    EXPECT_GT(total.complete, 0);
}

// Applications and hosts that reset their connections in the middle of a transfer,
// and datagrams that arrive damaged: the checksum turns those away, and a reset is
// reported to the other end.
TEST(SimulationTest, ResetsAndDamagedDatagrams)
{
    SimulationConfig config = Lossy(0, 2 * MiB);
    config.resets = 0.3;
    config.network.corrupt = 0.05;
    const SimulationResult total = RunSeeds(config, Seeds(701, 3));
    EXPECT_GT(total.resets, 20);
    EXPECT_GT(total.network.corrupted * 100, total.network.sent * 4);
    EXPECT_GT(
        Reports(total,
                "server: Received Error packet from Proxy Client (): TCP client connection lost"),
        0);
    EXPECT_GT(
        Reports(total,
                "client: Received Error packet from Proxy Server (): TCP host connection lost"),
        0);
}

// Everything at once, as scripts/simulate runs it by default; then again with the
// fast link (every byte once and in order, or the failure reported).
TEST(SimulationTest, AllFaultsTogether)
{
    SimulationConfig config = Lossy(0, 3 * MiB);
    config.serverRestartMeanS = 900;
    config.clientRestartMeanS = 600;
    config.hostRefuses = 0.03;
    config.hostNoAnswer = 0.02;
    config.hostSilent = 0.03;
    config.hostUnknown = 0.01;
    config.resets = 0.03;
    config.network.corrupt = 0.01;
    const SimulationResult total = RunSeeds(config, Seeds(501, 3));
    EXPECT_GE(total.BytesMoved(), 9 * MiB / SCALE_DIVISOR);
    config.link = tq_sim::LinkMode::FastLink;
    EXPECT_GE(RunSeeds(config, Seeds(701, 3)).BytesMoved(), 9 * MiB / SCALE_DIVISOR);
}

// The goodput figure: a bulk download over a 50 ms round trip at 5 % loss arrives
// whole, only towards the application, and stop-and-wait moves at most one 512-byte
// payload per round trip of virtual time.
TEST(SimulationTest, ABulkDownloadMeasuresGoodputInVirtualTime)
{
    SimulationConfig config;
    config.bulk = true;
    config.clients = 1;
    config.bytes = 64 * 1024;
    config.network.loss = 0.05;
    config.network.latencyMinMs = config.network.latencyMaxMs = 25;
    const SimulationResult result = RunSeeds(config, Seeds(11, 2));
    EXPECT_EQ(result.bytesToApplication, 2 * config.bytes);
    EXPECT_EQ(result.bytesToHost, 0u);
    EXPECT_GT(result.bulkMs, 2 * config.bytes / 512 * 50);
    EXPECT_LT(result.Goodput(), 512.0 * 1000 / 50);
}

// A seed replays its run exactly; another seed makes another run.
TEST(SimulationTest, ASeedReplaysItsRun)
{
    SimulationConfig config = Lossy(42, MiB / 2);
    config.serverRestartMeanS = 300;
    config.clientRestartMeanS = 300;
    config.hostSilent = 0.1;
    const SimulationResult first = tq_sim::RunSimulation(config);
    const SimulationResult again = tq_sim::RunSimulation(config);
    EXPECT_EQ(first.digest, again.digest);
    EXPECT_EQ(first.virtualMs, again.virtualMs);
    EXPECT_EQ(first.BytesMoved(), again.BytesMoved());
    EXPECT_EQ(first.network.sent, again.network.sent);
    EXPECT_EQ(first.reports, again.reports);
    config.seed = 43;
    EXPECT_NE(first.digest, tq_sim::RunSimulation(config).digest);
}

// The checks find faults: a network that forges a Data packet with a valid checksum
// delivers a wrong byte; one that swallows the last Data packet of a stream and
// acknowledges it in the server's name leaves the host short, and nobody reports it.
TEST(SimulationTest, TheChecksFindCorruptedAndMissingBytes)
{
    SimulationConfig config = Lossy(7, MiB / 2);
    // The same run in every build: the sabotaged packets must exist in it.
    config.bytes = MiB / 2;
    config.maxConnectionBytes = MiB / 8;
    config.network.loss = 0.05;
    config.sabotage = Sabotage::ForgeData;
    const SimulationResult forged = tq_sim::RunSimulation(config);
    ASSERT_FALSE(forged.Ok());
    EXPECT_NE(std::string::npos, forged.failures.front().find("the host of connection"));
    EXPECT_NE(std::string::npos, forged.failures.front().find("wrong byte"));

    config.sabotage = Sabotage::SwallowLastData;
    const SimulationResult swallowed = tq_sim::RunSimulation(config);
    ASSERT_FALSE(swallowed.Ok());
    bool acknowledged = false;
    for (const std::string& failure : swallowed.failures)
        acknowledged = acknowledged || failure.find("bytes as acknowledged, the server accepted") !=
                                           std::string::npos;
    EXPECT_TRUE(acknowledged) << swallowed.failures.front();
}
