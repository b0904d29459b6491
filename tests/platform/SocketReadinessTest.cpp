// The readiness the event loops rely on: watched once, level or edge, paused, and
// nothing reported for a socket that was closed, even when its number comes back.
#include "platform/SocketLayer.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

const std::vector<uint8_t> kBytes = {1, 2, 3};

class SocketReadinessTest : public ::testing::Test
{
protected:
    SOCKET BoundUdp(uint16_t& port)
    {
        const SOCKET s = m_layer.CreateUdpSocket();
        EXPECT_TRUE(m_layer.Bind(s, MakeLoopbackAddress(0)));
        EXPECT_TRUE(m_layer.SetNonBlocking(s));
        SocketAddress local;
        EXPECT_TRUE(SocketLocalAddress(s, local));
        port = NetToHost16(local.port);
        return s;
    }
    // A connected TCP pair; `accepted` is non-blocking.
    void TcpPair(SOCKET& client, SOCKET& accepted)
    {
        const SOCKET listener = m_layer.CreateTcpSocket();
        ASSERT_TRUE(m_layer.Bind(listener, MakeLoopbackAddress(0)));
        ASSERT_TRUE(m_layer.Listen(listener, 5));
        SocketAddress local;
        ASSERT_TRUE(SocketLocalAddress(listener, local));
        client = m_layer.CreateTcpSocket();
        ASSERT_EQ(0, m_layer.Connect(client, local));
        SocketAddress peer;
        accepted = m_layer.Accept(listener, peer);
        ASSERT_NE(INVALID_SOCKET, accepted);
        m_layer.SetNonBlocking(accepted);
        m_layer.Close(listener);
    }
    std::vector<SocketReadiness> Wait(uint32_t timeoutMs = 0)
    {
        std::vector<SocketReadiness> ready;
        m_layer.WaitReady(timeoutMs, ready);
        return ready;
    }

    CSystemSocketLayer m_layer;
};

TEST_F(SocketReadinessTest, LevelReportsWhileDatagramsWaitAndPausedReportsNothing)
{
    uint16_t port = 0;
    const SOCKET receiver = BoundUdp(port);
    uint16_t senderPort = 0;
    const SOCKET sender = BoundUdp(senderPort);
    ASSERT_TRUE(m_layer.Watch(receiver, 41, WatchMode::Level));
    EXPECT_TRUE(Wait().empty());
    m_layer.SendTo(sender, kBytes, MakeLoopbackAddress(port));
    for (int i = 0; i < 2; ++i) // unread: reported again
    {
        const auto ready = Wait(1000);
        ASSERT_EQ(1u, ready.size());
        EXPECT_EQ(41u, ready[0].token);
        EXPECT_TRUE(ready[0].readable);
    }
    ASSERT_TRUE(m_layer.Watch(receiver, 41, WatchMode::Paused));
    EXPECT_TRUE(Wait(20).empty());
    ASSERT_TRUE(m_layer.Watch(receiver, 41, WatchMode::Level));
    EXPECT_EQ(1u, Wait().size());
    std::vector<uint8_t> buffer(64);
    SocketAddress from;
    int length = 0;
    EXPECT_EQ(3, m_layer.RecvFrom(receiver, buffer, from, length));
    EXPECT_TRUE(Wait().empty());
    m_layer.Close(receiver);
    m_layer.Close(sender);
}

TEST_F(SocketReadinessTest, EdgeReportsEachChangeOnce)
{
    SOCKET client = INVALID_SOCKET;
    SOCKET accepted = INVALID_SOCKET;
    TcpPair(client, accepted);
    ASSERT_TRUE(m_layer.Watch(accepted, 7, WatchMode::Edge));
    auto ready = Wait();
    ASSERT_EQ(1u, ready.size()); // writable from the start
    EXPECT_TRUE(ready[0].writable);
    EXPECT_FALSE(ready[0].readable);
    EXPECT_TRUE(Wait().empty());
    m_layer.Send(client, kBytes);
    ready = Wait(1000);
    ASSERT_EQ(1u, ready.size());
    EXPECT_TRUE(ready[0].readable);
    EXPECT_TRUE(Wait(20).empty()); // unread, but no new edge
    m_layer.Send(client, kBytes);
    EXPECT_EQ(1u, Wait(1000).size()); // more bytes: a new edge
    m_layer.Close(client);
    ready = Wait(1000);
    ASSERT_EQ(1u, ready.size());
    EXPECT_TRUE(ready[0].readable); // the peer closed
    m_layer.Close(accepted);
}

// A socket closed during a pass reports nothing later; a new socket that gets the same
// number reports under its own token only.
TEST_F(SocketReadinessTest, AClosedSocketIsForgottenAndItsNumberReportsItsNewOwner)
{
    uint16_t port = 0;
    const SOCKET first = BoundUdp(port);
    uint16_t senderPort = 0;
    const SOCKET sender = BoundUdp(senderPort);
    m_layer.Watch(first, 100, WatchMode::Level);
    m_layer.SendTo(sender, kBytes, MakeLoopbackAddress(port));
    ASSERT_EQ(1u, Wait(1000).size());
    m_layer.Close(first);
    EXPECT_TRUE(Wait().empty());
    uint16_t secondPort = 0;
    const SOCKET second = BoundUdp(secondPort);
    EXPECT_EQ(first, second); // the lowest free number comes back
    m_layer.Watch(second, 200, WatchMode::Level);
    EXPECT_TRUE(Wait().empty());
    m_layer.SendTo(sender, kBytes, MakeLoopbackAddress(secondPort));
    const auto ready = Wait(1000);
    ASSERT_EQ(1u, ready.size());
    EXPECT_EQ(200u, ready[0].token);
    m_layer.Close(second);
    m_layer.Close(sender);
}

// An unreachable port met by sendto is kept for the next receive; the socket is then
// reported readable so that the receive happens.
TEST_F(SocketReadinessTest, AResetForTheNextReceiveIsReported)
{
    uint16_t port = 0;
    const SOCKET s = BoundUdp(port);
    uint16_t deadPort = 0;
    m_layer.Close(BoundUdp(deadPort));
    m_layer.Watch(s, 9, WatchMode::Level);
    m_layer.SendTo(s, kBytes, MakeLoopbackAddress(deadPort));
    const auto ready = Wait(1000);
    ASSERT_FALSE(ready.empty());
    EXPECT_EQ(9u, ready[0].token);
    std::vector<uint8_t> buffer(64);
    SocketAddress from;
    int length = 0;
    EXPECT_EQ(SOCKET_ERROR, m_layer.RecvFrom(s, buffer, from, length));
    EXPECT_EQ(WSAECONNRESET, m_layer.GetLastError());
    m_layer.Close(s);
}

} // namespace
