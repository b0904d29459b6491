#include "server/ProxySession.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/MyString.h"
#include "common/Network.h"
#include "server/ServerSettings.h"
#include "tunnel/LinkTiming.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/TextFormat.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>

using tunnel_detail::FormatText;

namespace
{

constexpr int64_t FILE_TIME_UNITS_PER_SECOND = 10000000;
constexpr int64_t FILE_TIME_UNITS_PER_MS = 10000;
constexpr int MAX_PORT = 65535;

const char* StateName(int state)
{
    static constexpr const char* names[] = {"Connect", "SessionID", "SessionID_WACK",
                                            "WaitForOpen", "Data", "Exit", "WaitFinalACK"};
    return state >= 0 && state < static_cast<int>(std::size(names)) ? names[state] : "?";
}

} // namespace

CProxySession::CProxySession(const SessionId& sessionId, std::span<const uint8_t> connectPacket,
                             const SocketAddress& clientAddress, ISocketLayer& sockets,
                             IClock& clock)
    : m_sockets(sockets), m_clock(clock), m_pLog(CLog::GetInstance()),
      m_pServerSettings(CServerSettings::GetInstance()),
      m_link(sockets, m_stats, *this, PacketReceiver::ServerSession, INITIAL_SEND_NUMBER,
             INITIAL_RECEIVE_NUMBER, clientAddress),
      m_sessionId(sessionId)
{
    const uint8_t* pConnectPacket = connectPacket.data();
    TQ_ASSERT(NULL != pConnectPacket);
    TQ_ASSERT(NULL != m_pLog);
    TQ_ASSERT(NULL != m_pServerSettings);
    m_link.Take(connectPacket.first(std::min(connectPacket.size(), TunnelPacket::MAX_SIZE)));
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
    m_link.Close();
}

void CProxySession::LinkLine(int level, const char* text)
{
    m_pLog->Print(level, "[%s] %s", GetClientId().c_str(), text);
}

std::string CProxySession::SenderText(const SocketAddress& from, bool /*addressOnly*/) const
{
    return FormatAddress(from);
}

void CProxySession::NoteEndCause(SessionEndCause cause)
{
    if (m_endCause == SessionEndCause::None)
        m_endCause = cause;
}

void CProxySession::SetState(int state, const char* logSuffix)
{
    m_nState = state;
    LogLine(CLog::LEVEL_DEBUG, "STATE: %s%s", StateName(state), logSuffix);
}

bool CProxySession::Step(uint32_t now)
{
    m_dwNow = now;
    m_link.SetNow(now);
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

void CProxySession::SendError(const std::string& message)
{
    // The text and its terminating zero must fit one packet.
    std::u16string text = Utf8ToUtf16(message);
    text.resize(std::min(text.size(), TunnelPacket::MAX_PAYLOAD / 2 - 1));
    NoteEndCause(SessionEndCause::Error);
    m_link.SendNumbered(PACKET_ERROR, EncodeUtf16Payload(text, true));
    m_link.MarkFinal();
    LogLine(CLog::LEVEL_ERROR, "Error packet sent (%d): %s", static_cast<int>(m_link.SendNumber()),
            message.c_str());
    SetState(STATE_WAITFINALACK, ".");
}

void CProxySession::SendClose()
{
    m_link.SendNumbered(PACKET_CLOSE);
    m_link.MarkFinal();
    LogLine(CLog::LEVEL_DEBUG, "Close packet sent (%d)", static_cast<int>(m_link.SendNumber()));
    SetState(STATE_WAITFINALACK, "");
}

// ---- Receiving ----------------------------------------------------------------------

bool CProxySession::Receive(bool addressOnly)
{
    const CLinkEndpoint::Receipt receipt = m_link.Receive(addressOnly);
    if (receipt == CLinkEndpoint::Receipt::Failed)
        ReceiveFailed(m_link.ReceiveError());
    return receipt == CLinkEndpoint::Receipt::Packet;
}

void CProxySession::ReceiveFailed(int error)
{
    if (error != WSAECONNRESET)
        return; // an empty queue or a passing error: nothing to do
    LogLine(CLog::LEVEL_ERROR, "UDP connection lost, error: %d. %s.", error,
            GetSocketErrorText(error));
    NoteEndCause(SessionEndCause::Error);
    SetState(STATE_EXIT, "");
}

// ---- Handshake ----------------------------------------------------------------------

void CProxySession::StepConnect()
{
    TQ_ASSERT(INVALID_SOCKET == m_link.Socket());
    const TunnelPacket& connect = m_link.Packet();
    if (connect.Type() != PACKET_CONNECT || !connect.IsValidFor(PacketReceiver::ServerSession))
    {
        SetState(STATE_EXIT, ".");
        return;
    }
    const SOCKET socket = m_sockets.CreateUdpSocket();
    if (socket == INVALID_SOCKET)
    {
        SetState(STATE_EXIT, ".");
        return;
    }
    m_sockets.SetNonBlocking(socket);
    m_link.Open(socket, m_link.Peer());
    if (m_bWatched)
        m_sockets.Watch(socket, m_nClientToken, WatchMode::Level);
    m_link.SetReceiveNumber(connect.Number());
    // Our client offers the fast link in its Connect; accepting it is the server's choice.
    if ((connect.Flags() & TunnelPacket::FLAG_FAST_LINK) != 0 &&
        m_pServerSettings->Values().fastLink != 0)
    {
        m_link.UseFastLink();
        LogLine(CLog::LEVEL_DEBUG, "Fast link accepted.");
    }
    m_link.SendAck(connect.Number());
    SetState(STATE_SESSIONID, ".");
}

void CProxySession::StepSessionId()
{
    m_link.SendNumbered(PACKET_SESSION, m_sessionId.bytes,
                        m_link.FastLink() ? TunnelPacket::FLAG_FAST_LINK : 0);
    LogLine(CLog::LEVEL_DEBUG, "Session ID packet sent (%d)",
            static_cast<int>(m_link.SendNumber()));
    m_dwHandshakeDeadline = m_dwNow + link_timing::kHandshakeStepMs;
    SetState(STATE_SESSIONID_WACK, ".");
}

void CProxySession::StepSessionIdWack()
{
    if (Receive(true))
    {
        if (m_link.TakeAckOf(""))
        {
            m_dwHandshakeDeadline = m_dwNow + link_timing::kHandshakeStepMs;
            SetState(STATE_WAITFOROPEN, ".");
        }
        return;
    }
    ResendHandshakeIfDue();
    CheckHandshakeTimeout();
}

// The fast link sends the Session packet again until it is acknowledged; the
// handshake deadline still ends a session that never completes.
void CProxySession::ResendHandshakeIfDue()
{
    if (!m_link.FastLink() || !m_link.AckOverdue())
        return;
    LogLine(CLog::LEVEL_DEBUG, "Timeout, re-sending Session ID packet (%d)",
            static_cast<int>(m_link.SendNumber()));
    m_link.ResendBackingOff();
}

void CProxySession::CheckHandshakeTimeout()
{
    if (m_nState == STATE_EXIT || !TickReached(m_dwNow, m_dwHandshakeDeadline))
        return;
    LogLine(CLog::LEVEL_ERROR, "Error: Connect timeout");
    NoteEndCause(SessionEndCause::Error);
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
        if (m_link.Packet().Type() == PACKET_OPEN &&
            m_link.Packet().Number() == m_link.ReceiveNumber() + 1)
            HandleOpen();
        return;
    }
    CheckHandshakeTimeout();
}

void CProxySession::HandleOpen()
{
    const std::u16string text = DecodeUtf16Payload(m_link.Packet().Payload());
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
    const uint32_t number = m_link.Packet().Number();
    m_link.Acknowledge(number);
    m_link.SetReceiveNumber(number);
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
    if (!m_bWatched || paused == m_bClientPaused || m_link.Socket() == INVALID_SOCKET)
        return;
    m_bClientPaused = paused;
    m_sockets.Watch(m_link.Socket(), m_nClientToken, paused ? WatchMode::Paused : WatchMode::Level);
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
    else if (m_nState == STATE_DATA && m_link.AckOverdue())
    {
        m_link.NoteTimeout();
        m_link.Resend();
    }
    // Once the client has ended the session (Exit), the host is not read again: a
    // host close in the same step must not revive the session with a Close.
    if (!m_bDraining && m_nState == STATE_DATA)
        ServeHost();
}

void CProxySession::HandleDataStatePacket()
{
    const uint32_t number = m_link.Packet().Number();
    switch (m_link.Packet().Type())
    {
    case PACKET_DATA: HandleDataPacket(); break;
    case PACKET_ACK:
        if (m_link.HandleAck())
            TouchActivity(true);
        break;
    case PACKET_OPEN:
        // The client did not hear the Open's ACK: the fast link ACKs it again, and the
        // host connection stays the one it made.
        if (m_link.FastLink() && number == m_link.ReceiveNumber())
            m_link.Acknowledge(number);
        else
            LogLine(CLog::LEVEL_DEBUG, "Received UDP packet with unknown type.");
        break;
    case PACKET_CLOSE:
        LogLine(CLog::LEVEL_DEBUG, "Received Close packet from Proxy Client (%d)",
                static_cast<int>(number));
        ClientClosed(number);
        break;
    case PACKET_ERROR:
        LogLine(CLog::LEVEL_ERROR, "Received Error packet from Proxy Client (%d): %s",
                static_cast<int>(number),
                Utf16ToUtf8(DecodeUtf16Payload(m_link.Packet().Payload())).c_str());
        ClientClosed(number);
        break;
    default: LogLine(CLog::LEVEL_DEBUG, "Received UDP packet with unknown type."); break;
    }
}

void CProxySession::ClientClosed(uint32_t number)
{
    NoteEndCause(SessionEndCause::Client);
    m_link.Acknowledge(number);
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
    if (m_link.CheckOrder() != CLinkEndpoint::Order::Next)
        return;
    if (m_link.Packet().PayloadLength() > 0)
    {
        if (!DeliverToHost())
            return;
    }
    else
    {
        LogLine(CLog::LEVEL_DEBUG, "Received ping packet (%d)",
                static_cast<int>(m_link.Packet().Number()));
        CProxyStats::Count(m_stats.m_nPings);
        TouchActivity(false);
    }
    m_link.AcceptPacket();
}

bool CProxySession::DeliverToHost()
{
    const std::span<const uint8_t> payload = m_link.Packet().Payload();
    const int number = static_cast<int>(m_link.Packet().Number());
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
    m_link.SetNow(m_dwNow);
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
    // An Error or a Close waits for every packet in flight; more host bytes wait
    // until the link may send.
    if (m_link.InFlight() && (m_nHostError != 0 || m_bHostClosed || !m_link.CanSend()))
        return;
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
        m_link.SendNumbered(PACKET_DATA, std::span<const uint8_t>(buffer).first(std::min(
                                             static_cast<size_t>(received), buffer.size())));
        LogLine(CLog::LEVEL_DEBUG, "Sending data packet (%d)",
                static_cast<int>(m_link.SendNumber()));
        return;
    }
    if (received == 0)
    {
        LogLine(CLog::LEVEL_INFO, "TCP host gracefully closed the connection.");
        NoteEndCause(SessionEndCause::Host);
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
    NoteEndCause(SessionEndCause::Idle);
    SendClose();
}

void CProxySession::CloseByAdministrator()
{
    m_dwNow = m_clock.TickCount();
    m_link.SetNow(m_dwNow);
    LogLine(CLog::LEVEL_INFO, "Session closed by administrator.");
    NoteEndCause(SessionEndCause::Administrator);
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
        if (m_link.TakeAckOf(""))
            SetState(STATE_EXIT, ".");
        return;
    }
    // Stop-and-wait does not send the final packet again: its retransmission time ends
    // the wait. The fast link sends it again within the same time.
    if (m_nState == STATE_WAITFINALACK && m_link.FinalResendDue())
    {
        LogLine(CLog::LEVEL_DEBUG, "Timeout, re-sending final packet (%d)",
                static_cast<int>(m_link.SendNumber()));
        m_link.ResendBackingOff();
    }
    else if (m_nState == STATE_WAITFINALACK && m_link.AckOverdue())
    {
        LogLine(CLog::LEVEL_ERROR, "Error: Timeout when waiting for final ACK (%d)",
                static_cast<int>(m_link.SendNumber()));
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

void CProxySession::WatchSockets(uint64_t clientToken, uint64_t hostToken)
{
    m_bWatched = true;
    m_link.SetWatched();
    m_nClientToken = clientToken;
    m_nHostToken = hostToken;
}

void CProxySession::SetReady(uint64_t token, bool readable, bool writable)
{
    if (token == m_nClientToken)
    {
        m_link.SetReadable(readable);
        return;
    }
    m_bHostReadable = m_bHostReadable || readable;
    m_bHostWritable = m_bHostWritable || writable;
}

uint32_t CProxySession::MsUntilDue(uint32_t now)
{
    switch (m_nState)
    {
    case STATE_SESSIONID_WACK:
        if (m_link.FastLink())
            return std::min(TickRemaining(now, m_dwHandshakeDeadline), m_link.MsUntilAckOverdue(now));
        return TickRemaining(now, m_dwHandshakeDeadline);
    case STATE_WAITFOROPEN:
        if (m_bLookupPending)
            return m_bLookupAnswered ? 0 : TickRemaining(now, m_dwHostConnectDeadline);
        if (!m_bHostConnecting)
            return TickRemaining(now, m_dwHandshakeDeadline);
        return m_bHostReadable || m_bHostWritable ? 0 : TickRemaining(now, m_dwHostConnectDeadline);
    case STATE_DATA: return DataMsUntilDue(now);
    case STATE_WAITFINALACK: return m_link.MsUntilAckOverdue(now);
    default: return 0; // Connect and SessionID go on without input; Exit waits for removal
    }
}

// Whether the host socket has work that a step would do now.
bool CProxySession::HostWorkReady() const
{
    if (!m_hostBacklog.Empty() && m_bHostWritable)
        return true;
    if (m_bDraining)
        return false;
    // The failure or the close goes to the client once nothing is in flight.
    if (m_nHostError != 0 || m_bHostClosed)
        return !m_link.InFlight() && (m_nHostError != 0 || m_hostBacklog.Empty());
    return m_link.CanSend() && m_bHostReadable;
}

uint32_t CProxySession::DataMsUntilDue(uint32_t now)
{
    if (HostWorkReady())
        return 0;
    if (m_bDraining)
        return TickRemaining(now, m_dwDrainDeadline);
    uint32_t due = NOT_DUE;
    if (m_link.InFlight())
        due = m_link.MsUntilAckOverdue(now);
    else if (m_bHostClosed)
        due = TickRemaining(now, m_dwDrainDeadline);
    const int idleLimit = m_pServerSettings->Values().clientIdleDisconnect;
    if (idleLimit != 0)
        due = std::min(due, IdleRemainingMs(idleLimit));
    return due;
}
