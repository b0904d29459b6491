// What only a direct drive of the admin session shows: one byte per poll, and how
// the end of the connection turns into the state the server core reads.
#include "server/AdminSession.h"
#include "common/Log.h"
#include "platform/Socket.h"
#include "server/ProxyServer.h"
#include "server/ServerSettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

using namespace tq_test;

namespace
{

class AdminSessionTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CLog::GetInstance()->SetFilename(m_dir.File("server.log"));
        CServerSettings::GetInstance()->Values().adminPassword = "5318";
        Connect();
    }
    // A new connection and admin session in place of the current one.
    void Connect()
    {
        m_pSession.reset();
        if (m_client != INVALID_SOCKET)
            SocketClose(m_client);
        const SOCKET listener = SocketCreateTcp();
        SocketAddress address;
        ASSERT_TRUE(SocketBind(listener, MakeLoopbackAddress(0)) && SocketListen(listener, 1) &&
                    SocketLocalAddress(listener, address));
        m_client = SocketCreateTcp();
        ASSERT_EQ(SocketConnect(m_client, MakeLoopbackAddress(NetToHost16(address.port))), 0);
        SocketAddress peer;
        const SOCKET accepted = SocketAccept(listener, peer);
        SocketClose(listener);
        ASSERT_NE(accepted, INVALID_SOCKET);
        SocketSetBlocking(accepted, false);
        m_pSession = std::make_unique<CAdminSession>(&m_server, accepted, peer);
    }
    void TearDown() override
    {
        m_pSession.reset();
        if (m_client != INVALID_SOCKET)
            SocketClose(m_client);
        CServerSettings::DestroyInstance();
        CLog::DestroyInstance();
    }

    void SendFromClient(std::string_view bytes)
    {
        SocketSend(m_client,
                   std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        pollfd fd{m_pSession->GetSocket(), POLLIN, 0};
        ASSERT_EQ(poll(&fd, 1, 5000), 1);
    }
    // What the client receives within `wait`.
    std::string ClientReceived(int waitMs = 0)
    {
        pollfd fd{m_client, POLLIN, 0};
        if (poll(&fd, 1, waitMs) != 1)
            return "";
        uint8_t buffer[4096];
        const int n = SocketRecv(m_client, buffer);
        return n > 0 ? std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(n)) : "";
    }
    std::string Log() const { return ReadFile(m_dir.File("server.log")); }
    // Sends a command with its CR and polls the session until it answers.
    std::string Command(const std::string& command)
    {
        SendFromClient(command + "\r");
        std::string reply;
        for (size_t i = 0; i <= command.size() && reply.empty(); ++i)
        {
            m_pSession->Poll();
            reply = ClientReceived();
        }
        return reply.empty() ? ClientReceived(5000) : reply;
    }

    TempDir m_dir;
    CProxyServer m_server;
    SOCKET m_client = INVALID_SOCKET;
    std::unique_ptr<CAdminSession> m_pSession;
};

} // namespace

TEST_F(AdminSessionTest, TakesOneBytePerPoll)
{
    EXPECT_FALSE(m_pSession->Poll()); // nothing there: would block
    EXPECT_EQ(m_pSession->m_nState, CAdminSession::STATE_OPEN);

    SendFromClient("LOGIN 5318\r");
    for (int i = 0; i < 10; ++i)
        m_pSession->Poll();
    EXPECT_EQ(ClientReceived(), "");
    m_pSession->Poll(); // the CR
    EXPECT_EQ(ClientReceived(5000), "{OK}");

    SendFromClient("SHUTDOWN 5318\r");
    for (int i = 0; i < 14; ++i)
        m_pSession->Poll();
    EXPECT_EQ(m_pSession->m_nState, CAdminSession::STATE_SHUTDOWN_REQUESTED);
}

TEST_F(AdminSessionTest, PeerEndRequestsClose)
{
    SocketClose(m_client);
    m_client = INVALID_SOCKET;
    pollfd fd{m_pSession->GetSocket(), POLLIN, 0};
    ASSERT_EQ(poll(&fd, 1, 5000), 1);
    EXPECT_FALSE(m_pSession->Poll());
    EXPECT_EQ(m_pSession->m_nState, CAdminSession::STATE_CLOSE_REQUESTED);
    EXPECT_NE(Log().find("Admin session closed."), std::string::npos);
}

TEST_F(AdminSessionTest, ResetConnectionIsLoggedWithItsError)
{
    // A zero linger time makes the close a reset.
    const linger abort{1, 0};
    setsockopt(m_client, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    SocketClose(m_client);
    m_client = INVALID_SOCKET;
    pollfd fd{m_pSession->GetSocket(), POLLIN, 0};
    ASSERT_EQ(poll(&fd, 1, 5000), 1);
    m_pSession->Poll();
    EXPECT_EQ(m_pSession->m_nState, CAdminSession::STATE_CLOSE_REQUESTED);
    EXPECT_NE(Log().find("Admin session connection lost, error: 10054."), std::string::npos);
}

TEST_F(AdminSessionTest, PasswordsMatchOnlyWhole)
{
    CServerSettings::GetInstance()->Values().adminPassword = "Tarvi5318";
    const char* const wrong[] = {"LOGIN Tarvi531",  "LOGIN T",         "LOGIN Tarvi53189",
                                 "LOGIN Tarvi5318 ", "LOGIN tarvi5318", "LOGIN TARVI5318",
                                 "LOGIN ",           "LOGIN"};
    for (const char* command : wrong)
    {
        Connect();
        EXPECT_EQ(Command(command), "{Incorrect password.}") << command;
        EXPECT_EQ(m_pSession->m_nState, CAdminSession::STATE_CLOSE_REQUESTED) << command;
    }

    Connect();
    ASSERT_EQ(Command("LOGIN Tarvi5318"), "{OK}");
    for (const char* command : {"SHUTDOWN Tarvi531", "SHUTDOWN Tarvi53189", "SHUTDOWN Tarvi5318 ",
                                "SHUTDOWN tarvi5318", "SHUTDOWN ", "SHUTDOWN"})
    {
        EXPECT_EQ(Command(command), "{Incorrect password.}") << command;
        EXPECT_EQ(m_pSession->m_nState, CAdminSession::STATE_OPEN) << command;
    }
    EXPECT_EQ(Command("SHUTDOWN Tarvi5318"), "{OK}");
    EXPECT_EQ(m_pSession->m_nState, CAdminSession::STATE_SHUTDOWN_REQUESTED);
}
