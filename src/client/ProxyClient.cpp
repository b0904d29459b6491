#include "client/ProxyClient.h"

#include "client/Settings.h"
#include "common/Assert.h"
#include "common/Log.h"
#include "common/MyString.h"
#include "common/Network.h"
#include "platform/MessageBox.h"
#include "platform/WaitSet.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/TextFormat.h"

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

} // namespace

CProxyClient::CProxyClient(CProxyStats* stats, SOCKET clientTCPSocket,
                           const SocketAddress& clientAddress, bool proxyAware,
                           const std::string& folder, ISocketLayer& sockets, IClock& clock)
    : m_sockets(sockets), m_clock(clock), m_pLog(CLog::GetInstance()),
      m_pSettings(CSettings::GetInstance()), m_pStats(stats), m_folder(folder),
      m_clientTCPSocket(clientTCPSocket), m_clientAddress(clientAddress), m_bProxyAware(proxyAware)
{
    TQ_ASSERT(INVALID_SOCKET != clientTCPSocket);
    TQ_ASSERT_TEXT(NULL != stats, "NULL != pStats");
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
    if (m_serverUDPSocket != INVALID_SOCKET)
    {
        m_sockets.Close(m_serverUDPSocket);
    }
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

void CProxyClient::Step(uint32_t now)
{
    m_dwNow = now;
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
    TQ_ASSERT(INVALID_SOCKET == m_serverUDPSocket);
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
    m_serverUDPSocket = m_sockets.CreateUdpSocket();
    if (m_serverUDPSocket == INVALID_SOCKET)
    {
        const int code = m_sockets.GetLastError();
        m_pLog->Print(LOG_INFO, "Error: Unable to create server UDP socket (%d) %s.", code,
                      GetSocketErrorText(code));
        SetState(STATE_EXIT);
        return;
    }
    m_pLog->Print(LOG_DEBUG, "Server UDP socket created (0x%08x).",
                  static_cast<unsigned>(m_serverUDPSocket));
    m_sockets.SetNonBlocking(m_serverUDPSocket);
    WatchServerSocket(WatchMode::Level);
    m_serverAddress = MakeSocketAddress(address, static_cast<uint16_t>(m_nProxyServerPort));
    SendNumbered(PACKET_CONNECT, m_sessionId.bytes);
    m_pLog->Print(LOG_DEBUG, "Connect packet sent (%d)", AsInt(m_nSendNumber));
    SetState(STATE_CONNECTWACK);
    m_dwStateDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
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
        if (m_receivePacket.Type() == PACKET_ACK && m_receivePacket.Number() == m_nSendNumber)
        {
            m_pLog->Print(LOG_DEBUG, "Received ACK for Connect packet (%d)", AsInt(m_nSendNumber));
            ++m_nSendNumber;
            m_bInFlight = false;
            SetState(STATE_WAITFORSESSIONID);
            m_dwStateDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
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
    m_sockets.Close(m_serverUDPSocket);
    m_serverUDPSocket = INVALID_SOCKET;
    m_bInFlight = false;
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
    if (m_receivePacket.Type() == PACKET_ERROR)
    {
        ErrorReceived();
        return;
    }
    if (m_receivePacket.Type() != PACKET_SESSION)
    {
        return;
    }
    const uint32_t number = m_receivePacket.Number();
    m_sessionId = SessionId::FromBytes(m_receivePacket.Payload());
    m_pLog->Print(LOG_DEBUG, "Received Session packet (%d). Session ID = %s", AsInt(number),
                  m_sessionId.ToText().c_str());
    SendAck(number);
    m_pLog->Print(LOG_DEBUG, "ACK sent (%d)", AsInt(number));
    SaveSessionId();
    SetState(STATE_OPEN);
    m_nReceiveNumber = number;
    m_dwStateDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
}

std::vector<uint8_t> CProxyClient::OpenPayload(const std::string& host, int port)
{
    return EncodeUtf16Payload(Utf8ToUtf16(FormatText("%s,%d", host.c_str(), port)), false);
}

void CProxyClient::StepOpen()
{
    SendNumbered(PACKET_OPEN, OpenPayload(m_pszHostAddress, m_nHostPort));
    m_pLog->Print(LOG_DEBUG, "Open packet sent (%d)", AsInt(m_nSendNumber));
    SetState(STATE_OPENWACK);
    m_dwStateDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
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
        return;
    }
    if (m_receivePacket.Type() != PACKET_ACK || m_receivePacket.Number() != m_nSendNumber)
    {
        return;
    }
    m_pLog->Print(LOG_DEBUG, "Received ACK for Open packet (%d)", AsInt(m_nSendNumber));
    ++m_nSendNumber;
    m_nState = STATE_DATA;
    m_pStats->SetFullQuality();
    m_pLog->Print(LOG_DEBUG, "STATE: Data");
    m_bInFlight = false;
    if (!m_initialData.empty())
    {
        m_dwLastActivity = m_dwNow;
        SendNumbered(PACKET_DATA, std::span(reinterpret_cast<const uint8_t*>(m_initialData.data()),
                                            m_initialData.size()));
        m_pLog->Print(LOG_DEBUG, "Sending initial data packet (%d)", AsInt(m_nSendNumber));
        m_initialData.clear();
    }
}

void CProxyClient::ErrorReceived()
{
    const uint32_t number = m_receivePacket.Number();
    const std::string text = Utf16ToUtf8(DecodeUtf16Payload(m_receivePacket.Payload()));
    m_pLog->Print(LOG_INFO, "Received Error packet from Proxy Server (%d): %s", AsInt(number),
                  text.c_str());
    SendAck(number);
    m_pLog->Print(LOG_DEBUG, "ACK sent (%d)", AsInt(number));
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
    if (m_bWatched)
    {
        // Nothing was reported: the read would only find an empty queue.
        if (!m_bServerReadable)
        {
            return false;
        }
        m_bServerReadable = false;
    }
    SocketAddress from;
    int addressLength = 0;
    m_sockets.SetLastError(0);
    const int result =
        m_sockets.RecvFrom(m_serverUDPSocket, m_receivePacket.Buffer(), from, addressLength);
    if (result < 0)
    {
        HandleReceiveError(m_sockets.GetLastError());
        return false;
    }
    const size_t length = static_cast<size_t>(result);
    m_receivePacket.SetLength(length);
    if (addressLength != static_cast<int>(sizeof(SocketAddress)) || from.family != AF_INET_FAMILY)
    {
        m_pLog->Print(LOG_DEBUG, "Invalid address type of UDP packet.");
        return false;
    }
    if (length == TunnelPacket::HEADER_SIZE && m_receivePacket.Type() == PACKET_NOSESSION)
    {
        if (!m_receivePacket.IsValidFor(PacketReceiver::Client))
        {
            return false;
        }
        if (from.address == m_serverAddress.address)
        {
            SetState(STATE_INVALID);
            return false;
        }
    }
    if (!AcceptSender(mode, from, length))
    {
        return false;
    }
    if (!m_receivePacket.IsValidFor(PacketReceiver::Client))
    {
        m_pLog->Print(LOG_DEBUG, "Invalid UDP packet ignored.");
        return false;
    }
    return true;
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

// Strict: the whole sender address must be the server's. Adopt-port: the IPv4
// address must be the server's, whose port then becomes the sender's.
bool CProxyClient::AcceptSender(ReceiveMode mode, const SocketAddress& from, size_t length)
{
    uint8_t bytes[4];
    AddressBytes(from.address, bytes);
    if (mode == ReceiveMode::AdoptPort)
    {
        if (from.address == m_serverAddress.address)
        {
            m_serverAddress.port = from.port;
            return true;
        }
        m_pLog->Print(LOG_DEBUG,
                      "Rogue UDP packet received, ignored (address only). Address = %d.%d.%d.%d",
                      bytes[0], bytes[1], bytes[2], bytes[3]);
    }
    else
    {
        if (from == m_serverAddress)
        {
            return true;
        }
        m_pLog->Print(LOG_DEBUG,
                      "Rogue UDP packet received, ignored (address & port). Address = "
                      "%d.%d.%d.%d, port = %d",
                      bytes[0], bytes[1], bytes[2], bytes[3], NetToHost16(from.port));
    }
    DumpPacket(*m_pLog, m_receivePacket.Buffer().first(length));
    return false;
}

void CProxyClient::SendNumbered(uint8_t type, std::span<const uint8_t> payload)
{
    m_sendPacket.Build(type, m_nSendNumber, payload);
    Resend();
}

// The send buffer goes out unchanged: same number, same checksum.
void CProxyClient::Resend()
{
    const uint32_t now = m_dwNow;
    m_sockets.SendTo(m_serverUDPSocket, m_sendPacket.Bytes(), m_serverAddress);
    m_pStats->Send(now);
    m_bInFlight = true;
    m_dwRetransmitDeadline = now + PROTOCOL_TIMEOUT_MS;
}

void CProxyClient::SendAck(uint32_t number)
{
    TunnelPacket ack;
    ack.Build(PACKET_ACK, number);
    m_sockets.SendTo(m_serverUDPSocket, ack.Bytes(), m_serverAddress);
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
        MakeSocketAddress(m_serverAddress.address, static_cast<uint16_t>(m_nProxyServerPort));
    m_sockets.SendTo(m_serverUDPSocket, probe.Bytes(), clientPort);
}

// ---------------------------------------------------------------------------
// Waiting

void CProxyClient::AddWaits(CWaitSet& waitSet)
{
    const uint32_t now = m_clock.TickCount();
    // While draining, nothing reads the UDP socket: waiting on it would spin.
    if (m_serverUDPSocket != INVALID_SOCKET && !m_bDraining)
    {
        waitSet.AddRead(m_serverUDPSocket);
    }
    if (!m_appBacklog.Empty())
    {
        waitSet.AddWrite(m_clientTCPSocket);
    }
    switch (m_nState)
    {
    case STATE_PRECONNECT:
        if (!m_bReadingConnectInfo)
        {
            waitSet.LimitTimeout(0);
            break;
        }
        waitSet.AddRead(m_clientTCPSocket);
        waitSet.LimitTimeout(TickRemaining(now, m_dwConnectInfoDeadline));
        break;
    case STATE_CONNECTWACK:
    case STATE_WAITFORSESSIONID:
    case STATE_OPENWACK:
        waitSet.LimitTimeout(TickRemaining(now, m_dwStateDeadline));
        break;
    case STATE_DATA:
        if (!m_bInFlight && !m_bDraining)
        {
            waitSet.AddRead(m_clientTCPSocket);
        }
        waitSet.LimitTimeout(TickRemaining(now, DataDeadline(now)));
        break;
    case STATE_WAITFINALACK:
        waitSet.LimitTimeout(TickRemaining(now, m_dwFinalDeadline + 1));
        break;
    default: // Connect and Open act at once; Exit and Invalid are ended at once
        waitSet.LimitTimeout(0);
        break;
    }
}

void CProxyClient::WatchSockets(uint64_t serverToken, uint64_t applicationToken)
{
    m_bWatched = true;
    m_nServerToken = serverToken;
    m_nApplicationToken = applicationToken;
    m_sockets.Watch(m_clientTCPSocket, applicationToken, WatchMode::Edge);
    WatchServerSocket(WatchMode::Level);
}

void CProxyClient::WatchServerSocket(WatchMode mode)
{
    if (m_bWatched && m_serverUDPSocket != INVALID_SOCKET)
    {
        m_sockets.Watch(m_serverUDPSocket, m_nServerToken, mode);
    }
}

void CProxyClient::SetReady(uint64_t token, bool readable, bool writable)
{
    if (token == m_nServerToken)
    {
        m_bServerReadable = m_bServerReadable || readable;
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
    case STATE_CONNECTWACK:
    case STATE_WAITFORSESSIONID:
    case STATE_OPENWACK:
        return TickRemaining(now, m_dwStateDeadline);
    case STATE_DATA:
        return DataMsUntilDue(now);
    case STATE_WAITFINALACK:
        if (!m_appBacklog.Empty() && m_bAppWritable)
        {
            return 0;
        }
        return TickRemaining(now, m_dwFinalDeadline + 1);
    default: // Connect and Open act at once; Exit and Invalid are ended at once
        return 0;
    }
}
