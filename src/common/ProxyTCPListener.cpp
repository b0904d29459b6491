#include "common/ProxyTCPListener.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/Network.h"

namespace
{
constexpr uint32_t ANY_ADDRESS = 0; // INADDR_ANY
} // namespace

CProxyTCPListener::CProxyTCPListener(ISocketLayer& sockets)
    : m_sockets(sockets), m_pLog(CLog::GetInstance())
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
    const SOCKET sock = m_sockets.CreateTcpSocket();
    if (sock == INVALID_SOCKET)
    {
        const int error = m_sockets.GetLastError();
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to create listen socket (%d) %s.", error,
                      GetSocketErrorText(error));
        return false;
    }
    m_sockets.SetNonBlocking(sock);
    // The port can be bound again at once after a restart or a failed port change,
    // while connections of the old listener linger.
    m_sockets.SetReuseAddress(sock);
    // A listener for local applications only is not reachable from the network at all.
    const uint32_t address = m_bLocalOnly ? AddressFromBytes(127, 0, 0, 1) : ANY_ADDRESS;
    if (!m_sockets.Bind(sock, MakeSocketAddress(address, static_cast<uint16_t>(m_nPort))))
    {
        const int error = m_sockets.GetLastError();
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to bind listen socket (%d) %s.", error,
                      GetSocketErrorText(error));
        m_sockets.Close(sock);
        return false;
    }
    if (!m_sockets.Listen(sock, LISTEN_BACKLOG))
    {
        const int error = m_sockets.GetLastError();
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Unable to use listen socket (%d) %s.", error,
                      GetSocketErrorText(error));
        m_sockets.Close(sock);
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
    m_sockets.SetLastError(0);
    SocketAddress peer;
    const SOCKET sock = m_sockets.Accept(m_sockListen, peer);
    if (sock == INVALID_SOCKET)
    {
        const int error = m_sockets.GetLastError();
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
        m_sockets.Close(sock);
        return true;
    }
    m_bConnected = true;
    m_sockAccepted = sock;
    m_addrPeer = peer;
    m_sockets.SetNonBlocking(sock);
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
        m_sockets.Close(m_sockListen);
        m_sockListen = INVALID_SOCKET;
    }
}
