// Faults an operator meets with the real server: restarts on ports whose connections
// linger, a port change that fails, and listeners that cannot be opened at all.
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

// The environment a ServerProcess gives its server.
std::map<std::string, std::string> ServerEnvironment(const ServerProcess& server)
{
    return {{"TARVIQEN_REGISTRY", server.RegistryDir()},
            {"TARVIQEN_FOLDER", server.Dir().Path()},
            {"NOTIFY_SOCKET", ""}};
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

TEST(OperatorFaults, ListenersThatCannotOpenEndWithFailure)
{
    ServerProcess server;
    server.WriteSettings();
    const SOCKET holder = ListenOn(server.AdminPort());
    ASSERT_NE(holder, INVALID_SOCKET);
    const std::string failure = "Error: Unable to initialize admin TCP listener on port " +
                                std::to_string(server.AdminPort()) + ".";

    // Service mode: the service manager must see the failure to restart the service.
    ChildProcess service;
    ASSERT_TRUE(service.Start({BinDir() + "/TarviQenServer"}, ServerEnvironment(server),
                              server.Dir().Path()));
    int status = -1;
    ASSERT_TRUE(service.Wait(10s, status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(server.Log().find("Error: Unable to bind listen socket (10048) WSAEADDRINUSE: "
                                "Address already in use."),
              std::string::npos)
        << server.Log();
    EXPECT_NE(server.Log().find(failure), std::string::npos);

    // Console mode says so too.
    WriteFile(server.LogPath(), "");
    EXPECT_FALSE(server.Start(2s));
    ASSERT_TRUE(server.Process().Wait(10s, status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(server.Log().find(failure), std::string::npos);
    SocketClose(holder);
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
