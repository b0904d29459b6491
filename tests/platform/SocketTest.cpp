#include "platform/Socket.h"
#include "platform/SocketLayer.h"
#include "platform/Time.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace
{
const std::vector<uint8_t> kPayload = {1, 2, 3, 4, 5};

// A socket bound to 127.0.0.1 on a free port; its port is returned.
SOCKET BoundSocket(bool udp, uint16_t& port)
{
    const SOCKET s = udp ? SocketCreateUdp() : SocketCreateTcp();
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_TRUE(SocketBind(s, MakeLoopbackAddress(0)));
    SocketAddress local;
    EXPECT_TRUE(SocketLocalAddress(s, local));
    port = NetToHost16(local.port);
    return s;
}

// A loopback port nobody listens on (it was bound a moment ago).
uint16_t ClosedPort(bool udp)
{
    uint16_t port = 0;
    SocketClose(BoundSocket(udp, port));
    return port;
}

// Receives until something other than "would block" happens or 3 s pass.
int ReceiveSettled(SOCKET s, std::vector<uint8_t>& buffer, int& error)
{
    const uint32_t deadline = GetTickCount() + 3000;
    for (;;)
    {
        SocketAddress from;
        int length = 0;
        const int n = SocketRecvFrom(s, buffer, from, length);
        error = n < 0 ? WSAGetLastError() : 0;
        if (n >= 0 || error != WSAEWOULDBLOCK || TickReached(GetTickCount(), deadline))
        {
            return n;
        }
        SleepMs(5);
    }
}

TEST(SocketTest, UdpSendToClosedPortResetsTheNextReceiveOnce)
{
    uint16_t port = 0;
    const SOCKET s = BoundSocket(true, port);
    ASSERT_TRUE(SocketSetBlocking(s, false));
    std::vector<uint8_t> buffer(64);
    SocketAddress from;
    int length = 0;
    EXPECT_EQ(SocketRecvFrom(s, buffer, from, length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    const SocketAddress closed = MakeLoopbackAddress(ClosedPort(true));
    EXPECT_EQ(SocketSendTo(s, kPayload, closed), 5);
    int error = 0;
    EXPECT_EQ(ReceiveSettled(s, buffer, error), SOCKET_ERROR);
    EXPECT_EQ(error, WSAECONNRESET);
    EXPECT_EQ(SocketRecvFrom(s, buffer, from, length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    // Two sends in a row: the second meets the first one's error and still goes out.
    EXPECT_EQ(SocketSendTo(s, kPayload, closed), 5);
    EXPECT_EQ(SocketSendTo(s, kPayload, closed), 5);
    EXPECT_EQ(ReceiveSettled(s, buffer, error), SOCKET_ERROR);
    EXPECT_EQ(error, WSAECONNRESET);

    // Real datagrams still arrive afterwards, with their sender.
    uint16_t senderPort = 0;
    const SOCKET sender = BoundSocket(true, senderPort);
    EXPECT_EQ(SocketSendTo(sender, kPayload, MakeLoopbackAddress(port)), 5);
    int n = ReceiveSettled(s, buffer, error);
    if (n < 0 && error == WSAECONNRESET) // a late ICMP of the second send
    {
        n = ReceiveSettled(s, buffer, error);
    }
    EXPECT_EQ(n, 5);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 5), kPayload);

    // A datagram larger than the buffer is not passed on cut: it fails with 10040.
    EXPECT_EQ(SocketSendTo(sender, std::vector<uint8_t>(100, 7), MakeLoopbackAddress(port)), 100);
    EXPECT_EQ(ReceiveSettled(s, buffer, error), SOCKET_ERROR);
    EXPECT_EQ(error, WSAEMSGSIZE);
    SocketClose(sender);
    SocketClose(s);
}

TEST(SocketTest, TcpConnectAcceptAndRefusal)
{
    const SOCKET refused = SocketCreateTcp();
    ASSERT_TRUE(SocketSetBlocking(refused, false));
    const int result = SocketConnect(refused, MakeLoopbackAddress(ClosedPort(false)));
    int error = 0;
    int progress = result == 0 ? 1 : -1;
    if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
    {
        for (int i = 0; i < 600 && (progress = SocketConnectProgress(refused, error)) == 0; ++i)
        {
            SleepMs(5);
        }
    }
    else
    {
        error = WSAGetLastError();
    }
    EXPECT_EQ(progress, -1);
    EXPECT_EQ(error, WSAECONNREFUSED);
    SocketClose(refused);

    uint16_t port = 0;
    const SOCKET listener = BoundSocket(false, port);
    ASSERT_TRUE(SocketListen(listener, 5));
    ASSERT_TRUE(SocketSetBlocking(listener, false));
    SocketAddress peer;
    EXPECT_EQ(SocketAccept(listener, peer), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);

    const SOCKET client = SocketCreateTcp();
    ASSERT_TRUE(SocketSetBlocking(client, false));
    SocketConnect(client, MakeLoopbackAddress(port));
    for (int i = 0; i < 600 && (progress = SocketConnectProgress(client, error)) == 0; ++i)
    {
        SleepMs(5);
    }
    EXPECT_EQ(progress, 1);
    SOCKET accepted = INVALID_SOCKET;
    for (int i = 0; i < 600 && (accepted = SocketAccept(listener, peer)) == INVALID_SOCKET; ++i)
    {
        SleepMs(5);
    }
    ASSERT_NE(accepted, INVALID_SOCKET);
    SocketAddress clientAddress;
    ASSERT_TRUE(SocketLocalAddress(client, clientAddress));
    EXPECT_EQ(peer, clientAddress);

    // The accepted socket is non-blocking like its listener.
    std::vector<uint8_t> buffer(16);
    EXPECT_EQ(SocketRecv(accepted, buffer), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(SocketSend(client, kPayload), 5);
    SocketClose(client);
    ASSERT_TRUE(SocketSetBlocking(accepted, true));
    EXPECT_EQ(SocketRecv(accepted, buffer), 5);
    EXPECT_EQ(SocketRecv(accepted, buffer), 0); // peer closed
    SocketClose(accepted);

    const SOCKET second = SocketCreateTcp();
    EXPECT_FALSE(SocketBind(second, MakeLoopbackAddress(port)));
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    SocketClose(second);
    SocketClose(listener);
}

TEST(SocketTest, AddressesAndErrorCodes)
{
    const uint32_t loopback = AddressFromBytes(127, 0, 0, 1);
    EXPECT_EQ(ParseDottedAddress("127.0.0.1"), loopback);
    EXPECT_EQ(ParseDottedAddress("not an address"), 0xFFFFFFFFu);
    EXPECT_EQ(DottedAddressText(AddressFromBytes(10, 20, 30, 255)), "10.20.30.255");
    uint8_t bytes[4];
    AddressBytes(loopback, bytes);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[3], 1);
    const SocketAddress address = MakeLoopbackAddress(0x1234);
    EXPECT_EQ(address.family, AF_INET_FAMILY);
    EXPECT_EQ(address.port, HostToNet16(0x1234));
    EXPECT_EQ(address.address, loopback);

    uint32_t resolved = 0;
    EXPECT_TRUE(CSystemSocketLayer::Instance().ResolveAddress("127.0.0.1", resolved));
    EXPECT_EQ(resolved, loopback);
    EXPECT_FALSE(CSystemSocketLayer::Instance().ResolveAddress("255.255.255.255", resolved));

    EXPECT_EQ(MapErrnoToWsa(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(MapErrnoToWsa(EINPROGRESS), WSAEWOULDBLOCK);
    EXPECT_EQ(MapErrnoToWsa(EPIPE), WSAECONNRESET);
    EXPECT_EQ(MapErrnoToWsa(ENFILE), WSAEMFILE);
    EXPECT_EQ(MapErrnoToWsa(EDOM), WSAEINVAL); // unknown codes
    // accept(2): a connection that died in the backlog, or that a firewall refused
    // (EPERM), leaves nothing to take; the listener itself failing is an error.
    for (const int dead : {ECONNABORTED, ECONNRESET, EPROTO, ENETUNREACH, EHOSTUNREACH,
                           ETIMEDOUT, EINTR, EPERM, EAGAIN})
        EXPECT_EQ(MapAcceptErrnoToWsa(dead), WSAEWOULDBLOCK) << dead;
    EXPECT_EQ(MapAcceptErrnoToWsa(EMFILE), WSAEMFILE);
    EXPECT_EQ(MapAcceptErrnoToWsa(EBADF), WSAENOTSOCK);
    EXPECT_EQ(MapAcceptErrnoToWsa(EINVAL), WSAEINVAL);

    WSASetLastError(0);
    EXPECT_EQ(SocketSend(-1, kPayload), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}
} // namespace
