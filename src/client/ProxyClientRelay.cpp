// The Data and WaitFinalACK states of a client session: application bytes to the
// server one packet at a time, server bytes to the application in order.
#include "client/ProxyClient.h"

#include "common/Log.h"
#include "common/MyString.h"
#include "common/Network.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/TextFormat.h"

#include <algorithm>

using tunnel_detail::FormatText;

namespace
{

constexpr int LOG_ERROR = CLog::LEVEL_ERROR;
constexpr int LOG_INFO = CLog::LEVEL_INFO;
constexpr int LOG_DEBUG = CLog::LEVEL_DEBUG;

int AsInt(uint32_t number)
{
    return static_cast<int>(number);
}

} // namespace

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
        switch (m_receivePacket.Type())
        {
        case PACKET_DATA:
            HandleDataPacket();
            break;
        case PACKET_ACK:
            HandleAck();
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
    const uint32_t number = m_receivePacket.Number();
    if (number == m_nReceiveNumber)
    {
        m_pLog->Print(LOG_DEBUG, "Received duplicate data packet (%d), ACKing it again",
                      AsInt(number));
        SendAck(number);
        CProxyStats::Count(m_pStats->m_nDuplicateData);
        return;
    }
    if (number != m_nReceiveNumber + 1)
    {
        m_pLog->Print(LOG_DEBUG, "Received out of synch data packet (%d)", AsInt(number));
        CProxyStats::Count(m_pStats->m_nOutOfSynchData);
        return;
    }
    if (m_bApplicationLost)
    {
        // Bytes that can no longer reach the application are not acknowledged; the
        // Error packet tells the server once the packet in flight is through.
        m_pLog->Print(LOG_DEBUG, "Application connection lost, data packet (%d) not acknowledged",
                      AsInt(number));
        return;
    }
    const std::span<const uint8_t> payload = m_receivePacket.Payload();
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
    ++m_nReceiveNumber;
    if (!payload.empty())
    {
        m_pStats->DataReceived();
    }
    SendAck(number);
    CProxyStats::Count(m_pStats->m_nAcksSent);
    m_pLog->Print(LOG_DEBUG, "ACK sent (%d)", AsInt(number));
    CProxyStats::Count(m_pStats->m_nBytesReceived, payload.size());
    if (!m_appBacklog.Empty())
    {
        m_bAppWritable = false; // the socket took less: wait for its next edge
    }
}

void CProxyClient::HandleAck()
{
    const uint32_t number = m_receivePacket.Number();
    if (!m_bInFlight)
    {
        m_pLog->Print(LOG_DEBUG, "Received ACK unexpectedly (%d)", AsInt(number));
        CProxyStats::Count(m_pStats->m_nAckErrors2);
        return;
    }
    if (number != m_nSendNumber)
    {
        m_pLog->Print(LOG_DEBUG, "Received out of synch ACK (%d)", AsInt(number));
        CProxyStats::Count(m_pStats->m_nAckErrors1);
        return;
    }
    const uint32_t now = m_dwNow;
    m_pLog->Print(LOG_DEBUG, "Received ACK for packet %d (RTT = %d)", AsInt(number),
                  AsInt(now - m_pStats->m_dwLastSendTime));
    ++m_nSendNumber;
    m_bInFlight = false;
    m_pStats->AckReceived(now, static_cast<int>(m_sendPacket.PayloadLength()));
    CProxyStats::Count(m_pStats->m_nAcksReceived);
    CProxyStats::Count(m_pStats->m_nDataPacketsSent);
}

void CProxyClient::HandleClose()
{
    const uint32_t number = m_receivePacket.Number();
    m_pLog->Print(LOG_DEBUG, "Received Close packet from Proxy Server (%d)", AsInt(number));
    SendAck(number);
    m_pLog->Print(LOG_DEBUG, "ACK sent (%d)", AsInt(number));
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
    const uint32_t now = m_dwNow;
    if (!m_bInFlight || !TickPassed(now, m_dwRetransmitDeadline))
    {
        return;
    }
    if (!m_bApplicationLost)
    {
        BufferApplicationData();
    }
    m_dwLastActivity = now;
    m_pStats->Timeout();
    m_pLog->Print(LOG_DEBUG, "Timeout, re-sending data packet (%d)", AsInt(m_nSendNumber));
    SendProbe();
    Resend();
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
    if (m_bInFlight)
    {
        return;
    }
    if (!m_pBufferedData.empty())
    {
        const size_t count = std::min(m_pBufferedData.size(), TunnelPacket::MAX_PAYLOAD);
        m_dwLastActivity = m_dwNow;
        SendNumbered(PACKET_DATA, std::span(m_pBufferedData.data(), count));
        m_pBufferedData.erase(m_pBufferedData.begin(),
                              m_pBufferedData.begin() + static_cast<std::ptrdiff_t>(count));
        m_pLog->Print(LOG_DEBUG, "Sending buffered data packet (%d)", AsInt(m_nSendNumber));
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
        SendNumbered(PACKET_DATA, std::span(buffer, static_cast<size_t>(result)));
        m_pLog->Print(LOG_DEBUG, "Sending data packet (%d)", AsInt(m_nSendNumber));
        return;
    }
    if (result == 0)
    {
        m_pLog->Print(LOG_INFO, "TCP client gracefully closed the connection.");
        SendNumbered(PACKET_CLOSE);
        m_pLog->Print(LOG_DEBUG, "Close packet sent (%d)", AsInt(m_nSendNumber));
        m_nState = STATE_WAITFINALACK;
        m_dwFinalDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
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
    const uint32_t now = m_dwNow;
    if (m_bInFlight || !TickPassed(now, m_dwLastActivity + PROTOCOL_TIMEOUT_MS))
    {
        return;
    }
    m_dwLastActivity = now;
    SendProbe();
    SendNumbered(PACKET_DATA);
    m_pLog->Print(LOG_DEBUG, "Ping packet sent (%d).", AsInt(m_nSendNumber));
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
    if (!m_bInFlight)
    {
        SendApplicationLostError();
    }
}

void CProxyClient::SendApplicationLostError()
{
    const int code = m_nApplicationError;
    const std::string text =
        FormatText("TCP client connection lost, error: %d. %s.", code, GetSocketErrorText(code));
    SendNumbered(PACKET_ERROR, EncodeUtf16Payload(Utf8ToUtf16(text), false));
    m_dwFinalDeadline = m_dwNow + PROTOCOL_TIMEOUT_MS;
    m_pLog->Print(LOG_DEBUG, "Error packet sent (%d) %s", AsInt(m_nSendNumber), text.c_str());
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
    if (received)
    {
        if (m_receivePacket.Type() == PACKET_ACK && m_receivePacket.Number() == m_nSendNumber)
        {
            m_pLog->Print(LOG_DEBUG, "Received ACK for packet (%d)", AsInt(m_nSendNumber));
            SetState(STATE_EXIT);
        }
        return;
    }
    if (TickPassed(m_dwNow, m_dwFinalDeadline))
    {
        m_pLog->Print(LOG_INFO, "Error: Timeout when waiting for final ACK (%d)",
                      AsInt(m_nSendNumber));
        SetState(STATE_EXIT);
    }
}

// The nearest moment at which a Data step has something to do on its own.
uint32_t CProxyClient::DataDeadline(uint32_t now) const
{
    if (m_bDraining)
    {
        return m_dwDrainDeadline + 1;
    }
    if (m_bInFlight)
    {
        return m_dwRetransmitDeadline + 1;
    }
    if (!m_pBufferedData.empty() || m_bApplicationLost)
    {
        return now;
    }
    return m_dwLastActivity + PROTOCOL_TIMEOUT_MS + 1;
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
    if (!m_bInFlight && m_bAppReadable)
    {
        return 0;
    }
    return TickRemaining(now, DataDeadline(now));
}
