#include "sim/SimulationRun.h"

#include "client/Settings.h"
#include "common/Log.h"
#include "platform/MessageBox.h"
#include "server/ServerSettings.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/TunnelPacket.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace tq_sim
{

namespace
{
const uint32_t SERVER_ADDRESS = AddressFromBytes(10, 0, 0, 1);
const uint32_t HOST_ADDRESS = AddressFromBytes(10, 0, 1, 1);
constexpr uint16_t CLIENT_PORT = 7000;
constexpr uint16_t ADMIN_PORT = 7001;
constexpr uint16_t FIRST_HOST_PORT = 20000;
constexpr uint16_t HOST_PORTS = 40000;
constexpr const char* HOST_NAME = "host.sim";
// The tick count wraps 30 seconds into the run: every timer must be wrap-safe.
constexpr uint32_t START_TICK = 0xFFFFFFFFu - 29999u;
// A loop stepped this often in one millisecond of virtual time would spin for ever.
constexpr int MAX_PASSES_PER_MS = 10000;
// Nothing delivered for this long: the run is stuck.
constexpr uint64_t PROGRESS_LIMIT_MS = 3600000;
constexpr uint64_t SETTLE_EXTRA_MS = 60000;

uint32_t ClientAddress(int index)
{
    return AddressFromBytes(10, 0, 2, static_cast<uint8_t>(10 + index));
}

std::string MakeTempFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tq-sim.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}
} // namespace

SimulationResult RunSimulation(const SimulationConfig& config)
{
    SimulationRun run(config);
    return run.Run();
}

SimulationRun::SimulationRun(const SimulationConfig& config)
    : m_config(config), m_world(config.seed, START_TICK), m_network(m_world, config.network),
      m_folder(MakeTempFolder())
{
    m_result.seed = config.seed;
    m_hostPortConnection.assign(HOST_PORTS, -1);
}

SimulationRun::~SimulationRun()
{
    std::error_code error;
    std::filesystem::remove_all(m_folder, error);
}

// ---- Set-up -------------------------------------------------------------------------

void SimulationRun::SetUpProcess()
{
    CLog* log = CLog::GetInstance();
    // The lines reach the run through the echo; a file is only written when asked for.
    log->SetFilename(m_config.logFile.empty() ? "/dev/null" : m_config.logFile);
    log->SetLogLevel(m_config.logFile.empty() ? CLog::LEVEL_INFO : CLog::LEVEL_DEBUG);
    log->SetMaxLines(0xFFFFFFFFu);
    log->SetClock(&m_world.clock);
    log->SetEcho(true, m_tap.Stream());

    CSettings* settings = CSettings::GetInstance();
    settings->SetValue("ProxyServer1", "10.0.0.1:" + std::to_string(CLIENT_PORT));
    settings->SetValue("ConnectRetries", "3");
    ApplyLinkMode(m_config.link, *settings);

    CServerSettings* serverSettings = CServerSettings::GetInstance();
    serverSettings->Values().clientPort = CLIENT_PORT;
    serverSettings->Values().adminPort = ADMIN_PORT;
    serverSettings->Values().adminPassword = "simulation";
    serverSettings->Values().clientIdleDisconnect = m_config.idleLimitS;

    SetMessageBoxHandler([this](std::string_view, std::string_view text)
                         { OnMessageBox(std::string(text)); });

    m_network.SetConnectHandler([this](const SocketAddress& to) { return AnswerConnect(to); });
    if (m_config.sabotage != Sabotage::None)
        m_network.SetTamper([this](const SocketAddress& from, const SocketAddress& to,
                                   std::vector<uint8_t>& data) { return Tamper(from, to, data); });
    m_serverMachine = std::make_unique<SimMachine>(m_world, m_network, SERVER_ADDRESS);
    m_serverMachine->AddHostName(HOST_NAME, HOST_ADDRESS);
    for (int i = 0; i < m_config.clients; ++i)
    {
        auto client = std::make_unique<Client>();
        client->index = i;
        client->machine = std::make_unique<SimMachine>(m_world, m_network, ClientAddress(i));
        client->folder = m_folder + "/client" + std::to_string(i);
        std::filesystem::create_directory(client->folder);
        m_clients.push_back(std::move(client));
    }
}

// The code under test goes first (it closes its sockets), then the machines, then the
// peers that the machines' sockets may still tell about a close.
void SimulationRun::TearDownProcess()
{
    if (m_server)
    {
        m_owner = Owner::Server;
        m_server->ShutdownSessions();
        m_serverMachine->ForgetWait();
        m_server.reset();
    }
    for (auto& client : m_clients)
    {
        m_owner = Owner::Client;
        m_pOwnerClient = client.get();
        client->session.reset();
    }
    TakeLog();
    m_owner = Owner::Nobody;
    m_clients.clear();
    m_serverMachine.reset();
    m_world.events.Clear();
    m_connections.clear();
    SetMessageBoxHandler(nullptr);
    CLog::GetInstance()->SetEcho(false);
    CLog::GetInstance()->SetClock(nullptr);
    CLog::DestroyInstance();
    CSettings::DestroyInstance();
    CServerSettings::DestroyInstance();
}

void SimulationRun::StartServer()
{
    m_owner = Owner::Server;
    m_server = std::make_unique<CProxyServer>(*m_serverMachine, m_world.clock);
    const bool started = m_server->StartUp();
    TakeLog();
    m_owner = Owner::Nobody;
    if (!started)
    {
        Fail("the server did not start");
        m_bStop = true;
        return;
    }
    ++m_nIncarnation;
    m_nServerWakeAt = m_world.Now();
}

// A crash destroys the server with its sessions and sockets; an orderly stop lets
// every session send its Close first, as the server's shutdown does.
void SimulationRun::StopServer(bool orderly)
{
    m_owner = Owner::Server;
    if (orderly)
        m_server->ShutdownSessions();
    m_serverMachine->ForgetWait();
    m_server.reset();
    TakeLog();
    m_owner = Owner::Nobody;
    for (const size_t index : m_liveSessions)
    {
        const SessionRecord& record = m_sessions[index];
        if (record.connection >= 0)
            m_connections[static_cast<size_t>(record.connection)]->serverRestarted = true;
    }
    m_liveSessions.clear();
    for (auto& client : m_clients)
        if (client->current != nullptr)
            client->current->serverRestarted = true;
    const std::vector<std::string> open = m_serverMachine->OpenSockets();
    if (!open.empty())
        Fail("the server left " + std::to_string(open.size()) +
             " sockets open when it was destroyed (" + open.front() + ", ...)");
    m_nServerWakeAt = NEVER;
    ++m_result.serverRestarts;
}

// ---- The loop -----------------------------------------------------------------------

SimulationResult SimulationRun::Run()
{
    m_wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    SetUpProcess();
    StartServer();
    ScheduleServerRestart();
    for (auto& client : m_clients)
    {
        ScheduleConnection(*client, m_config.bulk ? 0 : m_world.random.Range(0, 1000));
        ScheduleClientRestart(*client);
    }
    Loop();
    if (m_result.failures.empty())
        Evaluate();
    FillResult();
    TearDownProcess();
    m_result.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wallStart).count();
    m_result.cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    return m_result;
}

void SimulationRun::Loop()
{
    while (!m_bStop)
    {
        uint64_t next = m_world.events.NextTime();
        if (m_server)
            next =
                std::min(next, m_serverMachine->HasReadiness() ? m_world.Now() : m_nServerWakeAt);
        for (const auto& client : m_clients)
            if (client->session)
                next = std::min(next,
                                client->machine->HasReadiness() ? m_world.Now() : client->wakeAt);
        if (next == NEVER)
            break;
        m_world.clock.Set(next);
        const uint64_t now = m_world.Now();
        while (!m_bStop && m_world.events.NextTime() <= now)
            m_world.events.RunNext();
        if (!m_bStop)
            WakeParties(now);
        AdvancePhase(now);
    }
}

void SimulationRun::WakeParties(uint64_t now)
{
    if (m_server && (m_nServerWakeAt <= now || m_serverMachine->HasReadiness()))
        ServerPass(now);
    for (auto& client : m_clients)
        if (!m_bStop && client->session &&
            (client->wakeAt <= now || client->machine->HasReadiness()))
            ClientPass(*client, now);
}

bool SimulationRun::CountPass(uint64_t now, uint64_t& passMs, int& passes, const std::string& who)
{
    if (passMs != now)
    {
        passMs = now;
        passes = 0;
    }
    if (++passes <= MAX_PASSES_PER_MS)
        return true;
    Fail(who + " was woken " + std::to_string(MAX_PASSES_PER_MS) +
         " times in one millisecond at virtual time " + std::to_string(now) + " ms: it spins");
    m_bStop = true;
    return false;
}

void SimulationRun::ServerPass(uint64_t now)
{
    if (!CountPass(now, m_nServerPassMs, m_nServerPasses, "the server"))
        return;
    m_serverMachine->AnswerWait();
    m_owner = Owner::Server;
    const bool running = m_server->RunPass();
    TakeLog();
    m_owner = Owner::Nobody;
    if (!running)
    {
        Fail("the server's loop stopped at virtual time " + std::to_string(now) + " ms");
        m_bStop = true;
        return;
    }
    m_nServerWakeAt =
        now + (m_serverMachine->WaitRequested() ? m_serverMachine->RequestedTimeout() : 0);
    SnapshotSessions();
}

// One pass of the client program's loop for its session: readiness to the session,
// a step when something is ready or due, the end of a finished session.
void SimulationRun::ClientPass(Client& client, uint64_t now)
{
    if (!CountPass(now, client.passMs, client.passesInMs, "client " + std::to_string(client.index)))
        return;
    CProxyClient& session = *client.session;
    client.machine->CollectReadiness(client.ready);
    for (const SocketReadiness& ready : client.ready)
        session.SetReady(ready.token, ready.readable, ready.writable);
    const uint32_t tick = m_world.clock.TickCount();
    m_owner = Owner::Client;
    m_pOwnerClient = &client;
    client.machine->SetTag(client.current->id);
    if (!client.ready.empty() || session.MsUntilDue(tick) == 0)
        session.Step(tick);
    TakeLog();
    const int state = session.GetState();
    if (state == CProxyClient::STATE_EXIT || state == CProxyClient::STATE_INVALID)
        EndConnection(client, false);
    else
        client.wakeAt = now + session.MsUntilDue(tick);
    m_owner = Owner::Nobody;
}

uint64_t SimulationRun::Delivered() const
{
    return m_result.bytesToHost + m_result.bytesToApplication;
}

void SimulationRun::AdvancePhase(uint64_t now)
{
    const uint64_t delivered = Delivered();
    if (delivered != m_nLastDelivered)
    {
        m_nLastDelivered = delivered;
        m_nLastProgressMs = now;
    }
    if (now > m_nLastProgressMs + PROGRESS_LIMIT_MS && m_phase != Phase::Settling)
    {
        Fail("nothing moved for an hour of virtual time (at " + std::to_string(now) + " ms)");
        m_bStop = true;
        return;
    }
    switch (m_phase)
    {
    case Phase::Running:
        if (delivered >= m_config.bytes ||
            (m_config.maxConnections > 0 &&
             m_connections.size() >= static_cast<size_t>(m_config.maxConnections)))
        {
            m_phase = Phase::Draining;
            if (m_config.bulk && delivered >= m_config.bytes)
                m_result.bulkMs = std::max<uint64_t>(now - m_connections.front()->startMs, 1);
        }
        break;
    case Phase::Draining:
    {
        const bool clientsIdle =
            std::none_of(m_clients.begin(), m_clients.end(),
                         [](const auto& client) { return client->session != nullptr; });
        if (clientsIdle && m_server)
        {
            m_phase = Phase::Settling;
            m_nSettleEnd =
                now + static_cast<uint64_t>(m_config.idleLimitS) * 1000 + SETTLE_EXTRA_MS;
        }
        break;
    }
    case Phase::Settling:
        if (now >= m_nSettleEnd || (m_server && m_server->GetSessionCount() == 0))
            m_bStop = true;
        break;
    }
}

// ---- Connections --------------------------------------------------------------------

void SimulationRun::ScheduleConnection(Client& client, uint64_t delayMs)
{
    m_world.After(delayMs, [this, &client] { StartConnection(client); });
}

uint64_t SimulationRun::ChooseSize()
{
    SimRandom& random = m_world.random;
    const uint64_t roll = random.Below(100);
    if (roll < 10 || m_config.maxConnectionBytes == 0)
        return 0;
    if (roll < 35 || m_config.maxConnectionBytes <= 2048)
        return random.Range(1, std::min<uint64_t>(2000, m_config.maxConnectionBytes));
    int maxBits = 11;
    while (maxBits < 40 && (uint64_t{1} << (maxBits + 1)) <= m_config.maxConnectionBytes)
        ++maxBits;
    const int bits = static_cast<int>(random.Range(11, static_cast<uint64_t>(maxBits)));
    return random.Range(uint64_t{1} << (bits - 1),
                        std::min(uint64_t{1} << bits, m_config.maxConnectionBytes));
}

// The socket buffer of one direction of a TCP connection.
size_t SimulationRun::BufferSize()
{
    static constexpr size_t SIZES[] = {4096, 16384, 65536, 262144};
    return m_config.bulk ? SIZES[3] : SIZES[m_world.random.Below(4)];
}

PeerBehaviour SimulationRun::ChoosePacing()
{
    if (m_config.bulk)
        return {}; // writes of 64 KiB at once, reads at once, no pauses
    SimRandom& random = m_world.random;
    static constexpr size_t CHUNKS[] = {16, 600, 8192, 65536};
    static constexpr uint32_t PACES[] = {0, 0, 30, 300};
    PeerBehaviour pacing;
    pacing.chunkMax = CHUNKS[random.Below(4)];
    pacing.paceMaxMs = PACES[random.Below(4)];
    // Now and then a peer stops reading for a while, so that the tunnel's buffers fill
    // and it stops acknowledging: mostly for seconds, sometimes for a minute.
    // A quarter of them are slow readers that stop often.
    static constexpr uint32_t STALLS[] = {2000, 6000, 20000, 60000};
    const bool slow = random.Chance(0.25);
    pacing.stallChance = slow ? 0.05 : 0.002;
    pacing.stallMaxMs = slow ? 20000 : STALLS[random.Below(4)];
    return pacing;
}

void SimulationRun::ChooseConnection(Connection& connection)
{
    SimRandom& random = m_world.random;
    connection.upBytes = ChooseSize();
    connection.downBytes = ChooseSize();
    connection.appCloses = random.Chance(0.5);
    const uint64_t aware = random.Below(100);
    connection.proxyAware = aware < 50 ? 0 : aware < 85 ? 1 : 2;
    const double roll = random.Unit();
    const double refuses = m_config.hostRefuses;
    const double noAnswer = refuses + m_config.hostNoAnswer;
    const double silent = noAnswer + m_config.hostSilent;
    const double unknown = silent + m_config.hostUnknown;
    connection.hostMode = roll < refuses    ? HostMode::Refuses
                          : roll < noAnswer ? HostMode::NoAnswer
                          : roll < silent   ? HostMode::Silent
                          : roll < unknown  ? HostMode::UnknownName
                                            : HostMode::Normal;
    connection.closesEarly =
        random.Chance(m_config.closesEarly) ? static_cast<int>(random.Range(1, 2)) : 0;
    connection.resets = random.Chance(m_config.resets) ? static_cast<int>(random.Range(1, 2)) : 0;
}

// Bulk: what is left of the download, from a host that answers, to an application
// that closes once it has it all.
void SimulationRun::ChooseBulk(Connection& connection)
{
    connection.downBytes = m_config.bytes - std::min(m_config.bytes, m_result.bytesToApplication);
    connection.appCloses = true;
}

void SimulationRun::StartConnection(Client& client)
{
    if (m_bStop || m_phase != Phase::Running || client.down || client.session)
        return;
    SimRandom& random = m_world.random;
    auto owned = std::make_unique<Connection>();
    Connection& connection = *owned;
    connection.id = static_cast<int>(m_connections.size());
    connection.client = client.index;
    connection.startMs = m_world.Now();
    connection.hostPort = static_cast<uint16_t>(FIRST_HOST_PORT + connection.id % HOST_PORTS);
    m_hostPortConnection[static_cast<size_t>(connection.id % HOST_PORTS)] = connection.id;
    if (m_config.bulk)
        ChooseBulk(connection);
    else
        ChooseConnection(connection);
    switch (connection.hostMode)
    {
    case HostMode::Refuses:
        ++m_result.hostsRefusing;
        break;
    case HostMode::NoAnswer:
        ++m_result.hostsNotAnswering;
        break;
    case HostMode::Silent:
        ++m_result.hostsSilent;
        break;
    case HostMode::UnknownName:
        ++m_result.hostsUnknown;
        break;
    case HostMode::Normal:
        break;
    }
    m_result.resets += connection.resets != 0 ? 1 : 0;
    m_result.closedEarly += connection.closesEarly != 0 ? 1 : 0;
    m_connections.push_back(std::move(owned));

    const std::string host = connection.hostMode == HostMode::UnknownName ? "nowhere.sim"
                             : random.Chance(0.5)                         ? HOST_NAME
                                                                          : "10.0.1.1";
    const uint64_t upSeed = random.Next();
    const uint64_t downSeed = random.Next();
    const std::string name = "connection " + std::to_string(connection.id);
    auto onProblem = [this](const std::string& problem)
    {
        Fail(problem);
        m_bStop = true;
    };

    PeerBehaviour app = ChoosePacing();
    app.sendBytes = connection.upBytes;
    app.sendSeed = upSeed;
    app.expectBytes = connection.downBytes;
    app.expectSeed = downSeed;
    app.closeWhenDone = connection.appCloses;
    if (connection.proxyAware == 1)
        app.prefix = "TARVI*QEN:" + host + "," + std::to_string(connection.hostPort) + "\r";
    if (connection.closesEarly == 1)
        app.closeAfterSent = static_cast<int64_t>(random.Range(0, connection.upBytes));
    if (connection.resets == 1)
        app.resetAfterSent = static_cast<int64_t>(random.Range(0, connection.upBytes));
    connection.app =
        std::make_unique<StreamPeer>(m_world, "the application of " + name, app, onProblem);
    connection.app->SetDeliveredCounter(&m_result.bytesToApplication);

    PeerBehaviour hostBehaviour = ChoosePacing();
    hostBehaviour.sendBytes = connection.downBytes;
    hostBehaviour.sendSeed = downSeed;
    hostBehaviour.expectBytes = connection.upBytes;
    hostBehaviour.expectSeed = upSeed;
    hostBehaviour.closeWhenDone = !connection.appCloses;
    if (connection.hostMode == HostMode::Silent)
        hostBehaviour.silentAfter = static_cast<int64_t>(random.Range(0, connection.upBytes));
    if (connection.closesEarly == 2)
        hostBehaviour.closeAfterSent = static_cast<int64_t>(random.Range(0, connection.downBytes));
    if (connection.resets == 2)
        hostBehaviour.resetAfterSent = static_cast<int64_t>(random.Range(0, connection.downBytes));
    connection.host =
        std::make_unique<StreamPeer>(m_world, "the host of " + name, hostBehaviour, onProblem);
    connection.host->SetDeliveredCounter(&m_result.bytesToHost);

    const size_t toClient = BufferSize();
    const size_t toApp = BufferSize();
    auto link = std::make_shared<TcpLink>(toClient, toApp);
    client.machine->SetTag(connection.id);
    const SOCKET socket = client.machine->AddConnectedLink(link);
    m_owner = Owner::Client;
    m_pOwnerClient = &client;
    client.current = &connection;
    client.session = std::make_unique<CProxyClient>(
        &client.stats, socket,
        MakeSocketAddress(AddressFromBytes(127, 0, 0, 1),
                          static_cast<uint16_t>(40000 + client.index)),
        connection.proxyAware != 0, client.folder, *client.machine, m_world.clock);
    // The settings' host: what a client without a connect-info line connects to.
    client.session->SetHostAddress(host);
    client.session->SetHostPort(connection.hostPort);
    client.token += 2;
    client.session->WatchSockets(client.token, client.token + 1);
    TakeLog();
    m_owner = Owner::Nobody;
    connection.app->Attach(link);
    client.wakeAt = m_world.Now();
}

void SimulationRun::EndConnection(Client& client, bool restarted)
{
    Connection& connection = *client.current;
    connection.finalState = client.session->GetState();
    connection.clientStats = client.stats;
    connection.ended = true;
    connection.clientRestarted = restarted;
    if (connection.finalState == CProxyClient::STATE_INVALID && !restarted)
    {
        connection.clientReports.push_back("Invalid: the server no longer knows the session");
        ++m_result.invalidEnds;
    }
    const Owner owner = m_owner;
    m_owner = Owner::Client;
    m_pOwnerClient = &client;
    client.session.reset();
    TakeLog();
    m_owner = owner;
    client.current = nullptr;
    client.wakeAt = NEVER;
    if (m_config.verbose)
        PrintConnection(connection);
    if (!restarted)
        ScheduleConnection(client, m_world.random.Range(0, 2000));
}

ConnectAnswer SimulationRun::AnswerConnect(const SocketAddress& to)
{
    SimRandom& random = m_world.random;
    ConnectAnswer answer;
    answer.delayMs = static_cast<uint32_t>(random.Range(1, 50));
    const uint16_t port = NetToHost16(to.port);
    if (to.address != HOST_ADDRESS || port < FIRST_HOST_PORT ||
        port >= FIRST_HOST_PORT + HOST_PORTS)
        return answer; // nobody there: refused
    const int index = m_hostPortConnection[port - FIRST_HOST_PORT];
    if (index < 0)
        return answer;
    Connection& connection = *m_connections[static_cast<size_t>(index)];
    switch (connection.hostMode)
    {
    case HostMode::Refuses:
        return answer;
    case HostMode::NoAnswer:
        answer.kind = ConnectAnswer::Kind::NoAnswer;
        return answer;
    case HostMode::Normal:
    case HostMode::Silent:
    case HostMode::UnknownName:
        break;
    }
    if (++connection.hostConnects > 1)
        Fail("connection " + std::to_string(connection.id) + " reached its host a second time");
    answer.kind = ConnectAnswer::Kind::Accept;
    answer.peer = connection.host.get();
    answer.toProductCapacity = BufferSize();
    answer.toPeerCapacity = BufferSize();
    return answer;
}

// ---- Faults -------------------------------------------------------------------------

void SimulationRun::ScheduleServerRestart()
{
    const uint64_t mean = uint64_t{m_config.serverRestartMeanS} * 1000;
    if (mean == 0)
        return;
    m_world.After(m_world.random.Range(mean / 2, mean * 3 / 2),
                  [this]
                  {
                      if (m_phase != Phase::Running || !m_server)
                          return;
                      StopServer(m_world.random.Chance(0.5));
                      m_world.After(m_world.random.Range(0, 10000),
                                    [this]
                                    {
                                        StartServer();
                                        ScheduleServerRestart();
                                    });
                  });
}

void SimulationRun::ScheduleClientRestart(Client& client)
{
    const uint64_t mean = uint64_t{m_config.clientRestartMeanS} * 1000;
    if (mean == 0)
        return;
    m_world.After(m_world.random.Range(mean / 2, mean * 3 / 2),
                  [this, &client]
                  {
                      if (m_phase == Phase::Running)
                          RestartClient(client);
                  });
}

// The client program ends without a word to the server, and starts again a little
// later; its session ID file stays.
void SimulationRun::RestartClient(Client& client)
{
    ++m_result.clientRestarts;
    if (client.session)
        EndConnection(client, true);
    if (m_world.random.Chance(m_config.damagedIdFiles))
    {
        // The program ended while it wrote the file: it is shorter than an ID.
        std::error_code error;
        std::filesystem::resize_file(client.folder + "/" + CProxyClient::SESSION_ID_FILE,
                                     m_world.random.Range(0, 15), error);
        if (!error)
            ++m_result.damagedIdFiles;
    }
    client.down = true;
    m_world.After(m_world.random.Range(0, 5000),
                  [this, &client]
                  {
                      client.down = false;
                      ScheduleConnection(client, m_world.random.Range(0, 2000));
                      ScheduleClientRestart(client);
                  });
}

bool SimulationRun::Tamper(const SocketAddress& from, const SocketAddress& to,
                           std::vector<uint8_t>& data)
{
    if (m_bSabotaged || from.address == SERVER_ADDRESS || NetToHost16(to.port) == CLIENT_PORT ||
        data.size() <= TunnelPacket::HEADER_SIZE || data[0] != PACKET_DATA)
        return true;
    if (m_config.sabotage == Sabotage::ForgeData)
    {
        // From the twentieth on, every one: the first that the server accepts is enough.
        if (++m_nDataPacketsSeen < 20)
            return true;
        data[TunnelPacket::HEADER_SIZE] ^= 0x5A;
        std::fill(data.begin() + TunnelPacket::CHECKSUM_OFFSET,
                  data.begin() + TunnelPacket::CHECKSUM_OFFSET + 4, 0);
        const uint32_t checksum = ComputeChecksum(data);
        for (int i = 0; i < 4; ++i)
            data[TunnelPacket::CHECKSUM_OFFSET + static_cast<size_t>(i)] =
                static_cast<uint8_t>(checksum >> (8 * i));
        return true;
    }
    if (!IsLastDataOfConnection(from, data))
        return true;
    // Swallowed, and acknowledged in the server's name.
    TunnelPacket ack;
    TunnelPacket packet;
    packet.Assign(data);
    ack.Build(PACKET_ACK, packet.Number());
    const std::vector<uint8_t> bytes(ack.Bytes().begin(), ack.Bytes().end());
    for (auto& client : m_clients)
        if (client->machine->Address() == from.address)
        {
            SimMachine* machine = client->machine.get();
            m_world.After(5, [machine, to, from, bytes]
                          { machine->ReceiveDatagram(to, NetToHost16(from.port), bytes); });
        }
    m_bSabotaged = true;
    return false;
}

// Whether a client Data packet carries the last bytes of its connection's stream:
// the payloads of the packets seen so far (each number once) add up to the rest.
bool SimulationRun::IsLastDataOfConnection(const SocketAddress& from,
                                           const std::vector<uint8_t>& data)
{
    Connection* connection = ConnectionOfClientId(FormatAddress(from));
    if (connection == nullptr || connection->hostMode != HostMode::Normal ||
        connection->upBytes == 0)
        return false;
    TunnelPacket packet;
    packet.Assign(data);
    if (connection->lastUpNumber != 0 && packet.Number() <= connection->lastUpNumber)
        return false; // sent again
    connection->lastUpNumber = packet.Number();
    connection->upOffset += packet.PayloadLength();
    return connection->upOffset == connection->upBytes;
}

} // namespace tq_sim
