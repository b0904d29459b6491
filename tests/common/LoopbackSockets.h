#pragma once
// Loopback TCP helpers for the common library's tests.
#include "platform/Socket.h"
#include "support/TestSupport.h"

#include <chrono>
#include <string>

namespace tq_test
{

// A blocking connection from `localAddress` (any port) to 127.0.0.1:port.
inline SOCKET ConnectFrom(uint32_t localAddress, uint16_t port)
{
    const SOCKET s = SocketCreateTcp();
    if (s == INVALID_SOCKET)
        return s;
    if (!SocketBind(s, MakeSocketAddress(localAddress, 0)) ||
        SocketConnect(s, MakeLoopbackAddress(port)) != 0)
    {
        SocketClose(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Everything the peer sends until it closes; `closed` tells whether it did in time.
inline std::string ReceiveUntilClosed(SOCKET s, bool& closed)
{
    SocketSetBlocking(s, false);
    std::string received;
    closed = WaitUntil(
        [&]
        {
            uint8_t buffer[4096];
            const int n = SocketRecv(s, buffer);
            if (n > 0)
                received.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
            return n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
        },
        std::chrono::seconds(5));
    return received;
}

// A connected pair over 127.0.0.1: `client` and the accepted `server` side.
struct TcpPair
{
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;

    TcpPair()
    {
        const SOCKET listener = SocketCreateTcp();
        SocketAddress local;
        if (SocketBind(listener, MakeLoopbackAddress(0)) && SocketListen(listener, 1) &&
            SocketLocalAddress(listener, local))
        {
            client = ConnectFrom(AddressFromBytes(127, 0, 0, 1), NetToHost16(local.port));
            SocketAddress peer;
            server = SocketAccept(listener, peer);
        }
        SocketClose(listener);
    }
    ~TcpPair()
    {
        CloseServer();
        if (client != INVALID_SOCKET)
            SocketClose(client);
    }
    void CloseServer()
    {
        if (server != INVALID_SOCKET)
            SocketClose(server);
        server = INVALID_SOCKET;
    }
};

} // namespace tq_test
