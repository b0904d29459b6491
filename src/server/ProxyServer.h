#pragma once
// The server core: the client UDP port, the admin listener, the session table and
// the one admin session, all driven by one loop on one thread.
#include "common/ArrayTemplate.h"
#include "common/ProxyTCPListener.h"
#include "common/TimerHeap.h"
#include "platform/Clock.h"
#include "platform/SocketLayer.h"
#include "server/AdminServer.h"
#include "server/ClientUDPListener.h"
#include "server/ProxySession.h"
#include "server/ServerMetrics.h"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CAdminSession;
class CConsoleKeyboard;
class CEvent;
class CLog;
class CMetricsHttpEndpoint;
class CServerSettings;
struct SettingDefinition;

class CProxyServer final : public IAdminServer
{
public:
    static constexpr int SESSION_TABLE_GROWTH = 32;
    static constexpr const char* PRODUCT_NAME = "Ostrivel Tarvi*Qen Server";
    static constexpr const char* PRODUCT_VERSION = "1.0.9";
    // Longest wait of one loop pass when nothing is due sooner.
    static constexpr uint32_t MAX_WAIT_MS = 1000;
    // Descriptors kept free for the log, the settings, the admin session and accept.
    static constexpr long RESERVED_DESCRIPTORS = 16;
    // Every client session holds two descriptors: its UDP socket and its host.
    static constexpr long DESCRIPTORS_PER_SESSION = 2;
    static constexpr uint32_t NO_ROOM_LOG_INTERVAL_MS = 1000;
    // Bytes of admin commands read in one pass at most.
    static constexpr uint32_t ADMIN_BYTES_PER_PASS = 4096;

    explicit CProxyServer(ISocketLayer& sockets = CSystemSocketLayer::Instance(),
                          IClock& clock = CSystemClock::Instance());
    ~CProxyServer();
    CProxyServer(const CProxyServer&) = delete;
    CProxyServer& operator=(const CProxyServer&) = delete;

    void SetStopEvent(CEvent* stopEvent) { m_pStopEvent = stopEvent; }
    // Console mode: a key press dumps every session's statistics.
    void SetConsoleKeyboard(CConsoleKeyboard* keyboard) { m_pKeyboard = keyboard; }
    // Looks up the host names of Opens (set before StartUp); without one they are
    // resolved by the socket layer in the session's step.
    void SetHostResolver(IHostResolver* resolver) { m_pResolver = resolver; }
    // Sends WATCHDOG=1 to the service manager at this interval (0: never).
    void SetWatchdogInterval(uint32_t intervalMs) { m_dwWatchdogIntervalMs = intervalMs; }
    // True when the loop ended by the stop event; false when start-up failed or a
    // listener failed.
    bool Run();
    // The parts of Run, for tests that drive the loop pass by pass.
    bool StartUp();
    // One pass: the admin session or listener, one datagram on the client port, the
    // sessions whose sockets are ready or whose deadline is due; then the wait for
    // the next readiness or deadline. False when a listener failed.
    bool RunPass();
    void ShutdownSessions();
    // How many client sessions the descriptor limit leaves room for.
    int GetSessionCapacity() const { return m_nSessionCapacity; }

    std::string GetSessionListText() const override;
    bool HasSession(std::string_view clientId) const override;
    std::string GetSessionStatisticsText(std::string_view clientId) const override;
    void TerminateSession(std::string_view clientId) override;
    bool SetOption(std::string_view name, std::string_view value) override;
    void AdminLoginFailed() override { m_metrics.AdminLoginFailed(); }
    int GetSessionCount() const { return m_sessions.getCount(); }
    CProxySession* GetSession(int index) const { return m_sessions[index]; }
    CServerMetrics& GetMetrics() { return m_metrics; }
    // The metrics page as the HTTP endpoint serves it.
    std::string GetMetricsPage() const;

private:
    // Watch tokens of the loop's own descriptors; sessions use 2 * serial and
    // 2 * serial + 1, with serials from FIRST_SESSION_SERIAL.
    enum Token : uint64_t
    {
        TOKEN_CLIENT_PORT = 1,
        TOKEN_ADMIN_LISTENER = 2,
        TOKEN_ADMIN_SESSION = 3,
        TOKEN_STOP = 4,
        TOKEN_KEYBOARD = 5,
        TOKEN_RESOLVER = 6,
        TOKEN_METRICS = 7 // and the endpoint's connections after it
    };
    static constexpr uint64_t FIRST_SESSION_SERIAL = 16;
    struct SessionIdHash
    {
        size_t operator()(const SessionId& id) const;
    };

    CProxySession* FindSession(std::string_view clientId) const;
    bool OpenMetricsEndpoint();
    bool StopRequested();
    void ComputeSessionCapacity();
    void WatchListeners();
    void DispatchReadiness();
    bool AdminStep();
    void ServeAdminSession();
    bool ClientStep(uint32_t now);
    void HandleConnect(uint32_t now);
    void ReplaceSession(CProxySession* session, uint32_t now);
    void HandleProbe();
    bool HasRoomForSession(uint32_t now);
    CProxySession* FindSessionById(const SessionId& id) const;
    SessionId NewSessionId();
    void RemoveSession(CProxySession* session);
    void RemoveEndedSessions();
    void TakeLookupAnswers();
    void KickWatchdog(uint32_t now);
    void StepSessions(uint32_t now);
    void Reschedule(CProxySession& session, uint32_t now);
    void RescheduleAll();
    void PrintStatistics();
    void WaitForWork();
    void SaveSettings();
    bool ApplyOption(const SettingDefinition& setting, std::string_view value);
    bool SetAdminPort(int port);
    bool SetClientPort(int port);
    bool SetLogFile(const std::string& logFile);

    ISocketLayer& m_sockets;
    IClock& m_clock;
    CLog* m_pLog;
    CServerSettings* m_pSettings;
    CProxyTCPListener m_adminListener{m_sockets};
    CClientUDPListener m_clientListener{m_sockets};
    CArrayTemplate<CProxySession> m_sessions{SESSION_TABLE_GROWTH};
    std::unique_ptr<CAdminSession> m_pAdminSession;
    CEvent* m_pStopEvent = nullptr;
    CConsoleKeyboard* m_pKeyboard = nullptr;
    bool m_bShutdownRequested = false;
    SessionId m_lastSessionId; // the ID handed out last
    bool m_bConsoleOutput = true; // false once standard output's reader has gone
    CServerMetrics m_metrics;
    std::unique_ptr<CMetricsHttpEndpoint> m_pMetricsEndpoint; // when MetricsPort is set

    // The event loop: readiness from the last wait, the loop's clock, the deadlines.
    std::vector<SocketReadiness> m_ready;
    std::vector<uint64_t> m_passSerials; // sessions to step in this pass
    std::vector<uint64_t> m_endedSerials; // sessions that reached Exit
    std::unordered_map<uint64_t, CProxySession*> m_sessionsBySerial;
    std::unordered_map<SessionId, CProxySession*, SessionIdHash> m_sessionsById;
    CTimerHeap m_timers; // by serial, in loop milliseconds
    uint64_t m_nNextSerial = FIRST_SESSION_SERIAL;
    uint64_t m_nLoopMs = 0; // milliseconds since start-up, without wrap
    uint32_t m_dwLoopTick = 0; // the tick count of the pass
    bool m_bClientPortReadable = false;
    bool m_bAdminPending = false; // a connection may wait in the admin listener
    bool m_bAdminReadable = false;
    bool m_bAdminWritable = false;
    bool m_bKeyWatched = false;
    IHostResolver* m_pResolver = nullptr;
    bool m_bResolverReady = false;
    std::vector<HostLookupAnswer> m_lookupAnswers;
    uint32_t m_dwWatchdogIntervalMs = 0;
    uint32_t m_dwWatchdogTick = 0; // when WATCHDOG=1 was sent last
    bool m_bKeyReady = false;
    // Descriptor limit.
    int m_nSessionCapacity = 0;
    bool m_bNoRoomLogged = false;
    uint32_t m_dwNoRoomLogTick = 0;
};
