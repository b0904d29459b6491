#pragma once
// One application connection carried through the tunnel: connect info, server list,
// Connect/Session/Open handshake, then the data relay with retransmission, pings and
// probes, and the final ACK.
#include "platform/Clock.h"
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
#include <vector>

class CLog;
class CSettings;

class CProxyClient final : private ILinkLog
{
public:
    enum State
    {
        STATE_PRECONNECT = 0,
        STATE_CONNECT = 1,
        STATE_CONNECTWACK = 2,
        STATE_WAITFORSESSIONID = 3,
        STATE_OPEN = 4,
        STATE_OPENWACK = 5,
        STATE_DATA = 6,
        STATE_EXIT = 7,
        STATE_WAITFINALACK = 8,
        STATE_INVALID = 9
    };

    static constexpr uint32_t CONNECT_INFO_TIMEOUT_MS = 3000;
    // Whether a settings file without FastLink offers the fast link.
    static constexpr bool OFFER_FAST_LINK_BY_DEFAULT = true;
    // Bytes acknowledged to the server that the application has not taken yet may
    // take this long to drain after the server closed.
    static constexpr uint32_t APP_DRAIN_LIMIT_MS = 10000;
    static constexpr uint32_t INITIAL_SEND_NUMBER = 2000;
    static constexpr uint32_t INITIAL_RECEIVE_NUMBER = 1000;
    static constexpr const char* CONNECT_INFO_MAGIC = "TARVI*QEN";
    static constexpr const char* SESSION_ID_FILE = "sessionid";
    static constexpr const char* PRODUCT_NAME = "Ostrivel Tarvi*Qen Client";

    // `folder` holds the session ID file. Reads the start time, resets the statistics.
    CProxyClient(CProxyStats* stats, SOCKET clientTCPSocket, const SocketAddress& clientAddress,
                 bool proxyAware, const std::string& folder, ISocketLayer& sockets, IClock& clock);
    // Ends the session: logs "Client session ended.", closes both sockets.
    ~CProxyClient();
    CProxyClient(const CProxyClient&) = delete;
    CProxyClient& operator=(const CProxyClient&) = delete;

    void SetHostAddress(const std::string& host);
    void SetHostPort(int port);
    // One step at the tick count `now`, which the loop reads once per pass.
    void Step(uint32_t now);
    void Step() { Step(m_clock.TickCount()); }
    int GetState() const { return m_nState; }
    const DateTime& GetStartTime() const { return m_startTime; }
    // A session's statistics file is named after its start time: a session that starts
    // in the same millisecond as the one before it (`previous`) is moved on by one
    // millisecond, so that its file does not overwrite the other one's.
    void StartAfter(const DateTime& previous);
    const SessionId& GetSessionId() const { return m_sessionId; }

    // Event-driven loop: the application socket is watched under `applicationToken`
    // (edge) and the UDP socket, once made, under `serverToken` (level); a step then
    // skips the reads and writes that readiness says would block.
    void WatchSockets(uint64_t serverToken, uint64_t applicationToken);
    void SetReady(uint64_t token, bool readable, bool writable);
    // Milliseconds until the session must be stepped without new readiness (0: now).
    uint32_t MsUntilDue(uint32_t now) const;

private:
    enum class ReceiveMode
    {
        Strict, // the whole sender address must be the server's
        AdoptPort // the sender's IPv4 address must be the server's; its port is taken
    };
    enum class ReadResult
    {
        Pending, // nothing more now
        Done, // the read has ended
        Failed // the application connection closed or failed; the session ends
    };

    // State changes: "STATE: <name>" at Debug unless logLine is false (Invalid never logs).
    void SetState(int state, bool logLine = true);
    void LinkLine(int level, const char* text) override;
    std::string SenderText(const SocketAddress& from, bool addressOnly) const override;

    // Handshake states.
    void StepPreConnect();
    void LoadSessionId();
    void SaveSessionId();
    void BeginConnectInfo();
    ReadResult ReadConnectInfo();
    ReadResult ReadConnectInfoByte(uint8_t& byte);
    bool ParseConnectInfo();
    void FinishPreConnect(bool haveConnectInfo);
    void StepConnect();
    bool TakeProxyServerEntry();
    void StepConnectWAck();
    void RetryConnect();
    void StepWaitForSessionId();
    void StepOpen();
    void StepOpenWAck();
    void ErrorReceived();
    void RepeatedSession();

    // Packets.
    bool ReceivePacket(ReceiveMode mode);
    void HandleReceiveError(int code);
    void SendProbe();
    static std::vector<uint8_t> OpenPayload(const std::string& host, int port);

    // Data relay.
    void StepData();
    void HandleDataPacket();
    void HandleClose();
    void RetransmitIfDue();
    void SendNextData();
    void SendPingIfDue();
    void BufferApplicationData();
    void ApplicationConnectionLost(int code);
    void SendApplicationLostError();
    bool FlushToApplication();
    void StepDrain();
    void DropApplicationBacklog();
    void StepWaitFinalAck();
    uint32_t DataMsUntilDue(uint32_t now) const;
    int ReadApplication(std::span<uint8_t> buffer);
    bool FlushApplication(int& error);
    void WatchServerSocket(WatchMode mode);

    ISocketLayer& m_sockets;
    IClock& m_clock;
    CLog* m_pLog;
    CSettings* m_pSettings;
    CProxyStats* m_pStats;
    // The link to the proxy server, on a UDP socket of its own for each attempt.
    CLinkEndpoint m_link;
    std::string m_folder;

    SOCKET m_clientTCPSocket;
    SocketAddress m_clientAddress;
    int m_nProxyServerIndex = 0;
    int m_nConnectAttempts = 0;
    std::string m_pszProxyServerAddress;
    int m_nProxyServerPort = 0;
    std::string m_pszHostAddress;
    int m_nHostPort = 0;
    bool m_bProxyAware;
    SessionId m_sessionId;
    DateTime m_startTime;
    int m_nState = STATE_PRECONNECT;
    std::string m_initialData;
    uint32_t m_dwStateDeadline = 0;
    uint32_t m_dwLastActivity = 0;
    std::vector<uint8_t> m_pBufferedData;
    bool m_bServerDown = false;
    // PreConnect: the session ID file is read once; the connect info across steps.
    bool m_bSessionIdLoaded = false;
    bool m_bReadingConnectInfo = false;
    uint32_t m_dwConnectInfoDeadline = 0;
    // Server bytes the application socket has not taken yet.
    CStreamBacklog m_appBacklog;
    // The application connection failed; the Error waits for the packet in flight.
    bool m_bApplicationLost = false;
    int m_nApplicationError = 0;
    // The server closed while bytes were still held for the application.
    bool m_bDraining = false;
    uint32_t m_dwDrainDeadline = 0;

    // The tick count of the step in progress.
    uint32_t m_dwNow = 0;
    // Readiness, when the loop watches the sockets (otherwise every read is tried).
    bool m_bWatched = false;
    uint64_t m_nServerToken = 0;
    uint64_t m_nApplicationToken = 0;
    bool m_bAppReadable = false; // since the last edge, until a read finds no more
    bool m_bAppWritable = false; // since the last edge, until a write would block
};
