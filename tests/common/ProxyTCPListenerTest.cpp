#include "common/ProxyTCPListener.h"

#include "LoopbackSockets.h"
#include "TestLog.h"

#include <memory>

using namespace tq_test;

namespace
{
constexpr const char* STAMP = "2012-03-02 14:05:09.042 ";
}

class ListenerTest : public LogTestBase
{
protected:
    std::string Line(const std::string& message) const { return STAMP + message + "\r\n"; }
};

TEST_F(ListenerTest, InitFailures)
{
    CProxyTCPListener listener;
    EXPECT_FALSE(listener.checkForNewConnection());
    EXPECT_EQ(Contents(), Line("Error: Invalid listen socket."));
    m_pLog->Clear();

    EXPECT_FALSE(listener.init(0));
    EXPECT_EQ(listener.GetListenSocket(), INVALID_SOCKET);
    EXPECT_EQ(Contents(), "");

    const uint16_t port = FreeTcpPort();
    ASSERT_TRUE(listener.init(port));
    const SOCKET first = listener.GetListenSocket();
    EXPECT_FALSE(listener.init(port));
    EXPECT_EQ(listener.GetListenSocket(), first);
    EXPECT_EQ(Contents(), Line("Error: Listen socket already exists."));
    m_pLog->Clear();

    CProxyTCPListener second;
    EXPECT_FALSE(second.init(port));
    EXPECT_EQ(second.GetListenSocket(), INVALID_SOCKET);
    EXPECT_EQ(Contents(), Line("Error: Unable to bind listen socket (10048) "
                               "WSAEADDRINUSE: Address already in use."));

    EXPECT_TRUE(listener.checkForNewConnection());
    EXPECT_FALSE(listener.m_bConnected);
    listener.Close();
    EXPECT_EQ(listener.GetListenSocket(), INVALID_SOCKET);
}

TEST_F(ListenerTest, LocalOnlyRefusesOtherAddresses)
{
    CProxyTCPListener listener;
    listener.SetLocalOnly();
    const uint16_t port = FreeTcpPort();
    ASSERT_TRUE(listener.init(port));
    SocketAddress bound;
    ASSERT_TRUE(SocketLocalAddress(listener.GetListenSocket(), bound));
    EXPECT_EQ(bound, MakeSocketAddress(AddressFromBytes(127, 0, 0, 1), port)) << "loopback only";

    // 127.0.0.2 is on this machine but is not 127.0.0.1: closed at once.
    const SOCKET stranger = ConnectFrom(AddressFromBytes(127, 0, 0, 2), port);
    ASSERT_NE(stranger, INVALID_SOCKET);
    EXPECT_TRUE(listener.checkForNewConnection());
    EXPECT_FALSE(listener.m_bConnected);
    bool closed = false;
    EXPECT_EQ(ReceiveUntilClosed(stranger, closed), "");
    EXPECT_TRUE(closed);
    SocketClose(stranger);

    const SOCKET local = ConnectFrom(AddressFromBytes(127, 0, 0, 1), port);
    ASSERT_NE(local, INVALID_SOCKET);
    ASSERT_TRUE(WaitUntil([&] { return listener.checkForNewConnection() && listener.m_bConnected; },
                          std::chrono::seconds(5)));
    SocketAddress localAddress;
    ASSERT_TRUE(SocketLocalAddress(local, localAddress));
    EXPECT_EQ(listener.m_addrPeer, localAddress);
    const SOCKET accepted = listener.GetAcceptedSocket();
    uint8_t byte = 0;
    EXPECT_EQ(SocketRecv(accepted, {&byte, 1}), SOCKET_ERROR); // non-blocking
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    SocketClose(accepted);
    SocketClose(local);

    EXPECT_TRUE(listener.checkForNewConnection());
    EXPECT_FALSE(listener.m_bConnected);
    EXPECT_EQ(listener.m_addrPeer, SocketAddress{});
    EXPECT_EQ(Contents(), "");
}

TEST_F(ListenerTest, ReopensAtOnceWhileOldConnectionsLinger)
{
    // One connection closed by the listener's side first (it lingers in TIME_WAIT),
    // one still open, as after an admin session and during a SET AdminPort.
    const uint16_t port = FreeTcpPort();
    auto listener = std::make_unique<CProxyTCPListener>();
    ASSERT_TRUE(listener->init(port));
    const SOCKET ended = ConnectFrom(AddressFromBytes(127, 0, 0, 1), port);
    const SOCKET open = ConnectFrom(AddressFromBytes(127, 0, 0, 1), port);
    ASSERT_NE(ended, INVALID_SOCKET);
    ASSERT_NE(open, INVALID_SOCKET);
    SOCKET accepted[2] = {INVALID_SOCKET, INVALID_SOCKET};
    for (SOCKET& socket : accepted)
    {
        ASSERT_TRUE(WaitUntil([&] { return listener->checkForNewConnection() && listener->m_bConnected; },
                              std::chrono::seconds(5)));
        socket = listener->GetAcceptedSocket();
    }
    SocketClose(accepted[0]);
    bool closed = false;
    ReceiveUntilClosed(ended, closed);
    EXPECT_TRUE(closed);
    SocketClose(ended);
    listener.reset();

    CProxyTCPListener again;
    EXPECT_TRUE(again.init(port));
    EXPECT_EQ(Contents(), "");
    // A second live listener on the port is still refused.
    CProxyTCPListener rival;
    EXPECT_FALSE(rival.init(port));
    EXPECT_EQ(Contents(), Line("Error: Unable to bind listen socket (10048) "
                               "WSAEADDRINUSE: Address already in use."));
    SocketClose(accepted[1]);
    SocketClose(open);
}
