#pragma once
// The server's end of one tunnelled TCP connection: answers the client from its own
// UDP socket, takes the Open, connects to the host without blocking the server, and
// relays both ways over its link endpoint.
#include "platform/Clock.h"
#include "platform/HostResolver.h"
#include "platform/SocketLayer.h"
#include "tunnel/LinkEndpoint.h"
#include "tunnel/LinkLog.h"
#include "tunnel/ProxyStats.h"
#include "tunnel/SessionId.h"
#include "tunnel/StreamBacklog.h"
#include "tunnel/TunnelPacket.h"

#include <cstdint>
#include <span>
#include <string>

class CLog;
class CServerSettings;

// Why a session ended: the first of these that happened to it counts.
enum class SessionEndCause
{
    None,
    Client, // the client sent Close or Error
    Host, // the host closed its connection
    Idle, // the idle limit
    Administrator, // terminated, or the server stopped
    Error, // a handshake, host or network failure
    Replaced // the client started a new session
};

class CProxySession final : private ILinkLog
{
public:
    enum State
    {
        STATE_CONNECT = 0,
        STATE_SESSIONID = 1,
        STATE_SESSIONID_WACK = 2,
        STATE_WAITFOROPEN = 3,
        STATE_DATA = 4,
        STATE_EXIT = 5,
        STATE_WAITFINALACK = 6
    };

    static constexpr uint32_t HOST_CONNECT_TIMEOUT_MS = 10000;
    // How long bytes already acknowledged to the client may take to reach a slow host
    // after the client or the host closed, before the session gives up on them.
    static constexpr uint32_t HOST_DRAIN_LIMIT_MS = 10000;
    static constexpr uint32_t INITIAL_SEND_NUMBER = 1000;
    static constexpr uint32_t INITIAL_RECEIVE_NUMBER = 2000;
    static constexpr size_t MAX_FIELD_LENGTH = 511;

    CProxySession(const SessionId& sessionId, std::span<const uint8_t> connectPacket,
                  const SocketAddress& clientAddress, ISocketLayer& sockets, IClock& clock);
    // Logs "[%s] Client session ended." and closes both sockets.
    ~CProxySession();
    CProxySession(const CProxySession&) = delete;
    CProxySession& operator=(const CProxySession&) = delete;

    // Returned by MsUntilDue when no deadline is set.
    static constexpr uint32_t NOT_DUE = 0xFFFFFFFFu;

    // One step of the state machine at the tick count `now` (read once per pass of
    // the loop); false only for an invalid state value.
    bool Step(uint32_t now);
    bool Step() { return Step(m_clock.TickCount()); }
    // Sends Close and waits for the final ACK (any state).
    void CloseByAdministrator();

    int GetState() const { return m_nState; }
    SessionEndCause GetEndCause() const { return m_endCause; }
    // Keeps the first cause noted.
    void NoteEndCause(SessionEndCause cause);
    // The client has started a new session, so this one serves it no more. Bytes that
    // it acknowledged and still holds for the host are written first (up to the drain
    // limit): true while it goes on for that, false when it can go at once.
    bool KeepForHostBytes();
    const std::string& GetClientId() const { return m_link.PeerText(); }
    const SessionId& GetSessionId() const { return m_sessionId; }
    const DateTime& GetConnectTime() const { return m_connectTime; }
    const DateTime& GetLastActivityTime() const { return m_lastActivityTime; }
    const DateTime& GetLastSeenTime() const { return m_lastSeenTime; }
    const CProxyStats& GetStats() const { return m_stats; }
    // The SHOW reply text.
    std::string GetStatisticsText() const;
    // Whole seconds since the last activity on the UTC clock.
    int GetIdleSeconds();

    // Event-driven loops: the session's sockets are watched under these tokens from
    // when they are made; then a step skips every read or write that readiness says
    // would block. The loop reports readiness with SetReady.
    void WatchSockets(uint64_t clientToken, uint64_t hostToken);
    uint64_t GetClientToken() const { return m_nClientToken; }
    // Host names of Opens are looked up there, the answer given by HostLookupAnswered;
    // without one (and for an address) they are resolved in the step.
    void SetHostResolver(IHostResolver* resolver) { m_pResolver = resolver; }
    void HostLookupAnswered(bool found, uint32_t address);
    void SetReady(uint64_t token, bool readable, bool writable);
    // Milliseconds until the session must be stepped without new readiness: 0 when
    // it has work now, NOT_DUE when it only waits for its sockets.
    uint32_t MsUntilDue(uint32_t now);

private:
    void SetState(int state, const char* logSuffix);
    // Writes one session log line (LogLine): the client ID in square brackets, a
    // blank, the text.
    void LinkLine(int level, const char* text) override;
    std::string SenderText(const SocketAddress& from, bool addressOnly) const override;

    void StepConnect();
    void StepSessionId();
    void StepSessionIdWack();
    void StepWaitForOpen();
    void StepHostConnecting();
    void StepData();
    void StepDrain();
    void StepWaitFinalAck();

    bool Receive(bool addressOnly);
    void ReceiveFailed(int error);
    void SendError(const std::string& message);
    void SendClose();

    void CheckHandshakeTimeout();
    void ResendHandshakeIfDue();
    void HandleOpen();
    void StartHostConnect();
    void ConnectHost(uint32_t address);
    void StepHostLookup();
    void HostConnectFailed(int error);
    void EnterData();
    void CloseHostSocket();

    void HandleDataStatePacket();
    void HandleDataPacket();
    bool DeliverToHost();
    void ClientClosed(uint32_t number);
    bool WriteHost(std::span<const uint8_t> data);
    void FlushHost();
    void GiveUpHostBytes();
    void HostWriteFailed(int error, size_t acknowledged);
    void ReportHostFailure();
    void ServeHost();
    void ReadHost();
    void CloseByIdleTimeout(int limitSeconds);
    // 100 ns units since the last activity on the UTC clock.
    int64_t IdleFileTime();
    uint32_t IdleRemainingMs(int limitSeconds);
    void TouchActivity(bool activity);

    uint32_t DataMsUntilDue(uint32_t now);
    bool HostWorkReady() const;
    void PauseClientSocket(bool paused);

    ISocketLayer& m_sockets;
    IClock& m_clock;
    CLog* m_pLog;
    CServerSettings* m_pServerSettings;

    CProxyStats m_stats;
    // The link to the client, on the session's own UDP socket.
    CLinkEndpoint m_link;
    SOCKET m_hostSocket = INVALID_SOCKET;
    SocketAddress m_hostAddress;
    std::string m_pszHostAddress;
    int m_nHostPort = 0;
    SessionId m_sessionId;

    DateTime m_connectTime;
    DateTime m_lastActivityTime;
    DateTime m_lastActivityUtc;
    DateTime m_lastSeenTime;

    int m_nState = STATE_CONNECT;
    SessionEndCause m_endCause = SessionEndCause::None;
    uint32_t m_dwHandshakeDeadline = 0;

    // Host connection in progress (non-blocking connect inside WaitForOpen).
    bool m_bHostConnecting = false;
    IHostResolver* m_pResolver = nullptr;
    bool m_bLookupPending = false;
    bool m_bLookupAnswered = false;
    bool m_bLookupFound = false;
    uint32_t m_dwLookupAddress = 0;
    uint32_t m_dwHostConnectDeadline = 0;
    // Client bytes the host socket has not taken yet.
    CStreamBacklog m_hostBacklog;
    bool m_bHostClosed = false; // the host ended its side; Close follows the held bytes
    int m_nHostError = 0; // a write to the host failed with this: the connection is gone
    bool m_bDraining = false; // the client closed; writing the rest to the host
    // The end of the wait for held bytes after the host or the client closed.
    uint32_t m_dwDrainDeadline = 0;

    // The tick count of the step in progress.
    uint32_t m_dwNow = 0;
    // Readiness, when a loop watches the sockets (otherwise every read is tried).
    bool m_bWatched = false;
    uint64_t m_nClientToken = 0;
    uint64_t m_nHostToken = 0;
    bool m_bClientPaused = false; // not watched while the client is not read
    bool m_bHostReadable = false; // since the last edge, until a read finds no more
    bool m_bHostWritable = false; // since the last edge, until a write would block
};
