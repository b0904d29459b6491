#pragma once
// The machinery of one simulation run (see Simulation.h): the parties, their loops in
// virtual time, the connections and their checks.
#include "client/ProxyClient.h"
#include "server/ProxyServer.h"
#include "sim/LogTap.h"
#include "sim/SimMachine.h"
#include "sim/SimNetwork.h"
#include "sim/SimWorld.h"
#include "sim/Simulation.h"
#include "sim/StreamPeer.h"
#include "sim/TcpLink.h"
#include "tunnel/ProxyStats.h"
#include "tunnel/SessionId.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tq_sim
{

class SimulationRun
{
  public:
    explicit SimulationRun(const SimulationConfig& config);
    ~SimulationRun();
    SimulationRun(const SimulationRun&) = delete;
    SimulationRun& operator=(const SimulationRun&) = delete;

    SimulationResult Run();

  private:
    enum class HostMode
    {
        Normal,
        Refuses,
        NoAnswer,
        Silent,
        UnknownName // the host's name does not resolve at the server
    };
    enum class Phase
    {
        Running,  // connections start, faults happen
        Draining, // enough bytes moved: the connections under way finish
        Settling  // all finished: the server's sessions end by themselves
    };

    struct Connection
    {
        int id = 0;
        int client = 0;
        uint16_t hostPort = 0;
        HostMode hostMode = HostMode::Normal;
        int closesEarly = 0; // 0 nobody, 1 the application, 2 the host
        int resets = 0;      // likewise
        bool appCloses = true;
        int proxyAware = 0;   // 0 no, 1 with a connect-info line, 2 without one
        uint64_t upBytes = 0; // application to host
        uint64_t downBytes = 0;
        std::unique_ptr<StreamPeer> app;
        std::unique_ptr<StreamPeer> host;
        int hostConnects = 0;
        uint64_t startMs = 0;
        bool ended = false;
        int finalState = -1;
        CProxyStats clientStats;
        bool clientRestarted = false;
        bool serverRestarted = false;
        // Failures that ended a session of the connection, as logged.
        std::vector<std::string> clientReports;
        std::vector<std::string> serverReports;
        int serverHandshakeFailures = 0;
        bool clientMissedFinalAck = false; // its Close or Error went unanswered
        // Sabotage: the application's stream as the client sent it so far.
        uint32_t lastUpNumber = 0;
        uint64_t upOffset = 0;
    };

    struct Client
    {
        int index = 0;
        std::unique_ptr<SimMachine> machine;
        std::string folder; // its session ID file
        std::unique_ptr<CProxyClient> session;
        CProxyStats stats;
        Connection* current = nullptr;
        uint64_t wakeAt = NEVER;
        uint64_t token =
            14;            // the session's pair of watch tokens, as the client program numbers them
        bool down = false; // between a restart and the program's start
        std::vector<SocketReadiness> ready;
        uint64_t passMs = NEVER;
        int passesInMs = 0;
    };

    struct SessionRecord
    {
        int incarnation = 0;
        SessionId id;
        int connection = -1;
        CProxyStats stats;
        int state = 0;
        bool reachedData = false;
    };

    // Set-up and tear-down of the process-wide state the code under test uses.
    void SetUpProcess();
    void TearDownProcess();
    void StartServer();
    void StopServer(bool orderly);

    // The loop.
    void Loop();
    void WakeParties(uint64_t now);
    bool CountPass(uint64_t now, uint64_t& passMs, int& passes, const std::string& who);
    void ServerPass(uint64_t now);
    void ClientPass(Client& client, uint64_t now);
    void AdvancePhase(uint64_t now);

    // Connections.
    void ScheduleConnection(Client& client, uint64_t delayMs);
    void StartConnection(Client& client);
    void ChooseConnection(Connection& connection);
    void ChooseBulk(Connection& connection);
    uint64_t ChooseSize();
    PeerBehaviour ChoosePacing();
    size_t BufferSize();
    void EndConnection(Client& client, bool restarted);
    ConnectAnswer AnswerConnect(const SocketAddress& to);
    uint64_t Delivered() const;

    // Faults.
    void ScheduleServerRestart();
    void ScheduleClientRestart(Client& client);
    void RestartClient(Client& client);
    bool Tamper(const SocketAddress& from, const SocketAddress& to, std::vector<uint8_t>& data);
    bool IsLastDataOfConnection(const SocketAddress& from, const std::vector<uint8_t>& data);

    // Observation and checks (SimulationChecks.cpp).
    void TakeLog();
    void OnServerLine(const std::string& line);
    void OnClientLine(Client& client, const std::string& line);
    void OnMessageBox(const std::string& text);
    Connection* ConnectionOfClientId(const std::string& clientId);
    void SnapshotSessions();
    void Fail(const std::string& failure);
    void Evaluate();
    void EvaluateConnection(Connection& connection);
    void CheckLeftovers();
    bool MayLinger(const Connection& connection) const;
    void PrintConnection(const Connection& connection) const;
    void FillResult();

    SimulationConfig m_config;
    SimulationResult m_result;
    SimWorld m_world;
    SimNetwork m_network;
    LogTap m_tap;
    std::string m_folder; // a temporary folder: log file and session ID files
    std::chrono::steady_clock::time_point m_wallStart;

    std::unique_ptr<SimMachine> m_serverMachine;
    std::unique_ptr<CProxyServer> m_server;
    int m_nIncarnation = 0;
    uint64_t m_nServerWakeAt = NEVER;
    uint64_t m_nServerPassMs = NEVER;
    int m_nServerPasses = 0;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::vector<int> m_hostPortConnection; // host port - FIRST_HOST_PORT -> connection
    std::vector<SessionRecord> m_sessions;
    std::vector<size_t> m_liveSessions; // indices into m_sessions

    // Whose code runs: the log lines and message boxes are theirs.
    enum class Owner
    {
        Nobody,
        Server,
        Client
    };
    Owner m_owner = Owner::Nobody;
    Client* m_pOwnerClient = nullptr;

    Phase m_phase = Phase::Running;
    uint64_t m_nSettleEnd = NEVER;
    bool m_bStop = false;
    uint64_t m_nLastProgressMs = 0;
    uint64_t m_nLastDelivered = 0;
    int m_nDataPacketsSeen = 0;
    bool m_bSabotaged = false;
};

} // namespace tq_sim
