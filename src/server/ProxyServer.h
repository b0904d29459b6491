#pragma once
// The server core: the client UDP port, the admin listener, the session table and
// the one admin session, all driven by one loop on one thread.
#include "common/ArrayTemplate.h"
#include "common/ProxyTCPListener.h"
#include "platform/Clock.h"
#include "platform/SocketLayer.h"
#include "server/ClientUDPListener.h"
#include "server/ProxySession.h"

#include <memory>
#include <string>
#include <string_view>

class CAdminSession;
class CConsoleKeyboard;
class CEvent;
class CLog;
class CServerSettings;

class CProxyServer
{
public:
    static constexpr int SESSION_TABLE_GROWTH = 32;
    static constexpr const char* PRODUCT_NAME = "Ostrivel Tarvi*Qen Server";
    static constexpr const char* PRODUCT_VERSION = "1.0.9";
    // Longest wait of one loop pass when nothing is due sooner.
    static constexpr uint32_t MAX_WAIT_MS = 1000;

    explicit CProxyServer(ISocketLayer& sockets = CSystemSocketLayer::Instance(),
                          IClock& clock = CSystemClock::Instance());
    ~CProxyServer();
    CProxyServer(const CProxyServer&) = delete;
    CProxyServer& operator=(const CProxyServer&) = delete;

    void SetStopEvent(CEvent* stopEvent) { m_pStopEvent = stopEvent; }
    // Console mode: a key press dumps every session's statistics.
    void SetConsoleKeyboard(CConsoleKeyboard* keyboard) { m_pKeyboard = keyboard; }
    // True when the loop ended by the stop event; false when start-up failed or a
    // listener failed.
    bool Run();

    // The LIST reply: "0", or the count and one "id;connect;activity;seen" per session.
    std::string GetSessionListText() const;
    CProxySession* FindSession(std::string_view clientId) const;
    void TerminateSession(CProxySession& session);
    bool SetOption(std::string_view name, std::string_view value);
    int GetSessionCount() const { return m_sessions.getCount(); }
    CProxySession* GetSession(int index) const { return m_sessions[index]; }

private:
    bool StartUp();
    bool StopRequested();
    bool AdminStep();
    bool ClientStep();
    void HandleConnect();
    void HandleProbe();
    int FindSessionById(const SessionId& id) const;
    SessionId NewSessionId();
    void RemoveEndedSessions();
    void PrintStatistics();
    void WaitForWork();
    void ShutdownSessions();
    void SaveSettings();
    bool SetAdminPassword(const std::string& password);
    bool SetAdminPort(int port);
    bool SetClientPort(int port);
    bool SetLogFile(const std::string& logFile);
    bool SetLogLevel(int level);

    ISocketLayer& m_sockets;
    IClock& m_clock;
    CLog* m_pLog;
    CServerSettings* m_pSettings;
    CProxyTCPListener m_adminListener;
    CClientUDPListener m_clientListener;
    CArrayTemplate<CProxySession> m_sessions{SESSION_TABLE_GROWTH};
    std::unique_ptr<CAdminSession> m_pAdminSession;
    CEvent* m_pStopEvent = nullptr;
    CConsoleKeyboard* m_pKeyboard = nullptr;
    bool m_bShutdownRequested = false;
    SessionId m_lastSessionId; // the ID handed out last
    bool m_bConsoleOutput = true; // false once standard output's reader has gone
};
