#include "server/ProxyServer.h"

#include "common/Log.h"
#include "common/MetricsHttpEndpoint.h"
#include "common/MyString.h"
#include "platform/ConsoleKeyboard.h"
#include "platform/ConsoleOutput.h"
#include "platform/Event.h"
#include "platform/ResourceLimit.h"
#include "platform/ServiceManager.h"
#include "server/AdminSession.h"
#include "server/ServerSettings.h"
#include "tunnel/ProxyMisc.h"

#include <algorithm>
#include <cstdint>


namespace
{
constexpr size_t CONNECT_LENGTH = 28;

// How often a console keyboard that cannot be watched is looked at.
constexpr uint32_t KEYBOARD_POLL_MS = 100;

bool IsUsablePort(int port) { return port > 0 && port <= 65535; }
} // namespace

CProxyServer::CProxyServer(ISocketLayer& sockets, IClock& clock)
    : m_sockets(sockets), m_clock(clock), m_pLog(CLog::GetInstance()),
      m_pSettings(CServerSettings::GetInstance())
{
    TQ_ASSERT_TEXT(nullptr != m_pLog, "NULL != m_pLog");
    TQ_ASSERT_TEXT(nullptr != m_pSettings, "NULL != m_pSettings");
}

// Sessions and the admin session are gone by the end of Run; nothing here logs,
// because the log may already have been destroyed by then.
CProxyServer::~CProxyServer() = default;

size_t CProxyServer::SessionIdHash::operator()(const SessionId& id) const
{
    // FNV-1a over the 16 bytes.
    uint64_t hash = 14695981039346656037ull;
    for (const uint8_t byte : id.bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return static_cast<size_t>(hash);
}

bool CProxyServer::Run()
{
    if (!StartUp())
        return false;
    bool result = true;
    while (!StopRequested())
    {
        if (!RunPass())
        {
            result = false;
            break;
        }
    }
    // Every way out tells the clients: each session sends its Close and goes at once.
    ShutdownSessions();
    m_pAdminSession.reset();
    return result;
}

bool CProxyServer::StopRequested()
{
    if (m_bShutdownRequested && m_pStopEvent)
        m_pStopEvent->Set();
    return m_pStopEvent ? m_pStopEvent->IsSet() : m_bShutdownRequested;
}

bool CProxyServer::StartUp()
{
    if (!m_adminListener.init(m_pSettings->Values().adminPort))
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to initialize admin TCP listener on port %d.",
                      m_pSettings->Values().adminPort);
        return false;
    }
    if (!m_clientListener.Open(m_pSettings->Values().clientPort))
    {
        m_pLog->Print(CLog::LEVEL_ERROR,
                      "Error: Unable to initialize client UDP listener on port %d.",
                      m_pSettings->Values().clientPort);
        return false;
    }
    if (!OpenMetricsEndpoint())
        return false;
    m_pLog->Print(CLog::LEVEL_INFO, "%s v%s started.", PRODUCT_NAME, PRODUCT_VERSION);
    m_pSettings->Print();
    ComputeSessionCapacity();
    WatchListeners();
    if (m_pStopEvent)
        m_sockets.Watch(m_pStopEvent->Handle(), TOKEN_STOP, WatchMode::Level);
    m_bKeyWatched = m_pKeyboard && m_pKeyboard->IsActive() &&
                    m_sockets.Watch(m_pKeyboard->Handle(), TOKEN_KEYBOARD, WatchMode::Level);
    if (m_pResolver && m_pResolver->Handle() >= 0)
        m_sockets.Watch(m_pResolver->Handle(), TOKEN_RESOLVER, WatchMode::Level);
    m_dwLoopTick = m_clock.TickCount();
    m_dwWatchdogTick = m_dwLoopTick;
    if (m_dwWatchdogIntervalMs != 0)
        CServiceManager::Notify("WATCHDOG=1");
    return true;
}

// With MetricsPort set, GET /metrics is answered on MetricsAddress by this loop.
bool CProxyServer::OpenMetricsEndpoint()
{
    static_assert(TOKEN_METRICS + CMetricsHttpEndpoint::TOKEN_COUNT <= 2 * FIRST_SESSION_SERIAL,
                  "the endpoint's tokens end before the sessions' begin");
    const int port = m_pSettings->GetMetricsPort();
    if (port == 0)
        return true;
    const std::string& address = m_pSettings->GetMetricsAddress();
    m_pMetricsEndpoint = std::make_unique<CMetricsHttpEndpoint>(m_sockets, TOKEN_METRICS,
                                                                [this] { return GetMetricsPage(); });
    uint32_t addressNetworkOrder = 0;
    if (!m_sockets.ResolveAddress(address, addressNetworkOrder) ||
        !m_pMetricsEndpoint->Open(addressNetworkOrder, port))
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to open the metrics port %s:%d.",
                      address.c_str(), port);
        m_pMetricsEndpoint.reset();
        return false;
    }
    m_pLog->Print(CLog::LEVEL_INFO, "Metrics at http://%s:%d/metrics.", address.c_str(), port);
    return true;
}

std::string CProxyServer::GetMetricsPage() const
{
    CServerMetrics::Snapshot snapshot;
    snapshot.sessions.reserve(static_cast<size_t>(m_sessions.getCount()));
    for (int i = 0; i < m_sessions.getCount(); ++i)
        snapshot.sessions.push_back({m_sessions[i]->GetState(), &m_sessions[i]->GetStats()});
    snapshot.descriptorsInUse = CountOpenDescriptors();
    snapshot.sessionRoom = m_nSessionCapacity;
    return m_metrics.Page(snapshot, PRODUCT_VERSION);
}

// Raises the open-file limit as far as it goes and tells how many sessions fit.
void CProxyServer::ComputeSessionCapacity()
{
    const long limit = RaiseOpenFileLimit();
    const long inUse = std::max(0L, CountOpenDescriptors());
    const long reserved = RESERVED_DESCRIPTORS + (m_pMetricsEndpoint ? CMetricsHttpEndpoint::DESCRIPTORS : 0);
    const long room = limit < 0 ? 0 : (limit - inUse - reserved) / DESCRIPTORS_PER_SESSION;
    m_nSessionCapacity = static_cast<int>(std::clamp(room, 0L, static_cast<long>(INT32_MAX)));
    m_pLog->Print(CLog::LEVEL_INFO, "Open file limit %ld: room for %d client sessions.", limit,
                  m_nSessionCapacity);
}

// The admin listener reports each new connection once (edge); the client port, for
// as long as datagrams wait (level).
void CProxyServer::WatchListeners()
{
    if (m_adminListener.GetListenSocket() != INVALID_SOCKET)
        m_sockets.Watch(m_adminListener.GetListenSocket(), TOKEN_ADMIN_LISTENER, WatchMode::Edge);
    if (m_clientListener.IsOpen())
        m_sockets.Watch(m_clientListener.GetSocket(), TOKEN_CLIENT_PORT, WatchMode::Level);
}

bool CProxyServer::RunPass()
{
    m_metrics.PassStarted();
    const uint32_t now = m_clock.TickCount();
    m_nLoopMs += static_cast<uint32_t>(now - m_dwLoopTick);
    m_dwLoopTick = now;
    DispatchReadiness();
    if (!AdminStep() || !ClientStep(now))
        return false;
    if (m_pMetricsEndpoint)
        m_pMetricsEndpoint->Step(now);
    const bool keyMayWait = !m_bKeyWatched || m_bKeyReady;
    m_bKeyReady = false;
    if (m_pKeyboard && keyMayWait && m_pKeyboard->TakeKey())
        PrintStatistics();
    m_pLog->Trim();
    KickWatchdog(now);
    m_metrics.PassEnded();
    WaitForWork();
    return true;
}

// Turns the readiness of the last wait into flags and the sessions to step.
void CProxyServer::DispatchReadiness()
{
    for (const SocketReadiness& ready : m_ready)
    {
        switch (ready.token)
        {
        case TOKEN_CLIENT_PORT: m_bClientPortReadable = true; break;
        case TOKEN_ADMIN_LISTENER: m_bAdminPending = true; break;
        case TOKEN_ADMIN_SESSION:
            m_bAdminReadable = m_bAdminReadable || ready.readable;
            m_bAdminWritable = m_bAdminWritable || ready.writable;
            break;
        case TOKEN_KEYBOARD: m_bKeyReady = true; break;
        case TOKEN_RESOLVER: m_bResolverReady = true; break;
        case TOKEN_STOP: break;
        default:
        {
            if (m_pMetricsEndpoint && m_pMetricsEndpoint->OwnsToken(ready.token))
            {
                m_pMetricsEndpoint->SetReady(ready.token, ready.readable, ready.writable);
                break;
            }
            // A session that has gone since the wait is not found.
            const uint64_t serial = ready.token / 2;
            const auto it = m_sessionsBySerial.find(serial);
            if (it == m_sessionsBySerial.end())
                break;
            it->second->SetReady(ready.token, ready.readable, ready.writable);
            m_passSerials.push_back(serial);
        }
        }
    }
    m_ready.clear();
}

bool CProxyServer::AdminStep()
{
    if (m_pAdminSession)
    {
        ServeAdminSession();
        return true;
    }
    // A closed listener fails here, as the poll of every pass would find it.
    if (!m_bAdminPending && m_adminListener.GetListenSocket() != INVALID_SOCKET)
        return true;
    if (!m_adminListener.checkForNewConnection())
        return false;
    if (!m_adminListener.m_bConnected)
    {
        m_bAdminPending = false; // nothing waited any more
        return true;
    }
    m_pAdminSession = std::make_unique<CAdminSession>(this, m_adminListener.GetAcceptedSocket(),
                                                      m_adminListener.m_addrPeer, m_sockets, m_clock);
    // Edge: readable and writable are remembered until a receive or send would block.
    m_sockets.Watch(m_pAdminSession->GetSocket(), TOKEN_ADMIN_SESSION, WatchMode::Edge);
    m_bAdminReadable = true;
    m_bAdminWritable = false;
    return true;
}

// Sends what waits, reads a bounded number of bytes (a flood of commands does not hold
// the loop), and closes a connection past its time limit or that asked to end.
void CProxyServer::ServeAdminSession()
{
    CAdminSession& admin = *m_pAdminSession;
    if (m_bAdminWritable)
    {
        m_bAdminWritable = false;
        admin.Flush();
    }
    for (uint32_t i = 0; m_bAdminReadable && i < ADMIN_BYTES_PER_PASS; ++i)
    {
        if (admin.m_nState != CAdminSession::STATE_OPEN)
            break;
        m_bAdminReadable = admin.Poll();
    }
    admin.CheckTimeouts(m_dwLoopTick);
    const int state = admin.m_nState;
    if (state == CAdminSession::STATE_OPEN)
        return;
    m_pAdminSession.reset();
    m_bAdminReadable = false;
    if (state == CAdminSession::STATE_SHUTDOWN_REQUESTED)
        m_bShutdownRequested = true;
}

bool CProxyServer::ClientStep(uint32_t now)
{
    if (!m_clientListener.IsOpen())
        return false;
    if (m_bClientPortReadable)
    {
        m_bClientPortReadable = false;
        m_clientListener.Receive();
        const TunnelPacket& packet = m_clientListener.m_packet;
        if (m_clientListener.m_bPacketReceived && packet.Check() &&
            packet.Length() == CONNECT_LENGTH)
        {
            if (packet.Type() == PACKET_CONNECT)
                HandleConnect(now);
            else if (packet.Type() == PACKET_PROBE)
                HandleProbe();
        }
    }
    RemoveEndedSessions();
    TakeLookupAnswers();
    StepSessions(now);
    return true;
}

// Each answer goes to its session, which is stepped in this pass; one whose session
// has gone is dropped (serials are never used twice).
void CProxyServer::TakeLookupAnswers()
{
    if (!m_pResolver || (m_pResolver->Handle() >= 0 && !m_bResolverReady))
        return;
    m_bResolverReady = false;
    m_pResolver->TakeAnswers(m_lookupAnswers);
    for (const HostLookupAnswer& answer : m_lookupAnswers)
    {
        const auto it = m_sessionsBySerial.find(answer.token);
        if (it == m_sessionsBySerial.end())
            continue;
        it->second->HostLookupAnswered(answer.found, answer.address);
        m_passSerials.push_back(answer.token);
    }
    m_lookupAnswers.clear();
}

// Tells systemd the loop still runs; a loop that hangs is then restarted.
void CProxyServer::KickWatchdog(uint32_t now)
{
    if (m_dwWatchdogIntervalMs == 0 || !TickReached(now, m_dwWatchdogTick + m_dwWatchdogIntervalMs))
        return;
    m_dwWatchdogTick = now;
    CServiceManager::Notify("WATCHDOG=1");
}

CProxySession* CProxyServer::FindSessionById(const SessionId& id) const
{
    const auto it = m_sessionsById.find(id);
    return it == m_sessionsById.end() ? nullptr : it->second;
}

void CProxyServer::HandleConnect(uint32_t now)
{
    const TunnelPacket& packet = m_clientListener.m_packet;
    const SocketAddress& sender = m_clientListener.m_addrSender;
    const SessionId previous = SessionId::FromBytes(packet.Payload());
    if (CProxySession* replaced = FindSessionById(previous))
        ReplaceSession(replaced, now);
    if (!HasRoomForSession(now))
        return;

    const std::string address = DottedAddressText(sender.address);
    const int port = NetToHost16(sender.port);
    m_pLog->Print(CLog::LEVEL_INFO, "[%s:%d] Client connected.", address.c_str(), port);
    const SessionId id = NewSessionId();
    auto session = std::make_unique<CProxySession>(id, packet.Bytes(), sender, m_sockets, m_clock);
    CProxySession* created = session.get();
    const uint64_t serial = m_nNextSerial++;
    created->WatchSockets(2 * serial, 2 * serial + 1);
    created->SetHostResolver(m_pResolver);
    m_sessions.Add(std::move(session));
    m_sessionsBySerial[serial] = created;
    m_sessionsById[id] = created;
    m_metrics.SessionOpened();
    m_pLog->Print(CLog::LEVEL_DEBUG, "[%s:%d] New session created. Session ID = %s",
                  address.c_str(), port, id.ToText().c_str());
    created->Step(now);
    m_passSerials.push_back(serial); // stepped again with the others in this pass
}

// The client has started anew: its previous session goes. One that still holds bytes
// for its host, which it acknowledged to the client, is left to write them first (it
// ends by itself); it only no longer answers to the ID.
void CProxyServer::ReplaceSession(CProxySession* session, uint32_t now)
{
    session->NoteEndCause(SessionEndCause::Replaced);
    if (!session->KeepForHostBytes())
    {
        RemoveSession(session);
        return;
    }
    m_sessionsById.erase(session->GetSessionId());
    Reschedule(*session, now);
}

// Every session holds two descriptors: a Connect beyond the limit gets no session and
// no answer, so the sessions there are go on unharmed; the client tries again later.
bool CProxyServer::HasRoomForSession(uint32_t now)
{
    if (m_sessions.getCount() < m_nSessionCapacity)
        return true;
    if (!m_bNoRoomLogged || TickReached(now, m_dwNoRoomLogTick + NO_ROOM_LOG_INTERVAL_MS))
    {
        m_bNoRoomLogged = true;
        m_dwNoRoomLogTick = now;
        const SocketAddress& sender = m_clientListener.m_addrSender;
        m_pLog->Print(CLog::LEVEL_ERROR,
                      "Error: No descriptors left for another session (%d sessions); Connect "
                      "from %s:%d ignored.",
                      m_sessions.getCount(), DottedAddressText(sender.address).c_str(),
                      NetToHost16(sender.port));
    }
    return false;
}

// The current UTC time, moved on by a millisecond while a live session holds it or
// it was handed out last: two sessions with one ID would end each other's sessions
// and have Probes answered for the wrong one.
SessionId CProxyServer::NewSessionId()
{
    SessionId id = SessionId::FromDateTime(m_clock.UtcTime());
    while (id == m_lastSessionId || FindSessionById(id) != nullptr)
        id = id.NextMillisecond();
    m_lastSessionId = id;
    return id;
}

void CProxyServer::HandleProbe()
{
    const TunnelPacket& packet = m_clientListener.m_packet;
    if (FindSessionById(SessionId::FromBytes(packet.Payload().subspan(0, 16))) != nullptr)
        return;
    TunnelPacket reply;
    reply.Build(PACKET_NOSESSION, 0);
    m_clientListener.SendTo(reply.Bytes(), m_clientListener.m_addrSender);
}

// Destroys a session (it logs its end and closes its sockets); the others keep their
// order in the table.
void CProxyServer::RemoveSession(CProxySession* session)
{
    const uint64_t serial = session->GetClientToken() / 2;
    m_sessionsBySerial.erase(serial);
    // A session that was replaced while draining no longer holds its ID.
    const auto byId = m_sessionsById.find(session->GetSessionId());
    if (byId != m_sessionsById.end() && byId->second == session)
        m_sessionsById.erase(byId);
    m_timers.Remove(serial);
    m_metrics.SessionEnded(session->GetStats(), session->GetEndCause());
    for (int i = 0; i < m_sessions.getCount(); ++i)
    {
        if (m_sessions[i] == session)
        {
            m_sessions.RemoveAt(i);
            return;
        }
    }
}

void CProxyServer::RemoveEndedSessions()
{
    for (const uint64_t serial : m_endedSerials)
    {
        const auto it = m_sessionsBySerial.find(serial);
        // A session terminated after it ended has been revived into WaitFinalACK.
        if (it != m_sessionsBySerial.end() && it->second->GetState() == CProxySession::STATE_EXIT)
            RemoveSession(it->second);
    }
    m_endedSerials.clear();
}

// Steps the sessions with readiness or a due deadline, each once, oldest first as in
// the table; a session with neither has nothing to do in a step.
void CProxyServer::StepSessions(uint32_t now)
{
    m_timers.TakeDue(m_nLoopMs, m_passSerials);
    std::sort(m_passSerials.begin(), m_passSerials.end());
    m_passSerials.erase(std::unique(m_passSerials.begin(), m_passSerials.end()), m_passSerials.end());
    for (const uint64_t serial : m_passSerials)
    {
        const auto it = m_sessionsBySerial.find(serial);
        if (it == m_sessionsBySerial.end())
            continue;
        it->second->Step(now);
        Reschedule(*it->second, now);
    }
    m_passSerials.clear();
}

void CProxyServer::Reschedule(CProxySession& session, uint32_t now)
{
    const uint64_t serial = session.GetClientToken() / 2;
    if (session.GetState() == CProxySession::STATE_EXIT)
    {
        m_timers.Remove(serial);
        m_endedSerials.push_back(serial);
        return;
    }
    const uint32_t due = session.MsUntilDue(now);
    if (due == CProxySession::NOT_DUE)
        m_timers.Remove(serial);
    else
        m_timers.Set(serial, m_nLoopMs + due);
}

void CProxyServer::RescheduleAll()
{
    for (const auto& [serial, session] : m_sessionsBySerial)
        Reschedule(*session, m_dwLoopTick);
}

void CProxyServer::PrintStatistics()
{
    std::string dump;
    for (int i = 0; i < m_sessions.getCount(); ++i)
    {
        CProxySession* session = m_sessions[i];
        dump += session->GetStats().FormatConsoleDump(session->GetClientId(),
                                                      session->GetIdleSeconds());
    }
    // Nobody reads a console whose pipe reader has gone: no more dumps there.
    if (m_bConsoleOutput && !dump.empty() &&
        WriteConsoleText(stdout, dump) == ConsoleWriteResult::ReaderGone)
        m_bConsoleOutput = false;
}

// Waits until a watched socket is ready or the nearest session deadline is due. Work
// that is there already (an ended session to remove, a connection to accept, a stop
// on its way) makes the wait zero.
void CProxyServer::WaitForWork()
{
    uint32_t timeout = MAX_WAIT_MS;
    if (m_bShutdownRequested || !m_endedSerials.empty() || (m_bAdminPending && !m_pAdminSession) ||
        (m_pAdminSession && m_bAdminReadable))
        timeout = 0;
    if (m_pAdminSession)
        timeout = std::min(timeout, m_pAdminSession->MsUntilDue(m_dwLoopTick));
    if (m_pKeyboard && m_pKeyboard->IsActive() && !m_bKeyWatched)
        timeout = std::min(timeout, KEYBOARD_POLL_MS);
    if (m_pMetricsEndpoint)
        timeout = std::min(timeout, m_pMetricsEndpoint->MsUntilDue(m_dwLoopTick));
    if (!m_timers.Empty())
    {
        const uint64_t due = m_timers.NextDue();
        timeout = due <= m_nLoopMs ? 0 : static_cast<uint32_t>(std::min<uint64_t>(timeout, due - m_nLoopMs));
    }
    m_sockets.WaitReady(timeout, m_ready);
}

void CProxyServer::ShutdownSessions()
{
    // Each sends its Close, then all go in table order without waiting for an ACK.
    for (int i = 0; i < m_sessions.getCount(); ++i)
    {
        m_sessions[i]->CloseByAdministrator();
        m_metrics.SessionEnded(m_sessions[i]->GetStats(), m_sessions[i]->GetEndCause());
    }
    m_sessionsBySerial.clear();
    m_sessionsById.clear();
    m_sessions.RemoveAll();
}

std::string CProxyServer::GetSessionListText() const
{
    std::string text = std::to_string(m_sessions.getCount()) + ",";
    for (int i = 0; i < m_sessions.getCount(); ++i)
    {
        const CProxySession* session = m_sessions[i];
        text += session->GetClientId() + ";" + FormatTime(session->GetConnectTime(), true, ':') +
                ";" + FormatTime(session->GetLastActivityTime(), false, ':') + ";" +
                FormatTime(session->GetLastSeenTime(), false, ':') + ",";
    }
    text.pop_back(); // the last character is always a comma
    return text;
}

CProxySession* CProxyServer::FindSession(std::string_view clientId) const
{
    for (int i = 0; i < m_sessions.getCount(); ++i)
        if (m_sessions[i]->GetClientId() == clientId)
            return m_sessions[i];
    return nullptr;
}

bool CProxyServer::HasSession(std::string_view clientId) const
{
    return FindSession(clientId) != nullptr;
}

std::string CProxyServer::GetSessionStatisticsText(std::string_view clientId) const
{
    const CProxySession* session = FindSession(clientId);
    return session != nullptr ? session->GetStatisticsText() : std::string();
}

void CProxyServer::TerminateSession(std::string_view clientId)
{
    CProxySession* session = FindSession(clientId);
    if (session == nullptr)
        return;
    session->CloseByAdministrator();
    Reschedule(*session, m_dwLoopTick);
}

bool CProxyServer::SetOption(std::string_view name, std::string_view value)
{
    const SettingDefinition* setting = FindServerSetting(name);
    if (setting == nullptr)
        return false;
    // A new client port is saved even when it cannot be opened (see SetClientPort).
    if (setting->id == SettingId::ClientPort)
        return SetClientPort(ReadDecimal(value));
    if (!ApplyOption(*setting, value))
        return false;
    SaveSettings();
    return true;
}

// Takes the value into the settings and into the part of the server it changes.
bool CProxyServer::ApplyOption(const SettingDefinition& setting, std::string_view value)
{
    ServerSettingValues& values = m_pSettings->Values();
    switch (setting.id)
    {
    case SettingId::AdminPort: return SetAdminPort(ReadDecimal(value));
    case SettingId::LogFile: return SetLogFile(std::string(value));
    // A password the settings cannot hold is refused rather than ending the server.
    case SettingId::AdminPassword:
        return !value.empty() && StoreSettingText(values, setting, value);
    case SettingId::LogLevel:
        if (!StoreSettingText(values, setting, value))
            return false;
        m_pLog->SetLogLevel(values.logLevel);
        return true;
    case SettingId::MaxLogLines:
        StoreSettingText(values, setting, value);
        m_pLog->SetMaxLines(static_cast<uint32_t>(values.maxLogLines));
        return true;
    case SettingId::ClientIdleDisconnect:
        StoreSettingText(values, setting, value);
        RescheduleAll(); // every session's idle deadline moves
        return true;
    default: return StoreSettingText(values, setting, value);
    }
}

void CProxyServer::SaveSettings()
{
    if (!m_pSettings->Save())
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to save the settings to the registry.");
}

bool CProxyServer::SetAdminPort(int port)
{
    if (!IsUsablePort(port))
        return false;
    const int oldPort = m_pSettings->Values().adminPort;
    m_adminListener.Close();
    const bool opened = m_adminListener.init(port);
    if (!opened)
        m_adminListener.init(oldPort);
    WatchListeners();
    if (opened)
        m_pSettings->Values().adminPort = port;
    return opened;
}

bool CProxyServer::SetLogFile(const std::string& logFile)
{
    if (logFile.empty())
        return false;
    const std::string oldFile = m_pLog->GetFilename();
    m_pLog->SetFilename(logFile);
    if (!m_pLog->CanWrite())
    {
        m_pLog->SetFilename(oldFile);
        return false;
    }
    m_pSettings->Values().logFile = logFile;
    return true;
}

// The new port is stored and saved even when it cannot be opened: the listener then
// stays closed and the next client step ends the server.
bool CProxyServer::SetClientPort(int port)
{
    if (!IsUsablePort(port))
        return false;
    m_pSettings->Values().clientPort = port;
    SaveSettings();
    m_clientListener.Close();
    const bool opened = m_clientListener.Open(port);
    WatchListeners();
    return opened;
}
