#pragma once
// A non-blocking listening TCP socket that hands out at most one accepted,
// non-blocking connection per poll.
#include "platform/SocketLayer.h"

class CLog;

class CProxyTCPListener
{
public:
    static constexpr int LISTEN_BACKLOG = 5;

    explicit CProxyTCPListener(ISocketLayer& sockets = CSystemSocketLayer::Instance());
    ~CProxyTCPListener();
    CProxyTCPListener(const CProxyTCPListener&) = delete;
    CProxyTCPListener& operator=(const CProxyTCPListener&) = delete;

    // Listen on 127.0.0.1 only and accept connections only from there (call before init).
    void SetLocalOnly() { m_bLocalOnly = true; }
    // Opens the socket on every local address (127.0.0.1 when local only) and `port`;
    // refuses port 0 silently.
    bool init(int port);
    // Takes at most one waiting connection; false only on a real error.
    bool checkForNewConnection();
    void ResetConnection();
    SOCKET GetAcceptedSocket() const { return m_sockAccepted; }
    SOCKET GetListenSocket() const { return m_sockListen; }
    int GetPort() const { return m_nPort; }
    void Close();

    bool m_bConnected = false;
    SocketAddress m_addrPeer;

private:
    ISocketLayer& m_sockets;
    SOCKET m_sockListen = INVALID_SOCKET;
    int m_nPort = -1;
    SOCKET m_sockAccepted = INVALID_SOCKET;
    CLog* m_pLog;
    bool m_bLocalOnly = false;
};
