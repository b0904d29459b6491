// Hostile peers against the real server: none of them may stop its loop. A live tunnel
// session echoes 64-byte messages throughout, each answered within a second, and an
// operator can log in afterwards.
#include "platform/Socket.h"
#include "support/AdminClient.h"
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"
#include "support/TunnelTestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <sys/socket.h>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

constexpr int LOGIN_GRACE_S = 2;

ServerOptions Options()
{
    ServerOptions options;
    options.logLevel = 2;
    options.adminLoginGrace = LOGIN_GRACE_S;
    return options;
}

class LoopFaults : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Start()) << m_server.Log();
        ASSERT_TRUE(m_live.Connect());
        ASSERT_TRUE(m_live.Open("127.0.0.1", m_host.Port()));
    }
    // `count` round trips of 64 bytes through the live session, each within a second.
    void ExpectEchoes(int count)
    {
        for (int i = 0; i < count; ++i)
        {
            const std::vector<uint8_t> out(64, static_cast<uint8_t>('a' + m_nEchoes++ % 26));
            std::vector<uint8_t> in;
            const size_t before = m_live.m_received.size();
            ASSERT_TRUE(m_live.Exchange(out, before + out.size(), in, 1s)) << "echo " << m_nEchoes;
            EXPECT_EQ(std::vector<uint8_t>(in.begin() + long(before), in.end()), out);
        }
    }
    void ExpectOperatorLogin()
    {
        AdminClient admin(m_server.AdminPort());
        ASSERT_TRUE(admin.Connected());
        EXPECT_EQ(admin.Command("LOGIN 5318"), "{OK}");
        EXPECT_NE(admin.Command("LIST").find(m_live.ClientId()), std::string::npos);
    }
    // A raw connection to the admin port that reads nothing, with a small buffer.
    SOCKET ConnectSilently()
    {
        const SOCKET s = SocketCreateTcp();
        const int small = 4096;
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        EXPECT_EQ(SocketConnect(s, MakeLoopbackAddress(m_server.AdminPort())), 0);
        SocketSetBlocking(s, false);
        return s;
    }

    ServerProcess m_server{Options()};
    TcpEchoHost m_host;
    TunnelTestClient m_live{m_server.ClientPort()};
    int m_nEchoes = 0;
};

} // namespace

TEST_F(LoopFaults, AnAdminFloodThatNeverReadsIsDisconnected)
{
    // Logged in, so that only the pile of replies can end it.
    const SOCKET flood = ConnectSilently();
    std::string lines = "login 5318\r";
    for (int i = 0; i < 1000; ++i)
        lines += "help\r";
    const auto end = std::chrono::steady_clock::now() + 20s;
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() < end)
    {
        send(flood, lines.data(), lines.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        lines.erase(0, lines.find('h')); // the login once
        ExpectEchoes(1);
        ended = m_server.WaitForLog("bytes of replies unread.", 50ms);
    }
    EXPECT_TRUE(ended) << m_server.Log();
    ExpectEchoes(3);
    SocketClose(flood);
    ExpectOperatorLogin();
}

TEST_F(LoopFaults, ATunnelToTheAdminPortThatNeverReadsIsDisconnected)
{
    TunnelTestClient loop(m_server.ClientPort());
    ASSERT_TRUE(loop.Connect());
    ASSERT_TRUE(loop.Open("127.0.0.1", m_server.AdminPort()));
    // Data packets full of commands, sent without reading anything back.
    std::string lines;
    while (lines.size() + 5 <= TunnelPacket::MAX_PAYLOAD)
        lines += "help\r";
    uint32_t number = loop.NextSendNumber();
    for (int i = 0; i < 40; ++i)
    {
        TunnelPacket packet;
        packet.Build(PACKET_DATA, number++,
                     {reinterpret_cast<const uint8_t*>(lines.data()), lines.size()});
        loop.SendToSession({packet.Bytes().begin(), packet.Bytes().end()});
        if (i % 8 == 0)
            ExpectEchoes(1);
    }
    EXPECT_TRUE(m_server.WaitForLog("Admin session 127.0.0.1:", 5s));
    ExpectEchoes(5);
    // The replies pile up in the kernel's buffers and the connection's queue until the
    // queue's limit or the login grace time ends the connection.
    ExpectOperatorLogin();
}

TEST_F(LoopFaults, ASilentConnectionLosesTheAdminSlotAfterTheGraceTime)
{
    const SOCKET squatter = ConnectSilently();
    ASSERT_TRUE(m_server.WaitForLog("connected.", 5s));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(LOGIN_GRACE_S + 1);
    while (std::chrono::steady_clock::now() < end)
    {
        ExpectEchoes(1);
        std::this_thread::sleep_for(50ms);
    }
    ExpectOperatorLogin();
    EXPECT_NE(m_server.Log().find("closed: it did not log in within 2 seconds."),
              std::string::npos)
        << m_server.Log();
    SocketClose(squatter);
}
