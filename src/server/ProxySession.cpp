#include "server/ProxySession.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/MyString.h"
#include "common/Network.h"
#include "platform/WaitSet.h"
#include "server/ServerSettings.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/TextFormat.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <limits>

using tunnel_detail::FormatText;

namespace
{

constexpr int SOCKET_ADDRESS_LENGTH = static_cast<int>(sizeof(SocketAddress));
constexpr int64_t FILE_TIME_UNITS_PER_SECOND = 10000000;
constexpr int64_t FILE_TIME_UNITS_PER_MS = 10000;
constexpr int MAX_PORT = 65535;

const char* StateName(int state)
{
    static constexpr const char* names[] = {"Connect", "SessionID", "SessionID_WACK",
                                            "WaitForOpen", "Data", "Exit", "WaitFinalACK"};
    return state >= 0 && state < static_cast<int>(std::size(names)) ? names[state] : "?";
}

// Milliseconds until a deadline that fires once the tick count is later than it.
uint32_t RemainingUntilPassed(uint32_t now, uint32_t deadline)
{
    return TickPassed(now, deadline) ? 0u : TickRemaining(now, deadline) + 1;
}

} // namespace

CProxySession::CProxySession(const SessionId& sessionId, std::span<const uint8_t> connectPacket,
                             const SocketAddress& clientAddress, ISocketLayer& sockets,
                             IClock& clock)
    : m_sockets(sockets), m_clock(clock), m_pLog(CLog::GetInstance()),
      m_pServerSettings(CServerSettings::GetInstance()), m_clientAddress(clientAddress),
      m_clientId(FormatAddress(clientAddress)), m_sessionId(sessionId)
{
    const uint8_t* pConnectPacket = connectPacket.data();
    TQ_ASSERT(NULL != pConnectPacket);
    TQ_ASSERT(NULL != m_pLog);
    TQ_ASSERT(NULL != m_pServerSettings);
    m_receivePacket.Assign(connectPacket.first(std::min(connectPacket.size(), TunnelPacket::MAX_SIZE)));
    m_connectTime = m_clock.LocalTime();
    m_lastActivityTime = m_connectTime;
    m_lastSeenTime = m_connectTime;
    m_lastActivityUtc = m_clock.UtcTime();
    LogLine(CLog::LEVEL_DEBUG, "STATE: Connect");
}

CProxySession::~CProxySession()
{
    LogLine(CLog::LEVEL_INFO, "Client session ended.");
    CloseHostSocket();
    if (m_clientUDPSocket != INVALID_SOCKET)
        m_sockets.Close(m_clientUDPSocket);
}

void CProxySession::LogLine(int level, const char* format, ...)
{
    if (level > m_pLog->GetLogLevel())
        return;
    va_list args;
    va_start(args, format);
    std::array<char, CLog::LINE_BUFFER_SIZE> text{};
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    m_pLog->Print(level, "[%s] %s", m_clientId.c_str(), text.data());
}

void CProxySession::SetState(int state, const char* logSuffix)
{
    m_nState = state;
    LogLine(CLog::LEVEL_DEBUG, "STATE: %s%s", StateName(state), logSuffix);
}

bool CProxySession::Step(uint32_t now)
{
    m_dwNow = now;
    switch (m_nState)
    {
    case STATE_CONNECT: StepConnect(); break;
    case STATE_SESSIONID: StepSessionId(); break;
    case STATE_SESSIONID_WACK: StepSessionIdWack(); break;
    case STATE_WAITFOROPEN: StepWaitForOpen(); break;
    case STATE_DATA: StepData(); break;
    case STATE_EXIT: break;
    case STATE_WAITFINALACK: StepWaitFinalAck(); break;
    default:
        LogLine(CLog::LEVEL_DEBUG, "Invalid session state %d.", m_nState);
        m_nState = STATE_EXIT;
        return false;
    }
    return true;
}

// ---- Sending ------------------------------------------------------------------------

void CProxySession::SendNumbered(uint8_t type, std::span<const uint8_t> payload)
{
    m_sendPacket.Build(type, m_nSendNumber, payload);
    Retransmit();
}

void CProxySession::Retransmit()
{
    m_sockets.SendTo(m_clientUDPSocket, m_sendPacket.Bytes(), m_clientAddress);
    m_stats.Send(m_dwNow);
    m_bInFlight = true;
    m_dwRetransmitDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
}

void CProxySession::SendAck(uint32_t number)
{
    TunnelPacket ack;
    ack.Build(PACKET_ACK, number);
    m_sockets.SendTo(m_clientUDPSocket, ack.Bytes(), m_clientAddress);
}

void CProxySession::SendError(const std::string& message)
{
    // The text and its terminating zero must fit one packet.
    std::u16string text = Utf8ToUtf16(message);
    text.resize(std::min(text.size(), TunnelPacket::MAX_PAYLOAD / 2 - 1));
    SendNumbered(PACKET_ERROR, EncodeUtf16Payload(text, true));
    m_dwFinalAckDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
    LogLine(CLog::LEVEL_ERROR, "Error packet sent (%d): %s", static_cast<int>(m_nSendNumber),
            message.c_str());
    SetState(STATE_WAITFINALACK, ".");
}

void CProxySession::SendClose()
{
    SendNumbered(PACKET_CLOSE, {});
    LogLine(CLog::LEVEL_DEBUG, "Close packet sent (%d)", static_cast<int>(m_nSendNumber));
    m_dwFinalAckDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
    SetState(STATE_WAITFINALACK, "");
}

// ---- Receiving ----------------------------------------------------------------------

bool CProxySession::Receive(bool addressOnly)
{
    if (m_bWatched)
    {
        // Nothing was reported: the read would only find an empty queue.
        if (!m_bClientReadable)
            return false;
        m_bClientReadable = false;
    }
    SocketAddress from;
    int addressLength = SOCKET_ADDRESS_LENGTH;
    m_sockets.SetLastError(0);
    const int received =
        m_sockets.RecvFrom(m_clientUDPSocket, m_receivePacket.Buffer(), from, addressLength);
    if (received < 0)
    {
        ReceiveFailed(m_sockets.GetLastError());
        return false;
    }
    const std::span<const uint8_t> datagram = m_receivePacket.Buffer().first(
        std::min(static_cast<size_t>(received), TunnelPacket::MAX_SIZE));
    if (addressLength != SOCKET_ADDRESS_LENGTH)
    {
        LogLine(CLog::LEVEL_DEBUG, "Invalid address type of UDP packet.");
        return false;
    }
    if (!AcceptSender(from, addressOnly, datagram))
        return false;
    m_receivePacket.SetLength(datagram.size());
    if (!m_receivePacket.IsValidFor(PacketReceiver::ServerSession))
    {
        LogLine(CLog::LEVEL_DEBUG, "Invalid UDP packet ignored.");
        return false;
    }
    return true;
}

void CProxySession::ReceiveFailed(int error)
{
    if (error != WSAECONNRESET)
        return; // an empty queue or a passing error: nothing to do
    LogLine(CLog::LEVEL_ERROR, "UDP connection lost, error: %d. %s.", error,
            GetSocketErrorText(error));
    SetState(STATE_EXIT, "");
}

bool CProxySession::AcceptSender(const SocketAddress& from, bool addressOnly,
                                 std::span<const uint8_t> datagram)
{
    const bool same = addressOnly ? from.address == m_clientAddress.address
                                  : from == m_clientAddress;
    if (!same)
    {
        LogLine(CLog::LEVEL_DEBUG, "Rogue UDP packet received, ignored (%s). Address = %s",
                addressOnly ? "address only" : "address & port", FormatAddress(from).c_str());
        DumpPacket(*m_pLog, datagram);
        return false;
    }
    if (addressOnly && from.port != m_clientAddress.port)
    {
        // The client's packets now come from another port: answer there.
        m_clientAddress.port = from.port;
        m_clientId = FormatAddress(m_clientAddress);
    }
    return true;
}

// ---- Handshake ----------------------------------------------------------------------

void CProxySession::StepConnect()
{
    TQ_ASSERT(INVALID_SOCKET == m_clientUDPSocket);
    if (m_receivePacket.Type() != PACKET_CONNECT ||
        !m_receivePacket.IsValidFor(PacketReceiver::ServerSession))
    {
        SetState(STATE_EXIT, ".");
        return;
    }
    m_clientUDPSocket = m_sockets.CreateUdpSocket();
    if (m_clientUDPSocket == INVALID_SOCKET)
    {
        SetState(STATE_EXIT, ".");
        return;
    }
    m_sockets.SetNonBlocking(m_clientUDPSocket);
    if (m_bWatched)
        m_sockets.Watch(m_clientUDPSocket, m_nClientToken, WatchMode::Level);
    m_nReceiveNumber = m_receivePacket.Number();
    SendAck(m_nReceiveNumber);
    SetState(STATE_SESSIONID, ".");
}

void CProxySession::StepSessionId()
{
    SendNumbered(PACKET_SESSION, m_sessionId.bytes);
    LogLine(CLog::LEVEL_DEBUG, "Session ID packet sent (%d)", static_cast<int>(m_nSendNumber));
    m_dwHandshakeDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
    SetState(STATE_SESSIONID_WACK, ".");
}

void CProxySession::StepSessionIdWack()
{
    if (Receive(true))
    {
        if (m_receivePacket.Type() == PACKET_ACK && m_receivePacket.Number() == m_nSendNumber)
        {
            LogLine(CLog::LEVEL_DEBUG, "Received ACK for packet (%d)",
                    static_cast<int>(m_nSendNumber));
            ++m_nSendNumber;
            m_bInFlight = false;
            m_dwHandshakeDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
            SetState(STATE_WAITFOROPEN, ".");
        }
        return;
    }
    CheckHandshakeTimeout();
}

void CProxySession::CheckHandshakeTimeout()
{
    if (m_nState == STATE_EXIT || !TickReached(m_dwNow, m_dwHandshakeDeadline))
        return;
    LogLine(CLog::LEVEL_ERROR, "Error: Connect timeout");
    SetState(STATE_EXIT, ".");
}

void CProxySession::StepWaitForOpen()
{
    if (m_bLookupPending)
    {
        StepHostLookup();
        return;
    }
    if (m_bHostConnecting)
    {
        // The client's packets wait in the socket until the host connection is made.
        StepHostConnecting();
        return;
    }
    if (Receive(false))
    {
        if (m_receivePacket.Type() == PACKET_OPEN &&
            m_receivePacket.Number() == m_nReceiveNumber + 1)
            HandleOpen();
        return;
    }
    CheckHandshakeTimeout();
}

void CProxySession::HandleOpen()
{
    const std::u16string text = DecodeUtf16Payload(m_receivePacket.Payload());
    std::u16string host;
    std::u16string port;
    const auto rest = SplitTokenW(text, u',', host, MAX_FIELD_LENGTH + 1);
    if (rest)
        SplitTokenW(*rest, u',', port, MAX_FIELD_LENGTH + 1);
    const int portNumber = port.empty() ? 0 : ReadDecimalW(port);
    if (host.empty() || portNumber <= 0)
        return; // not a usable Open: the client sends it again or times out
    TQ_ASSERT_TEXT(m_pszHostAddress.empty(), "NULL == m_pszHostAddress");
    m_pszHostAddress = Utf16ToUtf8(host);
    m_nHostPort = portNumber;
    const uint32_t number = m_receivePacket.Number();
    SendAck(number);
    LogLine(CLog::LEVEL_DEBUG, "ACK sent (%d)", static_cast<int>(number));
    m_nReceiveNumber = number;
    StartHostConnect();
}

// ---- Host connection ----------------------------------------------------------------

void CProxySession::StartHostConnect()
{
    // A name goes to the resolver; the client's packets wait meanwhile, and the
    // connect's time limit runs from here.
    if (m_pResolver != nullptr && ParseDottedAddress(m_pszHostAddress) == 0xFFFFFFFFu)
    {
        m_bLookupPending = true;
        m_dwHostConnectDeadline = m_dwNow + HOST_CONNECT_TIMEOUT_MS;
        m_pResolver->Start(m_nClientToken / 2, m_pszHostAddress);
        if (m_bWatched)
            PauseClientSocket(true);
        return;
    }
    uint32_t address = 0;
    if (!m_sockets.ResolveAddress(m_pszHostAddress, address))
    {
        SendError("Network error, invalid IP address.");
        return;
    }
    ConnectHost(address);
}

void CProxySession::HostLookupAnswered(bool found, uint32_t address)
{
    m_bLookupAnswered = m_bLookupPending;
    m_bLookupFound = found;
    m_dwLookupAddress = address;
}

void CProxySession::StepHostLookup()
{
    if (!m_bLookupAnswered && !TickReached(m_dwNow, m_dwHostConnectDeadline))
        return;
    m_bLookupPending = false;
    if (m_bWatched)
        PauseClientSocket(false);
    if (!m_bLookupAnswered)
        SendError("Server connect timeout.");
    else if (!m_bLookupFound)
        SendError("Network error, invalid IP address.");
    else
        ConnectHost(m_dwLookupAddress);
}

void CProxySession::ConnectHost(uint32_t address)
{    if (m_nHostPort > MAX_PORT)
    {
        // No such port: never the port cut to 16 bits. Refused as a connect would be.
        HostConnectFailed(WSAEADDRNOTAVAIL);
        return;
    }
    m_hostSocket = m_sockets.CreateTcpSocket();
    if (m_hostSocket == INVALID_SOCKET || !m_sockets.SetNonBlocking(m_hostSocket))
    {
        CloseHostSocket();
        SendError("Fatal network error, unable to create server socket.");
        return;
    }
    m_hostAddress = MakeSocketAddress(address, static_cast<uint16_t>(m_nHostPort));
    m_sockets.SetLastError(0);
    if (m_sockets.Connect(m_hostSocket, m_hostAddress) != SOCKET_ERROR)
    {
        if (m_bWatched)
            m_sockets.Watch(m_hostSocket, m_nHostToken, WatchMode::Edge);
        EnterData();
        return;
    }
    const int error = m_sockets.GetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS)
    {
        HostConnectFailed(error);
        return;
    }
    m_bHostConnecting = true;
    m_dwHostConnectDeadline = m_dwNow + HOST_CONNECT_TIMEOUT_MS;
    if (m_bWatched)
    {
        m_sockets.Watch(m_hostSocket, m_nHostToken, WatchMode::Edge);
        // The client's packets wait in their socket until the host connection is made.
        PauseClientSocket(true);
    }
}

void CProxySession::StepHostConnecting()
{
    int error = 0;
    // Without an event from the host socket the connection is still in progress.
    const bool reported = !m_bWatched || m_bHostReadable || m_bHostWritable;
    const int progress = reported ? m_sockets.ConnectProgress(m_hostSocket, error) : 0;
    if (progress > 0)
    {
        m_bHostConnecting = false;
        PauseClientSocket(false);
        EnterData();
        return;
    }
    m_bHostReadable = false;
    m_bHostWritable = false;
    if (progress < 0)
    {
        m_bHostConnecting = false;
        PauseClientSocket(false);
        HostConnectFailed(error);
    }
    else if (TickReached(m_dwNow, m_dwHostConnectDeadline))
    {
        m_bHostConnecting = false;
        PauseClientSocket(false);
        CloseHostSocket();
        SendError("Server connect timeout.");
    }
}

void CProxySession::HostConnectFailed(int error)
{
    CloseHostSocket();
    if (error == 0)
        SendError("Network connect error.");
    else
        SendError(FormatText("Network connect error %d (%s).", error, GetSocketErrorText(error)));
}

void CProxySession::EnterData()
{
    m_bInFlight = false;
    SetState(STATE_DATA, ".");
}

void CProxySession::CloseHostSocket()
{
    if (m_hostSocket != INVALID_SOCKET)
        m_sockets.Close(m_hostSocket);
    m_hostSocket = INVALID_SOCKET;
    m_bHostReadable = false;
    m_bHostWritable = false;
}

// While the client is not read (host connect, drain), a level-watched socket with a
// datagram waiting would wake the loop at every wait: it is not watched meanwhile.
void CProxySession::PauseClientSocket(bool paused)
{
    if (!m_bWatched || paused == m_bClientPaused || m_clientUDPSocket == INVALID_SOCKET)
        return;
    m_bClientPaused = paused;
    m_sockets.Watch(m_clientUDPSocket, m_nClientToken, paused ? WatchMode::Paused : WatchMode::Level);
}

// ---- Data ---------------------------------------------------------------------------

void CProxySession::StepData()
{
    if (m_bDraining)
    {
        StepDrain();
        return;
    }
    FlushHost();
    const int idleLimit = m_pServerSettings->Values().clientIdleDisconnect;
    if (idleLimit != 0 && GetIdleSeconds() >= idleLimit)
        CloseByIdleTimeout(idleLimit);
    if (Receive(false))
        HandleDataStatePacket();
    else if (m_bInFlight && m_nState == STATE_DATA &&
             TickPassed(m_dwNow, m_dwRetransmitDeadline))
        RetransmitAfterTimeout();
    // Once the client has ended the session (Exit), the host is not read again: a
    // host close in the same step must not revive the session with a Close.
    if (!m_bInFlight && !m_bDraining && m_nState == STATE_DATA)
        ServeHost();
}

void CProxySession::RetransmitAfterTimeout()
{
    m_stats.Timeout();
    Retransmit();
    LogLine(CLog::LEVEL_DEBUG, "Timeout, re-sending data packet (%d)",
            static_cast<int>(m_nSendNumber));
}

void CProxySession::HandleDataStatePacket()
{
    const uint32_t number = m_receivePacket.Number();
    switch (m_receivePacket.Type())
    {
    case PACKET_DATA: HandleDataPacket(); break;
    case PACKET_ACK: HandleAck(); break;
    case PACKET_CLOSE:
        LogLine(CLog::LEVEL_DEBUG, "Received Close packet from Proxy Client (%d)",
                static_cast<int>(number));
        ClientClosed(number);
        break;
    case PACKET_ERROR:
        LogLine(CLog::LEVEL_ERROR, "Received Error packet from Proxy Client (%d): %s",
                static_cast<int>(number),
                Utf16ToUtf8(DecodeUtf16Payload(m_receivePacket.Payload())).c_str());
        ClientClosed(number);
        break;
    default: LogLine(CLog::LEVEL_DEBUG, "Received UDP packet with unknown type."); break;
    }
}

void CProxySession::ClientClosed(uint32_t number)
{
    SendAck(number);
    LogLine(CLog::LEVEL_DEBUG, "ACK sent (%d)", static_cast<int>(number));
    if (!m_hostBacklog.Empty() && m_nState == STATE_DATA)
    {
        // Bytes the client was told arrived must still reach the host.
        m_bDraining = true;
        m_dwDrainDeadline = m_dwNow + HOST_DRAIN_LIMIT_MS;
        PauseClientSocket(true);
        return;
    }
    SetState(STATE_EXIT, "");
}

void CProxySession::HandleDataPacket()
{
    const uint32_t number = m_receivePacket.Number();
    if (number == m_nReceiveNumber)
    {
        LogLine(CLog::LEVEL_DEBUG, "Received duplicate data packet (%d), ACKing it again",
                static_cast<int>(number));
        SendAck(number);
        CProxyStats::Count(m_stats.m_nDuplicateData);
        return;
    }
    if (number != m_nReceiveNumber + 1)
    {
        LogLine(CLog::LEVEL_DEBUG, "Received out of synch data packet (%d)",
                static_cast<int>(number));
        CProxyStats::Count(m_stats.m_nOutOfSynchData);
        return;
    }
    if (m_receivePacket.PayloadLength() > 0)
    {
        if (!DeliverToHost())
            return;
    }
    else
    {
        LogLine(CLog::LEVEL_DEBUG, "Received ping packet (%d)", static_cast<int>(number));
        CProxyStats::Count(m_stats.m_nPings);
        TouchActivity(false);
    }
    ++m_nReceiveNumber;
    SendAck(number);
    CProxyStats::Count(m_stats.m_nAcksSent);
    LogLine(CLog::LEVEL_DEBUG, "ACK sent (%d)", static_cast<int>(number));
}

bool CProxySession::DeliverToHost()
{
    const std::span<const uint8_t> payload = m_receivePacket.Payload();
    const int number = static_cast<int>(m_receivePacket.Number());
    if (!m_hostBacklog.CanAccept(payload.size()))
    {
        // Without an ACK the client sends the packet again later.
        LogLine(CLog::LEVEL_DEBUG, "Host not keeping up, data packet (%d) not acknowledged",
                number);
        return false;
    }
    if (!WriteHost(payload))
    {
        // It cannot reach the host: the client must not count it as delivered.
        LogLine(CLog::LEVEL_DEBUG, "Host connection failed, data packet (%d) not acknowledged",
                number);
        return false;
    }
    LogLine(CLog::LEVEL_DEBUG, "Received data packet (%d)", number);
    CProxyStats::Count(m_stats.m_nBytesReceived, payload.size());
    m_stats.DataReceived();
    TouchActivity(true);
    return true;
}

void CProxySession::HandleAck()
{
    const uint32_t number = m_receivePacket.Number();
    if (!m_bInFlight)
    {
        LogLine(CLog::LEVEL_DEBUG, "Received ACK unexpectedly (%d)", static_cast<int>(number));
        CProxyStats::Count(m_stats.m_nAckErrors2);
        return;
    }
    if (number != m_nSendNumber)
    {
        LogLine(CLog::LEVEL_DEBUG, "Received out of synch ACK (%d)", static_cast<int>(number));
        CProxyStats::Count(m_stats.m_nAckErrors1);
        return;
    }
    const uint32_t now = m_dwNow;
    LogLine(CLog::LEVEL_DEBUG, "Received ACK for packet %d (RTT = %d)", static_cast<int>(number),
            static_cast<int>(now - m_stats.m_dwLastSendTime));
    ++m_nSendNumber;
    m_bInFlight = false;
    m_stats.AckReceived(now, static_cast<int>(m_sendPacket.PayloadLength()));
    CProxyStats::Count(m_stats.m_nDataPacketsSent);
    CProxyStats::Count(m_stats.m_nAcksReceived);
    TouchActivity(true);
}

void CProxySession::TouchActivity(bool activity)
{
    const DateTime now = m_clock.LocalTime();
    if (activity)
    {
        m_lastActivityTime = now;
        m_lastActivityUtc = m_clock.UtcTime();
    }
    m_lastSeenTime = now;
}

// ---- The host side ------------------------------------------------------------------

// False when the host's connection has failed, now or before: the data is not taken.
bool CProxySession::WriteHost(std::span<const uint8_t> data)
{
    if (m_nHostError != 0)
        return false;
    const size_t acknowledged = m_hostBacklog.Size();
    int error = 0;
    if (!m_hostBacklog.Write(m_sockets, m_hostSocket, data, error))
    {
        HostWriteFailed(error, acknowledged);
        return false;
    }
    if (!m_hostBacklog.Empty())
        m_bHostWritable = false; // the socket took less: wait for its next edge
    return true;
}

void CProxySession::FlushHost()
{
    if (m_hostBacklog.Empty() || (m_bWatched && !m_bHostWritable))
        return;
    int error = 0;
    if (!m_hostBacklog.Flush(m_sockets, m_hostSocket, error))
        HostWriteFailed(error, m_hostBacklog.Size());
    if (!m_hostBacklog.Empty())
        m_bHostWritable = false;
}

// The connection is broken: nothing reaches the host any more. Bytes that it held had
// been acknowledged to the client, so their loss is reported at once; the client is
// told of the failure in an Error packet as soon as nothing is in flight.
void CProxySession::HostWriteFailed(int error, size_t acknowledged)
{
    LogLine(CLog::LEVEL_DEBUG, "Host write error %d (%s)", error, GetSocketErrorText(error));
    if (acknowledged > 0)
        LogLine(CLog::LEVEL_ERROR, "%d bytes for the host were lost.",
                static_cast<int>(acknowledged));
    m_hostBacklog.Clear();
    m_nHostError = error != 0 ? error : WSAECONNRESET;
}

void CProxySession::ReportHostFailure()
{
    SendError(FormatText("TCP host connection lost, error: %d (%s).", m_nHostError,
                         GetSocketErrorText(m_nHostError)));
}

bool CProxySession::KeepForHostBytes()
{
    if (m_bDraining)
        return true;
    if (m_nState != STATE_DATA || m_hostBacklog.Empty())
        return false;
    m_dwNow = m_clock.TickCount();
    LogLine(CLog::LEVEL_DEBUG, "Client started a new session, %d bytes still go to the host",
            static_cast<int>(m_hostBacklog.Size()));
    m_bDraining = true;
    m_dwDrainDeadline = m_dwNow + HOST_DRAIN_LIMIT_MS;
    PauseClientSocket(true);
    return true;
}

void CProxySession::StepDrain()
{
    FlushHost();
    if (!m_hostBacklog.Empty() && TickReached(m_dwNow, m_dwDrainDeadline))
        GiveUpHostBytes();
    if (m_hostBacklog.Empty())
    {
        m_bDraining = false;
        SetState(STATE_EXIT, "");
    }
}

void CProxySession::ServeHost()
{
    if (m_nHostError != 0)
    {
        ReportHostFailure();
        return;
    }
    if (m_bHostClosed)
    {
        // The host ended earlier: close towards the client once its bytes are out, or
        // once the drain limit has passed.
        if (!m_hostBacklog.Empty() && TickReached(m_dwNow, m_dwDrainDeadline))
            GiveUpHostBytes();
        if (m_hostBacklog.Empty())
            SendClose();
        return;
    }
    ReadHost();
}

void CProxySession::GiveUpHostBytes()
{
    LogLine(CLog::LEVEL_ERROR, "%d bytes for the host were lost.",
            static_cast<int>(m_hostBacklog.Size()));
    m_hostBacklog.Clear();
}

void CProxySession::ReadHost()
{
    if (m_bWatched && !m_bHostReadable)
        return; // nothing arrived since a read found the socket empty
    std::array<uint8_t, TunnelPacket::MAX_PAYLOAD> buffer;
    m_sockets.SetLastError(0);
    const int received = m_sockets.Recv(m_hostSocket, buffer);
    if (received > 0)
    {
        SendNumbered(PACKET_DATA, std::span<const uint8_t>(buffer).first(
                                      std::min(static_cast<size_t>(received), buffer.size())));
        LogLine(CLog::LEVEL_DEBUG, "Sending data packet (%d)", static_cast<int>(m_nSendNumber));
        return;
    }
    if (received == 0)
    {
        LogLine(CLog::LEVEL_INFO, "TCP host gracefully closed the connection.");
        m_bHostClosed = true;
        m_dwDrainDeadline = m_dwNow + HOST_DRAIN_LIMIT_MS;
        if (m_hostBacklog.Empty())
            SendClose();
        return;
    }
    const int error = m_sockets.GetLastError();
    if (error == WSAEWOULDBLOCK)
    {
        // Readable until a read finds nothing: a short read may have left the host's
        // close behind it (its last bytes and its close are reported as one change).
        m_bHostReadable = false;
        return;
    }
    SendError(FormatText("TCP host connection lost, error: %d (%s).", error,
                         GetSocketErrorText(error)));
}

// ---- Closing ------------------------------------------------------------------------

void CProxySession::CloseByIdleTimeout(int limitSeconds)
{
    LogLine(CLog::LEVEL_INFO, "Session closed by idle timeout (%d seconds).", limitSeconds);
    SendClose();
}

void CProxySession::CloseByAdministrator()
{
    m_dwNow = m_clock.TickCount();
    LogLine(CLog::LEVEL_INFO, "Session closed by administrator.");
    if (m_bHostConnecting)
    {
        m_bHostConnecting = false;
        CloseHostSocket();
    }
    m_bDraining = false;
    PauseClientSocket(false);
    SendClose();
}

void CProxySession::StepWaitFinalAck()
{
    if (Receive(true))
    {
        if (m_receivePacket.Type() == PACKET_ACK && m_receivePacket.Number() == m_nSendNumber)
        {
            LogLine(CLog::LEVEL_DEBUG, "Received ACK for packet (%d)",
                    static_cast<int>(m_nSendNumber));
            SetState(STATE_EXIT, ".");
        }
        return;
    }
    if (m_nState == STATE_WAITFINALACK && TickPassed(m_dwNow, m_dwFinalAckDeadline))
    {
        LogLine(CLog::LEVEL_ERROR, "Error: Timeout when waiting for final ACK (%d)",
                static_cast<int>(m_nSendNumber));
        SetState(STATE_EXIT, ".");
    }
}

// ---- Queries ------------------------------------------------------------------------

std::string CProxySession::GetStatisticsText() const
{
    return m_stats.FormatStatisticsText(m_connectTime, m_lastActivityTime, m_lastSeenTime);
}

int CProxySession::GetIdleSeconds()
{
    const int64_t seconds = IdleFileTime() / FILE_TIME_UNITS_PER_SECOND;
    return static_cast<int>(std::clamp<int64_t>(seconds, std::numeric_limits<int>::min(),
                                                 std::numeric_limits<int>::max()));
}

int64_t CProxySession::IdleFileTime()
{
    uint64_t now = 0;
    uint64_t lastActivity = 0;
    const bool nowOk = DateTimeToFileTime(m_clock.UtcTime(), now);
    if (!nowOk || !DateTimeToFileTime(m_lastActivityUtc, lastActivity))
        m_pLog->Print(CLog::LEVEL_ERROR, "Fatal error, unable to convert time.");
    return static_cast<int64_t>(now) - static_cast<int64_t>(lastActivity);
}

// Milliseconds until the idle limit closes the session, so that the loop wakes then.
uint32_t CProxySession::IdleRemainingMs(int limitSeconds)
{
    const int64_t remaining =
        static_cast<int64_t>(limitSeconds) * FILE_TIME_UNITS_PER_SECOND - IdleFileTime();
    if (remaining <= 0)
        return 0;
    const int64_t ms = (remaining + FILE_TIME_UNITS_PER_MS - 1) / FILE_TIME_UNITS_PER_MS;
    return static_cast<uint32_t>(std::min<int64_t>(ms, std::numeric_limits<uint32_t>::max()));
}

void CProxySession::AddWaits(CWaitSet& waitSet)
{
    const uint32_t now = m_clock.TickCount();
    const bool receiving = m_nState == STATE_SESSIONID_WACK || m_nState == STATE_WAITFINALACK ||
                           (m_nState == STATE_WAITFOROPEN && !m_bHostConnecting) ||
                           (m_nState == STATE_DATA && !m_bDraining);
    if (receiving)
        waitSet.AddRead(m_clientUDPSocket);
    if (m_bHostConnecting || (m_nState == STATE_DATA && !m_hostBacklog.Empty()))
        waitSet.AddWrite(m_hostSocket);
    if (m_nState == STATE_DATA && !m_bDraining && !m_bInFlight && !m_bHostClosed)
        waitSet.AddRead(m_hostSocket);
    const uint32_t due = MsUntilDue(now);
    if (due != NOT_DUE)
        waitSet.LimitTimeout(due);
}

void CProxySession::WatchSockets(uint64_t clientToken, uint64_t hostToken)
{
    m_bWatched = true;
    m_nClientToken = clientToken;
    m_nHostToken = hostToken;
}

void CProxySession::SetReady(uint64_t token, bool readable, bool writable)
{
    if (token == m_nClientToken)
    {
        m_bClientReadable = m_bClientReadable || readable;
        return;
    }
    m_bHostReadable = m_bHostReadable || readable;
    m_bHostWritable = m_bHostWritable || writable;
}

uint32_t CProxySession::MsUntilDue(uint32_t now)
{
    switch (m_nState)
    {
    case STATE_SESSIONID_WACK: return TickRemaining(now, m_dwHandshakeDeadline);
    case STATE_WAITFOROPEN:
        if (m_bLookupPending)
            return m_bLookupAnswered ? 0 : TickRemaining(now, m_dwHostConnectDeadline);
        if (!m_bHostConnecting)
            return TickRemaining(now, m_dwHandshakeDeadline);
        return m_bHostReadable || m_bHostWritable ? 0 : TickRemaining(now, m_dwHostConnectDeadline);
    case STATE_DATA: return DataMsUntilDue(now);
    case STATE_WAITFINALACK: return RemainingUntilPassed(now, m_dwFinalAckDeadline);
    default: return 0; // Connect and SessionID go on without input; Exit waits for removal
    }
}

// Whether the host socket has work that a step would do now.
bool CProxySession::HostWorkReady() const
{
    if (!m_hostBacklog.Empty() && m_bHostWritable)
        return true;
    if (m_bDraining || m_bInFlight)
        return false;
    if (m_nHostError != 0)
        return true; // the failure goes to the client
    return m_bHostClosed ? m_hostBacklog.Empty() : m_bHostReadable;
}

uint32_t CProxySession::DataMsUntilDue(uint32_t now)
{
    if (HostWorkReady())
        return 0;
    if (m_bDraining)
        return TickRemaining(now, m_dwDrainDeadline);
    uint32_t due = NOT_DUE;
    if (m_bInFlight)
        due = RemainingUntilPassed(now, m_dwRetransmitDeadline);
    else if (m_bHostClosed)
        due = TickRemaining(now, m_dwDrainDeadline);
    const int idleLimit = m_pServerSettings->Values().clientIdleDisconnect;
    if (idleLimit != 0)
        due = std::min(due, IdleRemainingMs(idleLimit));
    return due;
}
