// Faults an operator meets with the real server: restarts on ports whose connections
// linger and a port change that fails.
#include "platform/Socket.h"
#include "support/AdminClient.h"
#include "support/ServerProcess.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

constexpr const char* PASSWORD = "5318";

std::unique_ptr<AdminClient> Login(uint16_t port)
{
    auto admin = std::make_unique<AdminClient>(port);
    EXPECT_TRUE(admin->Connected());
    EXPECT_EQ(admin->Command(std::string("LOGIN ") + PASSWORD), "{OK}");
    return admin;
}

// Logs in and out; the server closes first, so its end of the connection lingers.
void LoginAndOut(uint16_t port)
{
    auto admin = Login(port);
    EXPECT_EQ(admin->Command("LOGOUT"), "{OK}");
    EXPECT_TRUE(admin->WaitClosed());
}

// A TCP listener on every address, as another program holding a port would have.
SOCKET ListenOn(uint16_t port)
{
    const SOCKET s = SocketCreateTcp();
    if (!SocketBind(s, MakeSocketAddress(0, port)) || !SocketListen(s, 5))
    {
        SocketClose(s);
        return INVALID_SOCKET;
    }
    return s;
}

} // namespace

TEST(OperatorFaults, RestartAfterAnAdminSessionBindsAtOnce)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.Log();
    LoginAndOut(server.AdminPort());
    ASSERT_EQ(server.Stop(), 0);

    WriteFile(server.LogPath(), "");
    ASSERT_TRUE(server.Start()) << server.Log();
    EXPECT_EQ(server.Log().find("Unable to bind"), std::string::npos) << server.Log();
    LoginAndOut(server.AdminPort());
    EXPECT_EQ(server.Stop(), 0);
}

TEST(OperatorFaults, FailedAdminPortChangeKeepsTheOldPort)
{
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.Log();
    const uint16_t taken = FreeTcpPort();
    const SOCKET holder = ListenOn(taken);
    ASSERT_NE(holder, INVALID_SOCKET);

    auto admin = Login(server.AdminPort());
    EXPECT_EQ(admin->Command("SET AdminPort=" + std::to_string(taken)), "{Set option failed.}");
    EXPECT_EQ(admin->Command("GET AdminPort"), "{" + std::to_string(server.AdminPort()) + "}");
    EXPECT_EQ(admin->Command("LOGOUT"), "{OK}");
    EXPECT_TRUE(admin->WaitClosed());

    // The old port still serves, now and after the next operator.
    LoginAndOut(server.AdminPort());
    LoginAndOut(server.AdminPort());
    EXPECT_TRUE(server.Process().Running());
    EXPECT_EQ(server.Log().find("Invalid listen socket"), std::string::npos) << server.Log();
    EXPECT_EQ(server.Stop(), 0);
    SocketClose(holder);
}
