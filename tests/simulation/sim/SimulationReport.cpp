#include "sim/Simulation.h"

#include <cinttypes>
#include <cstdio>

namespace tq_sim
{

std::string FormatBytes(uint64_t bytes)
{
    char text[64];
    if (bytes >= (uint64_t{1} << 20))
        std::snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof(text), "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof(text), "%" PRIu64 " bytes", bytes);
    return text;
}

std::string FormatVirtualTime(uint64_t ms)
{
    char text[64];
    const uint64_t seconds = ms / 1000;
    if (seconds < 60)
        std::snprintf(text, sizeof(text), "%.3f s", static_cast<double>(ms) / 1000);
    else if (seconds < 86400)
        std::snprintf(text, sizeof(text), "%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64, seconds / 3600,
                      seconds / 60 % 60, seconds % 60);
    else
        std::snprintf(text, sizeof(text), "%" PRIu64 " d %02" PRIu64 ":%02" PRIu64 ":%02" PRIu64,
                      seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60);
    return text;
}

std::string Summary(const SimulationResult& r)
{
    char text[1024];
    const NetworkCounters& n = r.network;
    std::snprintf(
        text, sizeof(text),
        "moved %s (%s to hosts, %s to applications) in %s of virtual time, %.2f s wall, %.2f s "
        "CPU\n"
        "  %d connections (%d with one side closing early): %d complete, %d failed and "
        "reported (%d ended Invalid); %d server sessions replaced by a Connect\n"
        "  faults: %d server restarts, %d client restarts (%d leaving a damaged session ID file), "
        "%d connections reset; hosts: %d refusing, %d not answering, %d going silent, %d unknown\n"
        "  datagrams: %" PRIu64 " sent, %" PRIu64 " lost, %" PRIu64 " duplicated, %" PRIu64
        " reordered, %" PRIu64 " damaged, %" PRIu64 " to closed ports, %" PRIu64
        " port unreachable reports\n"
        "  full buffers: %" PRIu64 " writes to applications and %" PRIu64
        " to hosts cut short, %" PRIu64 " datagrams dropped by a full receive buffer",
        FormatBytes(r.BytesMoved()).c_str(), FormatBytes(r.bytesToHost).c_str(),
        FormatBytes(r.bytesToApplication).c_str(), FormatVirtualTime(r.virtualMs).c_str(),
        r.wallSeconds, r.cpuSeconds, r.connections, r.closedEarly, r.complete, r.failedReported,
        r.invalidEnds, r.replacedSessions, r.serverRestarts, r.clientRestarts, r.damagedIdFiles,
        r.resets, r.hostsRefusing, r.hostsNotAnswering, r.hostsSilent, r.hostsUnknown, n.sent,
        n.lost, n.duplicated, n.reordered, n.corrupted, n.unreachable, n.icmp,
        r.shortWritesToApplications, r.shortWritesToHosts, r.receiveBufferDrops);
    std::string summary = text;
    if (r.digest != 0)
    {
        std::snprintf(text, sizeof(text), "\n  digest %016" PRIx64 " (a replay gives the same)",
                      r.digest);
        summary += text;
    }
    return summary;
}

// Adds one run's figures to a total of several runs.
void AddTo(SimulationResult& total, const SimulationResult& result)
{
    total.bytesToHost += result.bytesToHost;
    total.bytesToApplication += result.bytesToApplication;
    total.virtualMs += result.virtualMs;
    total.bulkMs += result.bulkMs;
    total.wallSeconds += result.wallSeconds;
    total.cpuSeconds += result.cpuSeconds;
    total.shortWritesToApplications += result.shortWritesToApplications;
    total.shortWritesToHosts += result.shortWritesToHosts;
    total.receiveBufferDrops += result.receiveBufferDrops;
    total.connections += result.connections;
    total.complete += result.complete;
    total.failedReported += result.failedReported;
    total.invalidEnds += result.invalidEnds;
    total.replacedSessions += result.replacedSessions;
    total.serverRestarts += result.serverRestarts;
    total.clientRestarts += result.clientRestarts;
    total.hostsRefusing += result.hostsRefusing;
    total.hostsNotAnswering += result.hostsNotAnswering;
    total.hostsSilent += result.hostsSilent;
    total.hostsUnknown += result.hostsUnknown;
    total.damagedIdFiles += result.damagedIdFiles;
    total.network.sent += result.network.sent;
    total.network.lost += result.network.lost;
    total.network.duplicated += result.network.duplicated;
    total.network.reordered += result.network.reordered;
    total.network.corrupted += result.network.corrupted;
    total.resets += result.resets;
    total.closedEarly += result.closedEarly;
    total.network.unreachable += result.network.unreachable;
    total.network.icmp += result.network.icmp;
    for (const auto& [kind, count] : result.reports)
        total.reports[kind] += count;
}

} // namespace tq_sim
