// Faults an operator meets with the real server: restarts on ports whose connections
// linger, a port change that fails, a console whose pipe reader has gone, and bursts
// of Connects.
#include "platform/Socket.h"
#include "platform/Time.h"
#include "support/AdminClient.h"
#include "support/ServerProcess.h"
#include "support/TunnelTestClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

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

// The day of the week of a valid date-time, from its file time (1601-01-01 was a Monday).
int DayOfWeek(const DateTime& time)
{
    uint64_t fileTime = 0;
    if (!DateTimeToFileTime(time, fileTime))
        return -1;
    return static_cast<int>((fileTime / 864000000000u + 1) % 7);
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

TEST(OperatorFaults, ClosedConsolePipeStopsOnlyTheEcho)
{
    // Standard output is a pipe whose reader has gone; standard input is a terminal, so
    // that a key press asks for the statistics dump.
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    close(pipeFds[0]);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);

    ServerProcess server;
    server.Process().SetStdio(terminal, pipeFds[1]);
    ASSERT_TRUE(server.Start()) << server.Log();
    close(pipeFds[1]);
    close(terminal);

    TunnelTestClient client(server.ClientPort());
    ASSERT_TRUE(client.Connect());
    const std::string id = client.ClientId();
    ASSERT_EQ(write(master, "k", 1), 1); // the dump goes to the closed pipe as well
    ASSERT_TRUE(server.WaitForLog("[" + id + "] STATE: WaitForOpen."));
    usleep(200000);
    ASSERT_TRUE(server.Process().Running());
    LoginAndOut(server.AdminPort());

    // Every session still gets its Close, and the log file every line.
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_TRUE(client.WaitFor(PACKET_CLOSE, 5s).has_value());
    const std::string log = server.Log();
    EXPECT_NE(log.find("[" + id + "] Session closed by administrator."), std::string::npos);
    EXPECT_NE(log.find("[" + id + "] Client session ended."), std::string::npos);
    EXPECT_NE(log.find("Admin command LOGOUT issued."), std::string::npos);
    close(master);
}

TEST(OperatorFaults, BurstOfConnectsGetsDistinctValidSessionIds)
{
    ServerProcess server(ServerOptions{.logLevel = 2});
    ASSERT_TRUE(server.Start()) << server.Log();
    const SOCKET s = SocketCreateUdp();
    ASSERT_TRUE(SocketBind(s, MakeLoopbackAddress(0)));
    const int size = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    SocketSetBlocking(s, false);

    constexpr int COUNT = 150;
    TunnelPacket connect;
    connect.Build(PACKET_CONNECT, 2000, std::vector<uint8_t>(16, 0));
    for (int i = 0; i < COUNT; ++i)
        SocketSendTo(s, connect.Bytes(), MakeLoopbackAddress(server.ClientPort()));

    std::set<std::string> ids;
    int sessions = 0;
    WaitUntil(
        [&]
        {
            TunnelPacket packet;
            SocketAddress from;
            int length = 16;
            for (int n; (n = SocketRecvFrom(s, packet.Buffer(), from, length)) > 0;)
            {
                packet.SetLength(static_cast<size_t>(n));
                if (packet.Type() != PACKET_SESSION || packet.Length() != 28)
                    continue;
                ++sessions;
                const SessionId id = SessionId::FromBytes(packet.Payload());
                const DateTime time = id.ToDateTime();
                EXPECT_EQ(DayOfWeek(time), time.dayOfWeek) << id.ToText();
                ids.insert(id.ToText());
            }
            return sessions == COUNT;
        },
        10s);
    EXPECT_EQ(sessions, COUNT);
    EXPECT_EQ(ids.size(), static_cast<size_t>(COUNT));
    SocketClose(s);
    EXPECT_EQ(server.Stop(), 0);
}
