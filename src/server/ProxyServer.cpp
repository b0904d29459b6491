#include "server/ProxyServer.h"

#include "common/Log.h"
#include "common/MyString.h"
#include "platform/ConsoleKeyboard.h"
#include "platform/ConsoleOutput.h"
#include "platform/Event.h"
#include "platform/WaitSet.h"
#include "server/AdminSession.h"
#include "server/ServerSettings.h"
#include "tunnel/ProxyMisc.h"


namespace
{
constexpr size_t SESSION_ID_OFFSET = TunnelPacket::HEADER_SIZE;
constexpr size_t CONNECT_LENGTH = 28;

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

bool CProxyServer::Run()
{
    if (!StartUp())
        return false;
    bool result = true;
    while (!StopRequested())
    {
        if (!AdminStep() || !ClientStep())
        {
            result = false;
            break;
        }
        if (m_pKeyboard && m_pKeyboard->TakeKey())
            PrintStatistics();
        m_pLog->Trim();
        WaitForWork();
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
    if (!m_adminListener.init(m_pSettings->GetAdminPort()))
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to initialize admin TCP listener on port %d.",
                      m_pSettings->GetAdminPort());
        return false;
    }
    if (!m_clientListener.Open(m_pSettings->GetClientPort()))
    {
        m_pLog->Print(CLog::LEVEL_ERROR,
                      "Error: Unable to initialize client UDP listener on port %d.",
                      m_pSettings->GetClientPort());
        return false;
    }
    m_pLog->Print(CLog::LEVEL_INFO, "%s v%s started.", PRODUCT_NAME, PRODUCT_VERSION);
    m_pSettings->Print();
    return true;
}

bool CProxyServer::AdminStep()
{
    if (m_pAdminSession)
    {
        m_pAdminSession->Poll();
        const int state = m_pAdminSession->m_nState;
        if (state != CAdminSession::STATE_OPEN)
        {
            m_pAdminSession.reset();
            if (state == CAdminSession::STATE_SHUTDOWN_REQUESTED)
                m_bShutdownRequested = true;
        }
        return true;
    }
    if (!m_adminListener.checkForNewConnection())
        return false;
    if (m_adminListener.m_bConnected)
        m_pAdminSession = std::make_unique<CAdminSession>(
            this, m_adminListener.GetAcceptedSocket(), m_adminListener.m_addrPeer);
    return true;
}

bool CProxyServer::ClientStep()
{
    if (!m_clientListener.Receive())
        return false;
    const TunnelPacket& packet = m_clientListener.m_packet;
    if (m_clientListener.m_bPacketReceived && packet.Check() && packet.Length() == CONNECT_LENGTH)
    {
        if (packet.Type() == PACKET_CONNECT)
            HandleConnect();
        else if (packet.Type() == PACKET_PROBE)
            HandleProbe();
    }
    RemoveEndedSessions();
    for (int i = 0; i < m_sessions.getCount(); ++i)
        m_sessions[i]->Step();
    return true;
}

int CProxyServer::FindSessionById(const SessionId& id) const
{
    for (int i = 0; i < m_sessions.getCount(); ++i)
        if (m_sessions[i]->GetSessionId() == id)
            return i;
    return -1;
}

void CProxyServer::HandleConnect()
{
    const TunnelPacket& packet = m_clientListener.m_packet;
    const SocketAddress& sender = m_clientListener.m_addrSender;
    const SessionId previous = SessionId::FromBytes(packet.Payload());
    const int index = FindSessionById(previous);
    if (index >= 0)
        m_sessions.RemoveAt(index);

    const std::string address = DottedAddressText(sender.address);
    const int port = NetToHost16(sender.port);
    m_pLog->Print(CLog::LEVEL_INFO, "[%s:%d] Client connected.", address.c_str(), port);
    const SessionId id = NewSessionId();
    auto session = std::make_unique<CProxySession>(id, packet.Bytes(), sender, m_sockets, m_clock);
    CProxySession* created = session.get();
    m_sessions.Add(std::move(session));
    m_pLog->Print(CLog::LEVEL_DEBUG, "[%s:%d] New session created. Session ID = %s",
                  address.c_str(), port, id.ToText().c_str());
    created->Step();
}

// The current UTC time, moved on by a millisecond while a live session holds it or
// it was handed out last: two sessions with one ID would end each other's sessions
// and have Probes answered for the wrong one.
SessionId CProxyServer::NewSessionId()
{
    SessionId id = SessionId::FromDateTime(m_clock.UtcTime());
    while (id == m_lastSessionId || FindSessionById(id) >= 0)
        id = id.NextMillisecond();
    m_lastSessionId = id;
    return id;
}

void CProxyServer::HandleProbe()
{
    const TunnelPacket& packet = m_clientListener.m_packet;
    if (FindSessionById(SessionId::FromBytes(packet.Payload().subspan(0, 16))) >= 0)
        return;
    TunnelPacket reply;
    reply.Build(PACKET_NOSESSION, 0);
    m_clientListener.SendTo(reply.Bytes(), m_clientListener.m_addrSender);
}

void CProxyServer::RemoveEndedSessions()
{
    for (int i = 0; i < m_sessions.getCount();)
    {
        if (m_sessions[i]->GetState() == CProxySession::STATE_EXIT)
            m_sessions.RemoveAt(i);
        else
            ++i;
    }
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

// Waits until a socket has work or the nearest session deadline is due, instead of
// spinning; a session that needs a step at once makes the wait zero.
void CProxyServer::WaitForWork()
{
    CWaitSet waitSet(MAX_WAIT_MS);
    waitSet.AddRead(m_clientListener.GetSocket());
    if (m_pAdminSession)
        waitSet.AddRead(m_pAdminSession->GetSocket());
    else
        waitSet.AddRead(m_adminListener.GetListenSocket());
    if (m_pStopEvent)
        waitSet.AddRead(m_pStopEvent->Handle());
    if (m_pKeyboard)
        waitSet.AddRead(m_pKeyboard->Handle());
    if (m_bShutdownRequested)
        waitSet.LimitTimeout(0);
    for (int i = 0; i < m_sessions.getCount(); ++i)
    {
        CProxySession* session = m_sessions[i];
        if (session->GetState() == CProxySession::STATE_EXIT)
            waitSet.LimitTimeout(0);
        else
            session->AddWaits(waitSet);
    }
    waitSet.Wait();
}

void CProxyServer::ShutdownSessions()
{
    while (m_sessions.getCount() > 0)
    {
        m_sessions[0]->CloseByAdministrator();
        m_sessions.RemoveAt(0);
    }
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

void CProxyServer::TerminateSession(CProxySession& session) { session.CloseByAdministrator(); }

bool CProxyServer::SetOption(std::string_view name, std::string_view value)
{
    const std::string text(value);
    const int number = ReadDecimal(value);
    bool applied = false;
    if (name == "AdminPassword")
        applied = SetAdminPassword(text);
    else if (name == "AdminPort")
        applied = SetAdminPort(number);
    else if (name == "LogFile")
        applied = SetLogFile(text);
    else if (name == "LogLevel")
        applied = SetLogLevel(number);
    else if (name == "MaxLogLines")
    {
        m_pSettings->SetMaxLogLines(number);
        m_pLog->SetMaxLines(static_cast<uint32_t>(number));
        applied = true;
    }
    else if (name == "ClientPort")
        return SetClientPort(number);
    else if (name == "ClientIdleDisconnect")
    {
        m_pSettings->SetClientIdleDisconnect(number);
        applied = true;
    }
    if (applied)
        SaveSettings();
    return applied;
}

void CProxyServer::SaveSettings()
{
    if (!m_pSettings->Save())
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to save the settings to the registry.");
}

bool CProxyServer::SetAdminPassword(const std::string& password)
{
    // A password the settings cannot hold is refused rather than ending the server.
    if (password.empty() || password.size() >= CServerSettings::MAX_PASSWORD_LENGTH)
        return false;
    m_pSettings->SetAdminPassword(password);
    return true;
}

bool CProxyServer::SetAdminPort(int port)
{
    if (!IsUsablePort(port))
        return false;
    const int oldPort = m_pSettings->GetAdminPort();
    m_adminListener.Close();
    if (!m_adminListener.init(port))
    {
        m_adminListener.init(oldPort);
        return false;
    }
    m_pSettings->SetAdminPort(port);
    return true;
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
    m_pSettings->SetLogFile(logFile);
    return true;
}

bool CProxyServer::SetLogLevel(int level)
{
    if (!CLog::isValidLogLevel(level))
        return false;
    m_pSettings->SetLogLevel(level);
    m_pLog->SetLogLevel(level);
    return true;
}

// The new port is stored and saved even when it cannot be opened: the listener then
// stays closed and the next client step ends the server.
bool CProxyServer::SetClientPort(int port)
{
    if (!IsUsablePort(port))
        return false;
    m_pSettings->SetClientPort(port);
    SaveSettings();
    m_clientListener.Close();
    return m_clientListener.Open(port);
}
