#pragma once
// A deterministic simulation of the tunnel: the real client session (CProxyClient)
// and the real server (CProxyServer with its CProxySession objects) run on simulated
// machines in virtual time, joined by a network that loses, duplicates, delays and
// reorders datagrams. Applications and hosts move random byte streams both ways over
// it, one connection after another, while the server restarts, the client restarts,
// and hosts refuse connections or go silent, as the configuration asks. Every
// decision comes from one random source seeded by the configuration, so that a seed
// replays a run exactly.
//
// What the run checks, for every connection:
//   - each side receives exactly a prefix of what the other side sent, in order;
//   - a connection moved everything when each side received all the other sent, and
//     neither stopped before the end of its stream unless it closed early by choice;
//   - a connection that did not move everything ended with a failure report at the
//     client (a log line of the failure, a message box, or the state Invalid) or at
//     the server session (an error line, the idle limit, ...), or was hit by a
//     restart;
//   - bytes that one end acknowledged reach the application or host behind it,
//     unless that end reported a failure or was restarted; no end counts as
//     acknowledged what the other never accepted;
//   - the client and the server close the application's and the host's connections;
// and at the end of the run: no server session is left, no socket is left open.
#include "sim/LinkMode.h"
#include "sim/SimNetwork.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tq_sim
{

// Faults of the simulation itself, that the checks must find.
enum class Sabotage
{
    None,
    // The network changes a byte of client Data packets and fixes their checksum.
    ForgeData,
    // The network swallows the last Data packet of a connection and answers it with a
    // forged ACK: the host misses the end of the stream, and nobody reports it.
    SwallowLastData
};

struct SimulationConfig
{
    uint64_t seed = 1;
    uint64_t bytes = 1 << 20; // bytes to deliver, both ways together, at least
    NetworkConditions network;
    int clients = 2;                       // client machines, each with one application at a time
    uint64_t maxConnectionBytes = 4 << 20; // the most one connection sends one way
    int maxConnections = 0; // no more connections start after this many (0: no limit)
    // Faults: mean seconds of virtual time between restarts (0: none), and the shares
    // of connections whose host refuses, never answers the connection, or goes silent.
    uint32_t serverRestartMeanS = 0;
    uint32_t clientRestartMeanS = 0;
    double hostRefuses = 0.0;
    double hostNoAnswer = 0.0;
    double hostSilent = 0.0;
    double hostUnknown = 0.0; // the application names a host that the server cannot resolve
    // The share of client restarts that leave a damaged session ID file (cut short).
    double damagedIdFiles = 0.25;
    // The share of connections where the application or the host resets the connection
    // at some point.
    double resets = 0.0;
    // The share of connections where the application or the host closes early, once it
    // has sent part of its stream (not a fault: the other side must get all it sent).
    double closesEarly = 0.1;
    int idleLimitS = 120; // the server's ClientIdleDisconnect
    Sabotage sabotage = Sabotage::None;
    // The link the clients ask for.
    LinkMode link = LinkMode::StopAndWait;
    // A bulk download instead of random connections, for the goodput figure: each
    // connection moves what is left of `bytes` from the host to the application, nothing
    // the other way, with peers that never pause and large buffers; a connection that
    // fails is followed by another, until `bytes` have arrived.
    bool bulk = false;
    bool verbose = false; // one line per connection on standard output
    // When set, the code under test logs at the Debug level into this file, which is
    // kept after the run.
    std::string logFile;
};

struct SimulationResult
{
    uint64_t seed = 0;
    std::vector<std::string> failures;
    uint64_t bytesToHost = 0; // checked bytes that arrived, each way
    uint64_t bytesToApplication = 0;
    uint64_t virtualMs = 0;
    double wallSeconds = 0.0;
    double cpuSeconds = 0.0; // of this process, while the run ran
    int connections = 0;
    int complete = 0;         // moved everything both ways
    int failedReported = 0;   // did not, and the failure was reported
    int invalidEnds = 0;      // the client ended in Invalid
    int replacedSessions = 0; // server sessions ended by a Connect carrying their ID
    int serverRestarts = 0;
    int clientRestarts = 0;
    int hostsRefusing = 0;
    int hostsNotAnswering = 0;
    int hostsSilent = 0;
    int hostsUnknown = 0;
    int damagedIdFiles = 0;
    int resets = 0;      // connections that the application or the host reset
    int closedEarly = 0; // connections that the application or the host closed early
    // Writes of the client to an application, and of the server to a host, that a full
    // buffer cut short: the readers held the tunnel up.
    uint64_t shortWritesToApplications = 0;
    uint64_t shortWritesToHosts = 0;
    uint64_t receiveBufferDrops = 0;    // datagrams dropped by a full UDP receive buffer
    std::map<std::string, int> reports; // failure reports by kind (digits removed)
    NetworkCounters network;
    uint64_t digest = 0; // of every datagram sent and the figures above
    // Bulk: the virtual time from the start of the first connection until the
    // application had all the bytes.
    uint64_t bulkMs = 0;

    bool Ok() const { return failures.empty(); }
    uint64_t BytesMoved() const { return bytesToHost + bytesToApplication; }
    // Bulk: bytes per second of virtual time (0 before the end).
    double Goodput() const
    {
        return bulkMs == 0
                   ? 0.0
                   : static_cast<double>(bytesToApplication) * 1000.0 / static_cast<double>(bulkMs);
    }
};

SimulationResult RunSimulation(const SimulationConfig& config);

// "52.4 MiB", "3.1 KiB", "12 bytes".
std::string FormatBytes(uint64_t bytes);
// "2 d 03:12:45" or "12.345 s" of virtual time.
std::string FormatVirtualTime(uint64_t ms);
// The figures of a run in a few lines (without its failures).
std::string Summary(const SimulationResult& result);
// Adds one run's figures to a total of several runs (the digest stays the total's).
void AddTo(SimulationResult& total, const SimulationResult& result);

} // namespace tq_sim
