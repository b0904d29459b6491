#include "client/ProxyClient.h"

#include "client/Settings.h"
#include "common/Assert.h"
#include "common/Log.h"
#include "common/MyString.h"
#include "common/Network.h"
#include "platform/MessageBox.h"
#include "tunnel/LinkTiming.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/TextFormat.h"

#include <algorithm>
#include <fstream>

using tunnel_detail::FormatText;

namespace
{

constexpr int LOG_ERROR = CLog::LEVEL_ERROR;
constexpr int LOG_INFO = CLog::LEVEL_INFO;
constexpr int LOG_DEBUG = CLog::LEVEL_DEBUG;

// Connect info and proxy server fields are split into buffers of these sizes.
constexpr size_t CONNECT_INFO_FIELD_SIZE = 512;
constexpr size_t PROXY_SERVER_FIELD_SIZE = 100;
constexpr size_t MAX_INITIAL_DATA = 511;
constexpr size_t SESSION_ID_SIZE = 16;

const char* StateName(int state)
{
    static constexpr const char* names[] = {
        "PreConnect", "Connect", "ConnectWACK", "WaitForSessionID", "Open",
        "OpenWACK",   "Data",    "Exit",        "WaitFinalACK"};
    return state >= 0 && state < static_cast<int>(std::size(names)) ? names[state] : nullptr;
}

int AsInt(uint32_t number)
{
    return static_cast<int>(number);
}

// The statistics record is checked before the link is made with it.
CProxyStats& CheckedStats(CProxyStats* stats)
{
    TQ_ASSERT_TEXT(NULL != stats, "NULL != pStats");
    return *stats;
}

} // namespace

CProxyClient::CProxyClient(CProxyStats* stats, SOCKET clientTCPSocket,
                           const SocketAddress& clientAddress, bool proxyAware,
                           const std::string& folder, ISocketLayer& sockets, IClock& clock)
    : m_sockets(sockets), m_clock(clock), m_pLog(CLog::GetInstance()),
      m_pSettings(CSettings::GetInstance()), m_pStats(stats),
      m_link(sockets, CheckedStats(stats), *this, PacketReceiver::Client, INITIAL_SEND_NUMBER,
             INITIAL_RECEIVE_NUMBER),
      m_folder(folder), m_clientTCPSocket(clientTCPSocket), m_clientAddress(clientAddress),
      m_bProxyAware(proxyAware)
{
    TQ_ASSERT(INVALID_SOCKET != clientTCPSocket);
    m_sockets.SetNonBlocking(m_clientTCPSocket);
    m_dwLastActivity = m_clock.TickCount();
    m_dwNow = m_dwLastActivity;
    m_startTime = m_clock.LocalTime();
    m_pStats->Reset();
    m_pLog->Print(LOG_DEBUG, "STATE: PreConnect");
}

CProxyClient::~CProxyClient()
{
    m_pLog->Print(LOG_INFO, "Client session ended.");
    if (m_clientTCPSocket != INVALID_SOCKET)
    {
        m_sockets.Close(m_clientTCPSocket);
    }
    m_link.Close();
}

void CProxyClient::StartAfter(const DateTime& previous)
{
    constexpr uint64_t FILE_TIME_UNITS_PER_MS = 10000;
    uint64_t start = 0;
    uint64_t before = 0;
    DateTime later;
    if (DateTimeToFileTime(m_startTime, start) && DateTimeToFileTime(previous, before) &&
        start == before && FileTimeToDateTime(before + FILE_TIME_UNITS_PER_MS, later))
    {
        m_startTime = later;
    }
}

void CProxyClient::SetHostAddress(const std::string& host)
{
    m_pszHostAddress = host;
}

void CProxyClient::SetHostPort(int port)
{
    TQ_ASSERT_TEXT(0 != port, "0 != nHostPort");
    m_nHostPort = port;
}

void CProxyClient::SetState(int state, bool logLine)
{
    m_nState = state;
    const char* name = StateName(state);
    if (logLine && name != nullptr)
    {
        m_pLog->Print(LOG_DEBUG, "STATE: %s", name);
    }
}

void CProxyClient::LinkLine(int level, const char* text)
{
    m_pLog->Print(level, "%s", text);
}

std::string CProxyClient::SenderText(const SocketAddress& from, bool addressOnly) const
{
    uint8_t bytes[4];
    AddressBytes(from.address, bytes);
    if (addressOnly)
    {
        return FormatText("%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    }
    return FormatText("%d.%d.%d.%d, port = %d", bytes[0], bytes[1], bytes[2], bytes[3],
                      NetToHost16(from.port));
}

void CProxyClient::Step(uint32_t now)
{
    m_dwNow = now;
    m_link.SetNow(now);
    switch (m_nState)
    {
    case STATE_PRECONNECT:
        StepPreConnect();
        break;
    case STATE_CONNECT:
        StepConnect();
        break;
    case STATE_CONNECTWACK:
        StepConnectWAck();
        break;
    case STATE_WAITFORSESSIONID:
        StepWaitForSessionId();
        break;
    case STATE_OPEN:
        StepOpen();
        break;
    case STATE_OPENWACK:
        StepOpenWAck();
        break;
    case STATE_DATA:
        StepData();
        break;
    case STATE_WAITFINALACK:
        StepWaitFinalAck();
        break;
    case STATE_EXIT:
    case STATE_INVALID:
        break;
    default:
        m_pLog->Print(LOG_DEBUG, "Invalid session state %d.", m_nState);
        SetState(STATE_EXIT);
        break;
    }
}

// ---------------------------------------------------------------------------
// PreConnect: session ID file and connect info

void CProxyClient::StepPreConnect()
{
    if (!m_bSessionIdLoaded)
    {
        m_bSessionIdLoaded = true;
        LoadSessionId();
        if (!m_bProxyAware)
        {
            FinishPreConnect(false);
            return;
        }
        BeginConnectInfo();
    }
    // The connect info is read across steps, as far as bytes are available.
    ReadConnectInfo();
}

void CProxyClient::LoadSessionId()
{
    std::ifstream file(m_folder + "/" + SESSION_ID_FILE, std::ios::binary);
    if (!file.is_open())
    {
        m_pLog->Print(LOG_DEBUG, "Session ID file not loaded.");
        return;
    }
    uint8_t bytes[SESSION_ID_SIZE] = {};
    file.read(reinterpret_cast<char*>(bytes), sizeof(bytes));
    if (file.bad())
    {
        m_pLog->Print(LOG_DEBUG, "Failed to read Session ID file.");
    }
    else if (file.gcount() < static_cast<std::streamsize>(sizeof(bytes)))
    {
        m_pLog->Print(LOG_DEBUG, "Session ID file contents corrupt.");
    }
    else
    {
        m_sessionId = SessionId::FromBytes(bytes);
    }
}

void CProxyClient::SaveSessionId()
{
    // A file that cannot be written only costs the next session its old ID.
    std::ofstream file(m_folder + "/" + SESSION_ID_FILE, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(m_sessionId.bytes.data()),
               static_cast<std::streamsize>(m_sessionId.bytes.size()));
}

void CProxyClient::BeginConnectInfo()
{
    m_initialData.clear();
    m_bReadingConnectInfo = true;
    m_dwConnectInfoDeadline = m_dwNow + CONNECT_INFO_TIMEOUT_MS;
}

// Reads the available bytes one at a time, so that nothing after the carriage
// return is taken from the socket.
CProxyClient::ReadResult CProxyClient::ReadConnectInfo()
{
    const std::string_view magic = CONNECT_INFO_MAGIC;
    for (;;)
    {
        if (m_initialData.size() >= MAX_INITIAL_DATA ||
            TickReached(m_dwNow, m_dwConnectInfoDeadline))
        {
            FinishPreConnect(false);
            return ReadResult::Done;
        }
        uint8_t byte = 0;
        const ReadResult read = ReadConnectInfoByte(byte);
        if (read != ReadResult::Done)
        {
            return read;
        }
        const size_t position = m_initialData.size();
        m_initialData.push_back(static_cast<char>(byte));
        if (position < magic.size() && static_cast<char>(byte) != magic[position])
        {
            FinishPreConnect(false);
            return ReadResult::Done;
        }
        if (byte == '\r')
        {
            FinishPreConnect(true);
            return ReadResult::Done;
        }
    }
}

CProxyClient::ReadResult CProxyClient::ReadConnectInfoByte(uint8_t& byte)
{
    m_sockets.SetLastError(0);
    const int result = ReadApplication(std::span<uint8_t>(&byte, 1));
    if (result == 1)
    {
        return ReadResult::Done;
    }
    if (result == 0)
    {
        m_pLog->Print(LOG_INFO, "TCP client gracefully closed the connection.");
    }
    else
    {
        const int code = m_sockets.GetLastError();
        if (code == WSAEWOULDBLOCK)
        {
            return ReadResult::Pending;
        }
        m_pLog->Print(LOG_INFO, "TCP client connection lost, error: %d. %s.", code,
                      GetSocketErrorText(code));
    }
    m_bReadingConnectInfo = false;
    SetState(STATE_EXIT, false);
    return ReadResult::Failed;
}

bool CProxyClient::ParseConnectInfo()
{
    std::string magic;
    std::string host;
    std::string port;
    // The line is text: a zero byte ends it, and nothing after it names the host.
    const std::string_view line =
        std::string_view(m_initialData).substr(0, m_initialData.find('\0'));
    auto rest = SplitToken(line, ':', magic, CONNECT_INFO_FIELD_SIZE);
    if (!rest || magic != CONNECT_INFO_MAGIC)
    {
        return false;
    }
    rest = SplitToken(*rest, ',', host, CONNECT_INFO_FIELD_SIZE);
    if (!rest || !SplitToken(*rest, ',', port, CONNECT_INFO_FIELD_SIZE))
    {
        return false;
    }
    const int portNumber = ReadDecimal(port);
    if (host.empty() || portNumber < 1)
    {
        return false;
    }
    m_pszHostAddress = host;
    m_nHostPort = portNumber;
    return true;
}

void CProxyClient::FinishPreConnect(bool haveConnectInfo)
{
    m_bReadingConnectInfo = false;
    if (haveConnectInfo)
    {
        if (!ParseConnectInfo())
        {
            m_pLog->Print(LOG_INFO, "Error: Format error in Connect Info.");
            SetState(STATE_EXIT);
            return;
        }
        m_pLog->Print(LOG_INFO, "Received host information from application: %s:%d.",
                      m_pszHostAddress.c_str(), m_nHostPort);
        m_initialData.clear();
    }
    else if (m_bProxyAware && (m_pszHostAddress.empty() || m_nHostPort < 1))
    {
        m_pLog->Print(LOG_INFO, "Error: Connect Info timeout and no host/port given.");
        SetState(STATE_EXIT);
        return;
    }
    // The Open packet must hold "host,port": refuse a host that cannot fit before
    // a server session is made for it.
    if (OpenPayload(m_pszHostAddress, m_nHostPort).size() > TunnelPacket::MAX_PAYLOAD)
    {
        m_pLog->Print(LOG_INFO, "Error: Host name too long for the Open packet.");
        SetState(STATE_EXIT);
        return;
    }
    m_nConnectAttempts = 0;
    m_nProxyServerIndex = 1;
    SetState(STATE_CONNECT, false);
}

// ---------------------------------------------------------------------------
// Connect, ConnectWACK, WaitForSessionID, Open, OpenWACK

// Reads "ProxyServer<index>" as "address:port"; false when missing or unusable.
bool CProxyClient::TakeProxyServerEntry()
{
    const auto value = m_pSettings->GetValue(FormatText("ProxyServer%d", m_nProxyServerIndex));
    if (!value)
    {
        return false;
    }
    std::string address;
    std::string port;
    const auto rest = SplitToken(*value, ':', address, PROXY_SERVER_FIELD_SIZE);
    if (rest)
    {
        SplitToken(*rest, ':', port, PROXY_SERVER_FIELD_SIZE);
    }
    const int portNumber = ReadDecimal(port);
    if (address.empty() || portNumber < 1 || portNumber > 0xFFFF)
    {
        return false;
    }
    m_pszProxyServerAddress = address;
    m_nProxyServerPort = portNumber;
    return true;
}

void CProxyClient::StepConnect()
{
    TQ_ASSERT(INVALID_SOCKET != m_clientTCPSocket);
    TQ_ASSERT(INVALID_SOCKET == m_link.Socket());
    TQ_ASSERT(m_nProxyServerIndex > 0);
    if (!TakeProxyServerEntry())
    {
        m_pLog->Print(LOG_INFO, "Error: Connect timeout.");
        SetState(STATE_EXIT);
        return;
    }
    uint32_t address = 0;
    if (!m_sockets.ResolveAddress(m_pszProxyServerAddress, address))
    {
        m_pLog->Print(LOG_INFO, "Error: Unable to resolve proxy address %s.",
                      m_pszProxyServerAddress.c_str());
        SetState(STATE_EXIT);
        return;
    }
    const SOCKET socket = m_sockets.CreateUdpSocket();
    if (socket == INVALID_SOCKET)
    {
        const int code = m_sockets.GetLastError();
        m_pLog->Print(LOG_INFO, "Error: Unable to create server UDP socket (%d) %s.", code,
                      GetSocketErrorText(code));
        SetState(STATE_EXIT);
        return;
    }
    m_pLog->Print(LOG_DEBUG, "Server UDP socket created (0x%08x).", static_cast<unsigned>(socket));
    m_sockets.SetNonBlocking(socket);
    m_link.Open(socket, MakeSocketAddress(address, static_cast<uint16_t>(m_nProxyServerPort)));
    WatchServerSocket(WatchMode::Level);
    // FastLink not 0 offers the fast link (absent: the default); the server's Session
    // says whether it agreed.
    const bool offer = m_pSettings->GetValue("FastLink") ? m_pSettings->GetSwitch("FastLink")
                                                         : OFFER_FAST_LINK_BY_DEFAULT;
    m_link.SendNumbered(PACKET_CONNECT, m_sessionId.bytes,
                        offer ? TunnelPacket::FLAG_FAST_LINK : 0);
    m_pLog->Print(LOG_DEBUG, "Connect packet sent (%d)", AsInt(m_link.SendNumber()));
    SetState(STATE_CONNECTWACK);
    m_dwStateDeadline = m_dwNow + link_timing::kHandshakeStepMs;
}

void CProxyClient::StepConnectWAck()
{
    const bool received = ReceivePacket(ReceiveMode::AdoptPort);
    if (m_nState != STATE_CONNECTWACK)
    {
        return;
    }
    if (received)
    {
        if (m_link.TakeAckOf("Connect "))
        {
            SetState(STATE_WAITFORSESSIONID);
            m_dwStateDeadline = m_dwNow + link_timing::kHandshakeStepMs;
        }
        return;
    }
    if (m_bServerDown)
    {
        m_bServerDown = false;
        m_pLog->Print(LOG_INFO, "Error: Proxy server %s:%d not running.",
                      m_pszProxyServerAddress.c_str(), m_nProxyServerPort);
        ShowMessageBox(PRODUCT_NAME,
                       FormatText("Error: Proxy server %s:%d not running.",
                                  m_pszProxyServerAddress.c_str(), m_nProxyServerPort));
        RetryConnect();
    }
    else if (TickReached(m_dwNow, m_dwStateDeadline))
    {
        m_pLog->Print(LOG_INFO, "Error: Connect timeout to proxy server %s:%d",
                      m_pszProxyServerAddress.c_str(), m_nProxyServerPort);
        RetryConnect();
    }
}

// Each server gets ConnectRetries + 1 attempts, each with a new socket.
void CProxyClient::RetryConnect()
{
    SetState(STATE_CONNECT);
    m_link.Close();
    ++m_nConnectAttempts;
    const int retries = m_pSettings->GetNumber("ConnectRetries");
    if (m_nConnectAttempts > retries)
    {
        m_nConnectAttempts = 0;
        ++m_nProxyServerIndex;
    }
}

void CProxyClient::StepWaitForSessionId()
{
    const bool received = ReceivePacket(ReceiveMode::Strict);
    if (m_nState != STATE_WAITFORSESSIONID)
    {
        return;
    }
    if (!received)
    {
        if (TickReached(m_dwNow, m_dwStateDeadline))
        {
            m_pLog->Print(LOG_INFO, "Error: Connect timeout.");
            SetState(STATE_EXIT);
        }
        return;
    }
    const TunnelPacket& packet = m_link.Packet();
    if (packet.Type() == PACKET_ERROR)
    {
        ErrorReceived();
        return;
    }
    if (packet.Type() != PACKET_SESSION)
    {
        return;
    }
    const uint32_t number = packet.Number();
    m_sessionId = SessionId::FromBytes(packet.Payload());
    m_pLog->Print(LOG_DEBUG, "Received Session packet (%d). Session ID = %s", AsInt(number),
                  m_sessionId.ToText().c_str());
    if (m_link.FastLinkOffered() && (packet.Flags() & TunnelPacket::FLAG_FAST_LINK) != 0)
    {
        m_link.UseFastLink();
        m_pLog->Print(LOG_DEBUG, "Fast link agreed.");
    }
    m_link.Acknowledge(number);
    SaveSessionId();
    SetState(STATE_OPEN);
    m_link.SetReceiveNumber(number);
    m_dwStateDeadline = m_dwNow + link_timing::kHandshakeStepMs;
}

std::vector<uint8_t> CProxyClient::OpenPayload(const std::string& host, int port)
{
    return EncodeUtf16Payload(Utf8ToUtf16(FormatText("%s,%d", host.c_str(), port)), false);
}

void CProxyClient::StepOpen()
{
    m_link.SendNumbered(PACKET_OPEN, OpenPayload(m_pszHostAddress, m_nHostPort));
    m_pLog->Print(LOG_DEBUG, "Open packet sent (%d)", AsInt(m_link.SendNumber()));
    SetState(STATE_OPENWACK);
    m_dwStateDeadline = m_dwNow + link_timing::kHandshakeStepMs;
}

void CProxyClient::StepOpenWAck()
{
    const bool received = ReceivePacket(ReceiveMode::Strict);
    if (m_nState != STATE_OPENWACK)
    {
        return;
    }
    if (!received)
    {
        if (TickReached(m_dwNow, m_dwStateDeadline))
        {
            m_pLog->Print(LOG_INFO, "Error: Connect timeout");
            SetState(STATE_EXIT);
        }
        else if (m_link.FastLink() && m_link.AckOverdue())
        {
            m_pLog->Print(LOG_DEBUG, "Timeout, re-sending Open packet (%d)", AsInt(m_link.SendNumber()));
            m_link.ResendBackingOff();
        }
        return;
    }
    if (!m_link.TakeAckOf("Open "))
    {
        RepeatedSession();
        return;
    }
    m_nState = STATE_DATA;
    m_pStats->SetFullQuality();
    m_pLog->Print(LOG_DEBUG, "STATE: Data");
    if (!m_initialData.empty())
    {
        m_dwLastActivity = m_dwNow;
        m_link.SendNumbered(PACKET_DATA,
                            std::span(reinterpret_cast<const uint8_t*>(m_initialData.data()),
                                      m_initialData.size()));
        m_pLog->Print(LOG_DEBUG, "Sending initial data packet (%d)", AsInt(m_link.SendNumber()));
        m_initialData.clear();
    }
}

// The server did not hear the Session's ACK and sends the Session again (fast link).
void CProxyClient::RepeatedSession()
{
    const TunnelPacket& packet = m_link.Packet();
    if (m_link.FastLink() && packet.Type() == PACKET_SESSION &&
        packet.Number() == m_link.ReceiveNumber())
        m_link.Acknowledge(packet.Number());
}

void CProxyClient::ErrorReceived()
{
    const uint32_t number = m_link.Packet().Number();
    const std::string text = Utf16ToUtf8(DecodeUtf16Payload(m_link.Packet().Payload()));
    m_pLog->Print(LOG_INFO, "Received Error packet from Proxy Server (%d): %s", AsInt(number),
                  text.c_str());
    m_link.Acknowledge(number);
    SetState(STATE_EXIT);
    ShowMessageBox(PRODUCT_NAME, FormatText("Received Error packet from Proxy Server (%d): %s",
                                            AsInt(number), text.c_str()));
}

// ---------------------------------------------------------------------------
// Packets

// One receive attempt. True when a valid packet from the server is in the receive
// buffer; the state may have changed (Exit, Invalid) when false.
bool CProxyClient::ReceivePacket(ReceiveMode mode)
{
    switch (m_link.Receive(mode == ReceiveMode::AdoptPort))
    {
    case CLinkEndpoint::Receipt::Packet:
        return true;
    case CLinkEndpoint::Receipt::Failed:
        HandleReceiveError(m_link.ReceiveError());
        return false;
    case CLinkEndpoint::Receipt::NoSession:
        SetState(STATE_INVALID);
        return false;
    case CLinkEndpoint::Receipt::Nothing:
        break;
    }
    return false;
}

void CProxyClient::HandleReceiveError(int code)
{
    if (code == WSAEWOULDBLOCK)
    {
        return;
    }
    if (code == WSAECONNRESET)
    {
        if (m_nState == STATE_CONNECTWACK)
        {
            m_bServerDown = true;
            return;
        }
        m_pLog->Print(LOG_ERROR, "UDP connection lost, error: %d. %s.", code,
                      GetSocketErrorText(code));
        SetState(STATE_EXIT);
        return;
    }
    m_pLog->Print(LOG_ERROR, "Mystery UDP, error: %d. %s.", code, GetSocketErrorText(code));
}

// Asks the server's client port whether the session still exists; only while the
// link seems dead.
void CProxyClient::SendProbe()
{
    if (m_pStats->m_nLinkQuality != 0)
    {
        return;
    }
    TunnelPacket probe;
    probe.Build(PACKET_PROBE, 0, m_sessionId.bytes);
    const SocketAddress clientPort =
        MakeSocketAddress(m_link.Peer().address, static_cast<uint16_t>(m_nProxyServerPort));
    m_sockets.SendTo(m_link.Socket(), probe.Bytes(), clientPort);
}

// ---------------------------------------------------------------------------
// Data and WaitFinalACK: application bytes to the server one packet at a time,
// server bytes to the application in order

void CProxyClient::StepData()
{
    if (m_bDraining)
    {
        StepDrain();
        return;
    }
    if (!FlushToApplication())
    {
        return;
    }
    if (ReceivePacket(ReceiveMode::Strict))
    {
        m_dwLastActivity = m_dwNow;
        switch (m_link.Packet().Type())
        {
        case PACKET_DATA:
            HandleDataPacket();
            break;
        case PACKET_ACK:
            m_link.HandleAck();
            break;
        case PACKET_CLOSE:
            HandleClose();
            break;
        case PACKET_ERROR:
            ErrorReceived();
            break;
        default:
            m_pLog->Print(LOG_DEBUG, "Received UDP packet with unknown type.");
            break;
        }
    }
    else
    {
        RetransmitIfDue();
    }
    if (m_nState != STATE_DATA || m_bDraining)
    {
        return;
    }
    SendNextData();
    if (m_nState == STATE_DATA)
    {
        SendPingIfDue();
    }
}

// Writes held bytes to the application. False when the application connection was
// lost (the session then reports it to the server).
bool CProxyClient::FlushToApplication()
{
    if (m_appBacklog.Empty())
    {
        return true;
    }
    int error = 0;
    if (FlushApplication(error))
    {
        return true;
    }
    ApplicationConnectionLost(error);
    return false;
}

void CProxyClient::HandleDataPacket()
{
    if (m_link.CheckOrder() != CLinkEndpoint::Order::Next)
    {
        return;
    }
    const uint32_t number = m_link.Packet().Number();
    if (m_bApplicationLost)
    {
        // Bytes that can no longer reach the application are not acknowledged; the
        // Error packet tells the server once the packet in flight is through.
        m_pLog->Print(LOG_DEBUG, "Application connection lost, data packet (%d) not acknowledged",
                      AsInt(number));
        return;
    }
    const std::span<const uint8_t> payload = m_link.Packet().Payload();
    if (!m_appBacklog.CanAccept(payload.size()))
    {
        // Not acknowledged: the server sends it again once the application caught up.
        m_pLog->Print(LOG_DEBUG, "Application not keeping up, data packet (%d) not acknowledged",
                      AsInt(number));
        return;
    }
    m_pLog->Print(LOG_DEBUG, "Received data packet (%d)", AsInt(number));
    // Written (or held) before the ACK: a payload that meets a failed connection is
    // not acknowledged as delivered.
    int error = 0;
    if (!payload.empty() && !m_appBacklog.Write(m_sockets, m_clientTCPSocket, payload, error))
    {
        ApplicationConnectionLost(error);
        return;
    }
    if (!payload.empty())
    {
        m_pStats->DataReceived();
    }
    m_link.AcceptPacket();
    CProxyStats::Count(m_pStats->m_nBytesReceived, payload.size());
    if (!m_appBacklog.Empty())
    {
        m_bAppWritable = false; // the socket took less: wait for its next edge
    }
}

void CProxyClient::HandleClose()
{
    const uint32_t number = m_link.Packet().Number();
    m_pLog->Print(LOG_DEBUG, "Received Close packet from Proxy Server (%d)", AsInt(number));
    m_link.Acknowledge(number);
    if (m_appBacklog.Empty())
    {
        SetState(STATE_EXIT);
        return;
    }
    // Bytes the server delivered must still reach the application. The server is not
    // read meanwhile, so its socket is not watched either.
    m_bDraining = true;
    WatchServerSocket(WatchMode::Paused);
    m_dwDrainDeadline = m_dwNow + APP_DRAIN_LIMIT_MS;
}

void CProxyClient::StepDrain()
{
    int error = 0;
    const bool written = FlushApplication(error);
    if (written && m_appBacklog.Empty())
    {
        SetState(STATE_EXIT);
        return;
    }
    if (!written || TickPassed(m_dwNow, m_dwDrainDeadline))
    {
        DropApplicationBacklog();
        SetState(STATE_EXIT);
    }
}

// Bytes the server was told were delivered but that can no longer be written: the
// loss is logged when it happens.
void CProxyClient::DropApplicationBacklog()
{
    if (m_appBacklog.Empty())
    {
        return;
    }
    m_pLog->Print(LOG_ERROR, "%d bytes for the application were lost.",
                  static_cast<int>(m_appBacklog.Size()));
    m_appBacklog.Clear();
}

void CProxyClient::RetransmitIfDue()
{
    if (!m_link.AckOverdue())
    {
        return;
    }
    if (!m_bApplicationLost)
    {
        BufferApplicationData();
    }
    m_dwLastActivity = m_dwNow;
    m_link.NoteTimeout();
    SendProbe();
    m_link.Resend();
}

// While a packet waits for its ACK, application bytes are read into the buffer so
// that the application is not held up.
void CProxyClient::BufferApplicationData()
{
    uint8_t buffer[TunnelPacket::MAX_PAYLOAD];
    m_sockets.SetLastError(0);
    const int result = ReadApplication(buffer);
    if (result > 0)
    {
        m_pBufferedData.insert(m_pBufferedData.end(), buffer, buffer + result);
        m_pLog->Print(LOG_DEBUG, "Buffering client data (%d bytes)", result);
        return;
    }
    const int code = result < 0 ? m_sockets.GetLastError() : 0;
    // A closed connection is found by the next regular read.
    if (code != 0 && code != WSAEWOULDBLOCK)
    {
        ApplicationConnectionLost(code);
    }
}

void CProxyClient::SendNextData()
{
    if (!m_link.CanSend())
    {
        return;
    }
    if (!m_pBufferedData.empty())
    {
        const size_t count = std::min(m_pBufferedData.size(), TunnelPacket::MAX_PAYLOAD);
        m_dwLastActivity = m_dwNow;
        m_link.SendNumbered(PACKET_DATA, std::span(m_pBufferedData.data(), count));
        m_pBufferedData.erase(m_pBufferedData.begin(),
                              m_pBufferedData.begin() + static_cast<std::ptrdiff_t>(count));
        m_pLog->Print(LOG_DEBUG, "Sending buffered data packet (%d)", AsInt(m_link.SendNumber()));
        return;
    }
    if (m_bApplicationLost)
    {
        // The packet in flight has been acknowledged: now the loss can be reported.
        SendApplicationLostError();
        return;
    }
    uint8_t buffer[TunnelPacket::MAX_PAYLOAD];
    m_sockets.SetLastError(0);
    const int result = ReadApplication(buffer);
    if (result > 0)
    {
        m_dwLastActivity = m_dwNow;
        m_link.SendNumbered(PACKET_DATA, std::span(buffer, static_cast<size_t>(result)));
        m_pLog->Print(LOG_DEBUG, "Sending data packet (%d)", AsInt(m_link.SendNumber()));
        return;
    }
    if (result == 0)
    {
        m_pLog->Print(LOG_INFO, "TCP client gracefully closed the connection.");
        m_link.SendNumbered(PACKET_CLOSE);
        m_link.MarkFinal();
        m_pLog->Print(LOG_DEBUG, "Close packet sent (%d)", AsInt(m_link.SendNumber()));
        m_nState = STATE_WAITFINALACK;
        m_pLog->Print(LOG_DEBUG, "STATE: WaitFinalACK");
        return;
    }
    const int code = m_sockets.GetLastError();
    if (code != WSAEWOULDBLOCK)
    {
        ApplicationConnectionLost(code);
    }
}

// Keeps an idle tunnel alive; the ping takes the in-flight slot like any Data packet.
void CProxyClient::SendPingIfDue()
{
    if (m_link.InFlight() || !TickPassed(m_dwNow, m_dwLastActivity + link_timing::kPingIdleMs))
    {
        return;
    }
    m_dwLastActivity = m_dwNow;
    SendProbe();
    m_link.SendNumbered(PACKET_DATA);
    m_pLog->Print(LOG_DEBUG, "Ping packet sent (%d).", AsInt(m_link.SendNumber()));
    CProxyStats::Count(m_pStats->m_nPings);
}

// The application's connection failed. The Error packet goes out once nothing is in
// flight, so that it never takes the place (and the number) of a Data packet still
// waiting for its ACK; meanwhile the application is neither read nor written.
void CProxyClient::ApplicationConnectionLost(int code)
{
    if (!m_bApplicationLost)
    {
        m_bApplicationLost = true;
        m_nApplicationError = code;
    }
    DropApplicationBacklog();
    if (!m_link.InFlight())
    {
        SendApplicationLostError();
    }
}

void CProxyClient::SendApplicationLostError()
{
    const int code = m_nApplicationError;
    const std::string text =
        FormatText("TCP client connection lost, error: %d. %s.", code, GetSocketErrorText(code));
    m_link.SendNumbered(PACKET_ERROR, EncodeUtf16Payload(Utf8ToUtf16(text), false));
    m_link.MarkFinal();
    m_pLog->Print(LOG_DEBUG, "Error packet sent (%d) %s", AsInt(m_link.SendNumber()), text.c_str());
    SetState(STATE_WAITFINALACK);
    m_pLog->Print(LOG_INFO, "%s", text.c_str());
}

void CProxyClient::StepWaitFinalAck()
{
    // An application that only closed its sending side may still take server bytes.
    int error = 0;
    if (!FlushApplication(error))
    {
        DropApplicationBacklog();
    }
    const bool received = ReceivePacket(ReceiveMode::AdoptPort);
    if (m_nState != STATE_WAITFINALACK)
    {
        return;
    }
    // Stop-and-wait does not send the final packet again: its ACK or its retransmission
    // time ends the wait. The fast link sends it again within that time.
    if (received && m_link.TakeAckOf(""))
    {
        SetState(STATE_EXIT);
    }
    else if (!received && m_link.FinalResendDue())
    {
        m_pLog->Print(LOG_DEBUG, "Timeout, re-sending final packet (%d)", AsInt(m_link.SendNumber()));
        m_link.ResendBackingOff();
    }
    else if (!received && m_link.AckOverdue())
    {
        m_pLog->Print(LOG_INFO, "Error: Timeout when waiting for final ACK (%d)",
                      AsInt(m_link.SendNumber()));
        SetState(STATE_EXIT);
    }
}

// Reads from the application, unless readiness says the read would block.
int CProxyClient::ReadApplication(std::span<uint8_t> buffer)
{
    if (m_bWatched && !m_bAppReadable)
    {
        m_sockets.SetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    const int result = m_sockets.Recv(m_clientTCPSocket, buffer);
    // Readable until a read finds nothing: a short read may have left the
    // application's close behind it (its last bytes and its close are reported as one
    // change).
    if (result == SOCKET_ERROR && m_sockets.GetLastError() == WSAEWOULDBLOCK)
    {
        m_bAppReadable = false;
    }
    return result;
}

// Writes held bytes to the application, unless readiness says it would block. False
// on a write error.
bool CProxyClient::FlushApplication(int& error)
{
    if (m_appBacklog.Empty() || (m_bWatched && !m_bAppWritable))
    {
        return true;
    }
    const bool written = m_appBacklog.Flush(m_sockets, m_clientTCPSocket, error);
    if (!m_appBacklog.Empty())
    {
        m_bAppWritable = false;
    }
    return written;
}

uint32_t CProxyClient::DataMsUntilDue(uint32_t now) const
{
    if (!m_appBacklog.Empty() && m_bAppWritable)
    {
        return 0;
    }
    if (m_bDraining)
    {
        return TickRemaining(now, m_dwDrainDeadline + 1);
    }
    if (m_link.InFlight())
    {
        return m_link.MsUntilAckOverdue(now);
    }
    if (m_bAppReadable || !m_pBufferedData.empty() || m_bApplicationLost)
    {
        return 0;
    }
    return TickRemaining(now, m_dwLastActivity + link_timing::kPingIdleMs + 1);
}

// ---------------------------------------------------------------------------
// Waiting

void CProxyClient::WatchSockets(uint64_t serverToken, uint64_t applicationToken)
{
    m_bWatched = true;
    m_link.SetWatched();
    m_nServerToken = serverToken;
    m_nApplicationToken = applicationToken;
    m_sockets.Watch(m_clientTCPSocket, applicationToken, WatchMode::Edge);
    WatchServerSocket(WatchMode::Level);
}

void CProxyClient::WatchServerSocket(WatchMode mode)
{
    if (m_bWatched && m_link.Socket() != INVALID_SOCKET)
    {
        m_sockets.Watch(m_link.Socket(), m_nServerToken, mode);
    }
}

void CProxyClient::SetReady(uint64_t token, bool readable, bool writable)
{
    if (token == m_nServerToken)
    {
        m_link.SetReadable(readable);
        return;
    }
    m_bAppReadable = m_bAppReadable || readable;
    m_bAppWritable = m_bAppWritable || writable;
}

uint32_t CProxyClient::MsUntilDue(uint32_t now) const
{
    switch (m_nState)
    {
    case STATE_PRECONNECT:
        if (!m_bReadingConnectInfo || m_bAppReadable)
        {
            return 0;
        }
        return TickRemaining(now, m_dwConnectInfoDeadline);
    case STATE_OPENWACK:
        if (m_link.FastLink())
        {
            return std::min(TickRemaining(now, m_dwStateDeadline), m_link.MsUntilAckOverdue(now));
        }
        return TickRemaining(now, m_dwStateDeadline);
    case STATE_CONNECTWACK:
    case STATE_WAITFORSESSIONID:
        return TickRemaining(now, m_dwStateDeadline);
    case STATE_DATA:
        return DataMsUntilDue(now);
    case STATE_WAITFINALACK:
        if (!m_appBacklog.Empty() && m_bAppWritable)
        {
            return 0;
        }
        return m_link.MsUntilAckOverdue(now);
    default: // Connect and Open act at once; Exit and Invalid are ended at once
        return 0;
    }
}
