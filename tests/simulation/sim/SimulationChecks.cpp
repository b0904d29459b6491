// What a simulation run observes of the code under test (its log lines, message
// boxes and server sessions) and the checks at the end of the run.
#include "sim/SimulationRun.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

namespace tq_sim
{

namespace
{
constexpr size_t MAX_FAILURES = 50;

// What a log line of a session tells about it.
enum class LineKind
{
    Normal,    // the session went as it should
    Transient, // a problem that the session goes on from (a retry)
    FinalAck,  // the last ACK did not come: the transfer was over already
    Handshake, // the server session ended before the client's Open
    Failure    // the session ended on a failure
};

// The failures that the client and the server log. At the Info level every line
// that is not a normal one counts; a run that logs at the Debug level (to look into
// it) knows the failures by these.
bool IsKnownReport(std::string_view line)
{
    static constexpr std::string_view STARTS[] = {"Error",
                                                  "UDP connection lost",
                                                  "Mystery UDP",
                                                  "Received Error packet",
                                                  "TCP client connection lost",
                                                  "TCP host connection lost",
                                                  "Session closed by"};
    for (const std::string_view start : STARTS)
        if (line.starts_with(start))
            return true;
    return line.find(" bytes for the ") != std::string_view::npos;
}

LineKind ClassifyClientLine(std::string_view line, bool debugLog)
{
    if (line == "Client session ended." || line == "TCP client gracefully closed the connection." ||
        line.starts_with("Received host information from application:"))
        return LineKind::Normal;
    if (line.starts_with("Error: Connect timeout to proxy server") ||
        line.starts_with("Error: Proxy server") || line.starts_with("Mystery UDP"))
        return LineKind::Transient;
    if (line.starts_with("Error: Timeout when waiting for final ACK"))
        return LineKind::FinalAck;
    return debugLog && !IsKnownReport(line) ? LineKind::Normal : LineKind::Failure;
}

LineKind ClassifyServerLine(std::string_view text, bool debugLog)
{
    if (text == "Client connected." || text == "TCP host gracefully closed the connection." ||
        text == "Client session ended.")
        return LineKind::Normal;
    if (text.starts_with("Error: Timeout when waiting for final ACK"))
        return LineKind::FinalAck;
    if (text == "Error: Connect timeout")
        return LineKind::Handshake;
    return debugLog && !IsKnownReport(text) ? LineKind::Normal : LineKind::Failure;
}

// A report without its numbers, to count reports by kind.
std::string Kind(std::string_view text)
{
    std::string kind;
    for (const char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            kind += c;
    return kind;
}

const char* ClientStateName(int state)
{
    static constexpr const char* names[] = {
        "PreConnect", "Connect", "ConnectWACK", "WaitForSessionID", "Open",
        "OpenWACK",   "Data",    "Exit",        "WaitFinalACK",     "Invalid"};
    return state >= 0 && state < static_cast<int>(std::size(names)) ? names[state] : "?";
}

uint64_t Counted(int counter)
{
    return static_cast<uint32_t>(counter);
}
} // namespace

void SimulationRun::Fail(const std::string& failure)
{
    if (m_result.failures.size() < MAX_FAILURES)
        m_result.failures.push_back(failure);
}

// ---- Log lines and message boxes ----------------------------------------------------

void SimulationRun::TakeLog()
{
    for (const std::string& line : m_tap.TakeLines())
    {
        if (m_owner == Owner::Server)
            OnServerLine(line);
        else if (m_owner == Owner::Client && m_pOwnerClient != nullptr)
            OnClientLine(*m_pOwnerClient, line);
    }
}

// Session lines begin with the client ID in square brackets.
void SimulationRun::OnServerLine(const std::string& line)
{
    const size_t close = line.find("] ");
    if (line.empty() || line[0] != '[' || close == std::string::npos)
        return;
    Connection* connection = ConnectionOfClientId(line.substr(1, close - 1));
    const std::string text = line.substr(close + 2);
    const LineKind kind = ClassifyServerLine(text, !m_config.logFile.empty());
    if (connection == nullptr || kind == LineKind::Normal)
        return;
    ++m_result.reports["server: " + Kind(text)];
    if (kind == LineKind::Failure)
        connection->serverReports.push_back(text);
    else if (kind == LineKind::Handshake)
        ++connection->serverHandshakeFailures;
}

void SimulationRun::OnClientLine(Client& client, const std::string& line)
{
    const LineKind kind = ClassifyClientLine(line, !m_config.logFile.empty());
    if (client.current == nullptr || kind == LineKind::Normal)
        return;
    ++m_result.reports["client: " + Kind(line)];
    if (kind == LineKind::Failure)
        client.current->clientReports.push_back(line);
    else if (kind == LineKind::FinalAck)
        client.current->clientMissedFinalAck = true;
}

void SimulationRun::OnMessageBox(const std::string& text)
{
    if (m_owner == Owner::Client)
        ++m_result.reports["client message box: " + Kind(text)];
}

// "a.b.c.d:port" of a client machine's UDP socket: the connection that made it.
SimulationRun::Connection* SimulationRun::ConnectionOfClientId(const std::string& clientId)
{
    const size_t colon = clientId.rfind(':');
    if (colon == std::string::npos)
        return nullptr;
    const uint32_t address = ParseDottedAddress(clientId.substr(0, colon));
    const int port = std::atoi(clientId.c_str() + colon + 1);
    for (const auto& client : m_clients)
    {
        if (client->machine->Address() != address)
            continue;
        const int tag = client->machine->TagOfPort(static_cast<uint16_t>(port));
        return tag >= 0 ? m_connections[static_cast<size_t>(tag)].get() : nullptr;
    }
    return nullptr;
}

// ---- Server sessions ----------------------------------------------------------------

// After each pass of the server: the statistics of every session, kept after the
// session is gone. A session that went without reaching Exit was replaced by a
// Connect that carried its ID.
void SimulationRun::SnapshotSessions()
{
    std::vector<bool> seen(m_liveSessions.size(), false);
    for (int i = 0; i < m_server->GetSessionCount(); ++i)
    {
        const CProxySession& session = *m_server->GetSession(i);
        size_t live = 0;
        while (live < m_liveSessions.size() &&
               m_sessions[m_liveSessions[live]].id != session.GetSessionId())
            ++live;
        if (live == m_liveSessions.size())
        {
            SessionRecord record;
            record.incarnation = m_nIncarnation;
            record.id = session.GetSessionId();
            const Connection* connection = ConnectionOfClientId(session.GetClientId());
            record.connection = connection != nullptr ? connection->id : -1;
            m_sessions.push_back(record);
            m_liveSessions.push_back(m_sessions.size() - 1);
            seen.push_back(false);
        }
        SessionRecord& record = m_sessions[m_liveSessions[live]];
        record.stats = session.GetStats();
        record.state = session.GetState();
        record.reachedData = record.reachedData || record.state == CProxySession::STATE_DATA;
        seen[live] = true;
    }
    for (size_t live = m_liveSessions.size(); live-- > 0;)
    {
        if (seen[live])
            continue;
        const SessionRecord& record = m_sessions[m_liveSessions[live]];
        if (record.state != CProxySession::STATE_EXIT)
            ++m_result.replacedSessions;
        m_liveSessions.erase(m_liveSessions.begin() + static_cast<std::ptrdiff_t>(live));
    }
}

// ---- Checks -------------------------------------------------------------------------

void SimulationRun::Evaluate()
{
    for (const auto& connection : m_connections)
        EvaluateConnection(*connection);
    CheckLeftovers();
}

void SimulationRun::EvaluateConnection(Connection& connection)
{
    static constexpr const char* HOST_MODES[] = {"normal host", "host refuses",
                                                 "host does not answer", "host goes silent",
                                                 "host name unknown"};
    const std::string name = "connection " + std::to_string(connection.id) + " (client " +
                             std::to_string(connection.client) + ", " +
                             HOST_MODES[static_cast<int>(connection.hostMode)] + ", " +
                             std::to_string(connection.upBytes) + " bytes up, " +
                             std::to_string(connection.downBytes) + " down)";
    if (!connection.ended)
    {
        Fail(name + ": the client session never ended");
        return;
    }
    const StreamPeer& app = *connection.app;
    const StreamPeer& host = *connection.host;
    const uint64_t toApp = connection.app->Delivered();
    const uint64_t toHost = connection.host->Delivered();
    // A side that closed early wanted nothing more; the other side must have all it sent.
    const bool closedEarly = app.ClosedEarly() || host.ClosedEarly();
    const bool complete = (app.ClosedEarly() || toApp == host.Sent()) &&
                          (host.ClosedEarly() || toHost == app.Sent()) &&
                          (closedEarly || (app.SentAll() && host.SentAll()));
    const bool clientReported = !connection.clientReports.empty();
    bool reachedData = false;
    for (const SessionRecord& record : m_sessions)
        reachedData = reachedData || (record.connection == connection.id && record.reachedData);
    // A session that ended in its handshake explains nothing once another one of the
    // connection got to the data (a duplicated Connect makes two).
    const bool serverReported = !connection.serverReports.empty() ||
                                (connection.serverHandshakeFailures > 0 && !reachedData);
    const bool restarted = connection.clientRestarted || connection.serverRestarted;
    // A reset ends both streams where it happens, whatever was under way.
    const bool reset = app.WasReset() || host.WasReset();
    uint64_t serverAccepted = 0;
    uint64_t serverAcked = 0;
    for (const SessionRecord& record : m_sessions)
        if (record.connection == connection.id)
        {
            serverAccepted += Counted(record.stats.m_nBytesReceived);
            serverAcked += Counted(record.stats.m_nBytesSent);
        }
    const uint64_t clientAccepted = Counted(connection.clientStats.m_nBytesReceived);
    const uint64_t clientAcked = Counted(connection.clientStats.m_nBytesSent);
    const size_t failuresBefore = m_result.failures.size();

    if (!complete && !clientReported && !serverReported && !restarted && !reset)
        Fail(name + ": the host received " + std::to_string(toHost) + " bytes, the application " +
             std::to_string(toApp) + ", and neither end reported a failure (client ended in " +
             ClientStateName(connection.finalState) + ")");
    if (clientAcked > serverAccepted)
        Fail(name + ": the client counted " + std::to_string(clientAcked) +
             " bytes as acknowledged, the server accepted " + std::to_string(serverAccepted));
    if (serverAcked > clientAccepted)
        Fail(name + ": the server counted " + std::to_string(serverAcked) +
             " bytes as acknowledged, the client accepted " + std::to_string(clientAccepted));
    // Bytes for a side that closed early or reset were of no more use to it.
    if (!clientReported && !connection.clientRestarted && !app.ClosedEarly() && !app.WasReset() &&
        toApp != clientAccepted)
        Fail(name + ": the client accepted " + std::to_string(clientAccepted) +
             " bytes for the application, which received " + std::to_string(toApp));
    if (!serverReported && !restarted && !host.ClosedEarly() && !host.WasReset() &&
        toHost != serverAccepted)
        Fail(name + ": the server accepted " + std::to_string(serverAccepted) +
             " bytes for the host, which received " + std::to_string(toHost));
    // Only a silent host, or a client that is gone (by a failure, or after a Close that
    // was lost: it is not sent again), leaves a session idle that long: the peers here
    // write until they close, and close once they are done.
    const bool idleClosed =
        std::any_of(connection.serverReports.begin(), connection.serverReports.end(),
                    [](const std::string& report)
                    { return report.starts_with("Session closed by idle timeout"); });
    if (idleClosed && connection.hostMode != HostMode::Silent && !clientReported &&
        !connection.clientMissedFinalAck && !restarted)
        Fail(name +
             ": the server closed the session at its idle limit while the application and the host "
             "were still there (" +
             std::to_string(toHost) + " bytes to the host, " + std::to_string(toApp) +
             " to the application): a close or data went unnoticed");
    if (!connection.app->ClosedByProduct())
        Fail(name + ": the client left the application's connection open");
    if (m_server && connection.host->Connected() && !connection.host->ClosedByProduct() &&
        !MayLinger(connection))
        Fail(name + ": the server left the host's connection open");
    if (m_result.failures.size() != failuresBefore)
        return;
    if (complete)
        ++m_result.complete;
    else
        ++m_result.failedReported;
}

// Without an idle limit a session whose client went away without a word (a lost
// Close is not sent again; a failure or a restart says nothing to the server) stays
// until an administrator ends it.
bool SimulationRun::MayLinger(const Connection& connection) const
{
    return m_config.idleLimitS == 0 &&
           (!connection.clientReports.empty() || connection.clientMissedFinalAck ||
            connection.clientRestarted || connection.serverRestarted);
}

void SimulationRun::CheckLeftovers()
{
    if (m_server)
    {
        std::string states;
        int left = 0;
        for (int i = 0; i < m_server->GetSessionCount(); ++i)
        {
            const CProxySession& session = *m_server->GetSession(i);
            const Connection* connection = ConnectionOfClientId(session.GetClientId());
            if (connection != nullptr && MayLinger(*connection))
                continue;
            ++left;
            states += " " + session.GetClientId() + "/state " + std::to_string(session.GetState());
        }
        if (left > 0)
            Fail(std::to_string(left) +
                 " server sessions were left after the run settled:" + states);
    }
    for (const auto& client : m_clients)
    {
        const std::vector<std::string> open = client->machine->OpenSockets();
        if (!open.empty())
            Fail("client " + std::to_string(client->index) + " left " +
                 std::to_string(open.size()) + " sockets open (" + open.front() + ", ...)");
    }
}

void SimulationRun::PrintConnection(const Connection& connection) const
{
    std::printf("  connection %d client %d at %.3f s: %llu/%llu bytes up, %llu/%llu down, client "
                "%s, %zu+%zu "
                "reports%s%s\n",
                connection.id, connection.client, static_cast<double>(connection.startMs) / 1000.0,
                static_cast<unsigned long long>(connection.host->Received()),
                static_cast<unsigned long long>(connection.upBytes),
                static_cast<unsigned long long>(connection.app->Received()),
                static_cast<unsigned long long>(connection.downBytes),
                ClientStateName(connection.finalState), connection.clientReports.size(),
                connection.serverReports.size(), connection.clientReports.empty() ? "" : ": ",
                connection.clientReports.empty() ? "" : connection.clientReports.front().c_str());
}

void SimulationRun::FillResult()
{
    m_result.virtualMs = m_world.Now();
    m_result.connections = static_cast<int>(m_connections.size());
    m_result.network = m_network.Counters();
    m_result.shortWritesToHosts = m_serverMachine->ShortWrites();
    m_result.receiveBufferDrops = m_serverMachine->DroppedDatagrams();
    for (const auto& client : m_clients)
    {
        m_result.shortWritesToApplications += client->machine->ShortWrites();
        m_result.receiveBufferDrops += client->machine->DroppedDatagrams();
    }
    TraceDigest digest = m_world.digest;
    digest.Add(m_result.bytesToHost);
    digest.Add(m_result.bytesToApplication);
    digest.Add(m_result.virtualMs);
    digest.Add(static_cast<uint64_t>(m_result.connections));
    digest.Add(static_cast<uint64_t>(m_result.complete));
    digest.Add(static_cast<uint64_t>(m_result.failures.size()));
    m_result.digest = digest.Value();
}

} // namespace tq_sim
