#include "common/ProxyTCPListener.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/Network.h"

namespace
{
constexpr uint32_t ANY_ADDRESS = 0; // INADDR_ANY
} // namespace

CProxyTCPListener::CProxyTCPListener() : m_pLog(CLog::GetInstance())
{
    TQ_ASSERT_TEXT(nullptr != m_pLog, "NULL != m_pLog");
}

CProxyTCPListener::~CProxyTCPListener()
{
    Close();
}

bool CProxyTCPListener::init(int port)
{
    // Port 0 (and anything that is no port) is refused without a word.
    if (port <= 0 || port > 0xFFFF)
    {
        return false;
    }
    if (m_sockListen != INVALID_SOCKET)
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Listen socket already exists.");
        return false;
    }
    m_nPort = port;
    const SOCKET sock = SocketCreateTcp();
    if (sock == INVALID_SOCKET)
    {
        const int error = WSAGetLastError();
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to create listen socket (%d) %s.", error,
                      GetSocketErrorText(error));
        return false;
    }
    SocketSetBlocking(sock, false);
    // The port can be bound again at once after a restart or a failed port change,
    // while connections of the old listener linger.
    SocketSetReuseAddress(sock);
    if (!SocketBind(sock, MakeSocketAddress(ANY_ADDRESS, static_cast<uint16_t>(m_nPort))))
    {
        const int error = WSAGetLastError();
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to bind listen socket (%d) %s.", error,
                      GetSocketErrorText(error));
        SocketClose(sock);
        return false;
    }
    if (!SocketListen(sock, LISTEN_BACKLOG))
    {
        const int error = WSAGetLastError();
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to use listen socket (%d) %s.", error,
                      GetSocketErrorText(error));
        SocketClose(sock);
        return false;
    }
    m_sockListen = sock;
    return true;
}

bool CProxyTCPListener::checkForNewConnection()
{
    if (m_sockListen == INVALID_SOCKET)
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Invalid listen socket.");
        return false;
    }
    ResetConnection();
    WSASetLastError(0);
    SocketAddress peer;
    const SOCKET sock = SocketAccept(m_sockListen, peer);
    if (sock == INVALID_SOCKET)
    {
        const int error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK)
        {
            return true;
        }
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Accept failed (%d) %s.", error,
                      GetSocketErrorText(error));
        return false;
    }
    if (m_bLocalOnly && peer.address != AddressFromBytes(127, 0, 0, 1))
    {
        SocketClose(sock);
        return true;
    }
    m_bConnected = true;
    m_sockAccepted = sock;
    m_addrPeer = peer;
    SocketSetBlocking(sock, false);
    return true;
}

void CProxyTCPListener::ResetConnection()
{
    m_bConnected = false;
    m_addrPeer = SocketAddress{};
}

void CProxyTCPListener::Close()
{
    if (m_sockListen != INVALID_SOCKET)
    {
        SocketClose(m_sockListen);
        m_sockListen = INVALID_SOCKET;
    }
}
