// The admin command protocol as an operator's program sees it: a real server, a TCP
// connection to its admin port, commands ended by CR and replies in braces.
#include "platform/Socket.h"
#include "support/AdminClient.h"
#include "support/ServerProcess.h"
#include "support/TunnelTestClient.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

constexpr const char* PASSWORD = "5318";
// Shapes of texts with time stamps: '#' stands for any decimal digit.
const std::string DATE = "####-##-## ##:##:##";

bool MatchesShape(std::string_view text, std::string_view shape)
{
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
    {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '#' ? !digit : text[i] != shape[i])
            return false;
    }
    return true;
}

// "n,n,...,n}" with `count` unsigned decimal numbers.
bool IsNumberList(std::string_view text, int count)
{
    int numbers = 0;
    bool inNumber = false;
    for (const char c : text)
    {
        if (c >= '0' && c <= '9')
        {
            numbers += inNumber ? 0 : 1;
            inNumber = true;
        }
        else if ((c == ',' || c == '}') && inNumber)
            inNumber = false;
        else
            return false;
    }
    return numbers == count && text.ends_with('}');
}

std::string HelpReply()
{
    const std::pair<const char*, const char*> lines[] = {
        {"help", "This command"},
        {"login <password>", "Logs in"},
        {"logout", "Logs out and ends admin session"},
        {"list", "Lists client IDs"},
        {"show <client ID>", "Displays information about the client connection"},
        {"terminate <client ID>", "Terminates the client connection"},
        {"clearlog", "Clears the server log."},
        {"shutdown <password>", "Terminates all clients and stops the server"},
        {"get <name>", "Gets the option <name>"},
        {"set <name>=<value>", "Sets the option <name> to <value>"},
    };
    std::string text = "{Valid commands are:\r\n\r\n";
    for (const auto& [command, meaning] : lines)
    {
        std::string line = command;
        line.resize(25, ' '); // the hyphen stands in column 26
        text += line + "- " + meaning + "\r\n";
    }
    return text + "}";
}

std::string Hex8(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", value);
    return text;
}

class AdminProtocol : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start()) << m_server.Log(); }

    // A new connection, logged in.
    std::unique_ptr<AdminClient> Login(uint16_t port = 0)
    {
        auto admin = std::make_unique<AdminClient>(port ? port : m_server.AdminPort());
        EXPECT_TRUE(admin->Connected());
        EXPECT_EQ(admin->Command(std::string("LOGIN ") + PASSWORD), "{OK}");
        return admin;
    }

    ServerProcess m_server;
};

} // namespace

TEST_F(AdminProtocol, LoginRulesAndOneSessionAtATime)
{
    AdminClient first(m_server.AdminPort());
    ASSERT_TRUE(first.Connected());
    EXPECT_EQ(first.Command("help"), HelpReply());
    EXPECT_TRUE(m_server.WaitForLog("Admin command HELP issued."));
    // Before LOGIN every other word, known or not, is refused and the session stays.
    EXPECT_EQ(first.Command("LIST"), "{Not logged in.}");
    EXPECT_EQ(first.Command("bogus"), "{Not logged in.}");
    EXPECT_EQ(first.Command(""), "{Not logged in.}");
    EXPECT_NE(m_server.Log().find("Admin command 'LIST' issued when not logged in."),
              std::string::npos);
    EXPECT_EQ(first.Command("lOgIn 5318"), "{OK}");

    // A second operator waits in the backlog until the first one leaves.
    AdminClient second(m_server.AdminPort());
    ASSERT_TRUE(second.Connected());
    second.Send("HELP\r");
    EXPECT_EQ(second.ReadReply(300ms), "");
    EXPECT_EQ(first.Command("LOGOUT"), "{OK}");
    EXPECT_TRUE(first.WaitClosed());
    EXPECT_EQ(second.ReadReply(), HelpReply());

    // The whole argument is the password: a trailing blank makes it wrong, and a
    // wrong password ends the connection.
    EXPECT_EQ(second.Command("LOGIN 5318 "), "{Incorrect password.}");
    EXPECT_TRUE(second.WaitClosed());
    EXPECT_TRUE(m_server.WaitForLog("Admin command LOGIN issued with incorrect password."));
    Login();
}

TEST_F(AdminProtocol, GetAndSetOptions)
{
    auto admin = Login();
    EXPECT_EQ(admin->Command("GET AdminPassword"), "{5318}");
    EXPECT_EQ(admin->Command("GET AdminPort"), "{" + std::to_string(m_server.AdminPort()) + "}");
    EXPECT_EQ(admin->Command("GET ClientIdleDisconnect"), "{0}");
    EXPECT_EQ(admin->Command("GET ClientPort"), "{" + std::to_string(m_server.ClientPort()) + "}");
    EXPECT_EQ(admin->Command("GET LogFile"), "{" + m_server.LogPath() + "}");
    EXPECT_EQ(admin->Command("GET LogLevel"), "{3}");
    EXPECT_EQ(admin->Command("GET MaxLogLines"), "{10000}");
    EXPECT_EQ(admin->Command("GET loglevel"), "{Invalid option.}");
    EXPECT_EQ(admin->Command("GET"), "{Invalid option.}");

    EXPECT_EQ(admin->Command("SET LogLevel=5"), "{Set option failed.}");
    EXPECT_NE(m_server.Log().find("Admin command SET (LogLevel=5) failed."), std::string::npos);
    EXPECT_EQ(admin->Command("SET loglevel=2"), "{Invalid option.}");
    EXPECT_EQ(admin->Command("SET LogLevel = 2"), "{Invalid option.}");
    EXPECT_EQ(admin->Command("SET LogLevel"), "{Set option failed.}");
    EXPECT_EQ(admin->Command("SET MaxLogLines=-1"), "{OK}");
    EXPECT_EQ(admin->Command("GET MaxLogLines"), "{-1}");
    EXPECT_NE(m_server.Log().find("Admin command SET (MaxLogLines=-1) succeeded."),
              std::string::npos);
    // The value ends before a second unquoted equals sign.
    EXPECT_EQ(admin->Command("SET ClientIdleDisconnect=30=40"), "{OK}");
    EXPECT_EQ(admin->Command("GET ClientIdleDisconnect"), "{30}");

    // A password the settings cannot hold is refused and the server lives on.
    EXPECT_EQ(admin->Command("SET AdminPassword=" + std::string(128, 'p')), "{Set option failed.}");
    EXPECT_EQ(admin->Command("GET AdminPassword"), "{5318}");

    // A new admin port takes effect at once and is saved.
    const uint16_t newPort = FreeTcpPort();
    EXPECT_EQ(admin->Command("SET AdminPort=" + std::to_string(newPort)), "{OK}");
    EXPECT_NE(ReadFile(m_server.RegistryFile()).find("\"AdminPort\"=dword:" + Hex8(newPort)),
              std::string::npos);
    EXPECT_EQ(admin->Command("LOGOUT"), "{OK}");
    EXPECT_TRUE(admin->WaitClosed());
    auto moved = Login(newPort);
    EXPECT_EQ(moved->Command("GET AdminPort"), "{" + std::to_string(newPort) + "}");
}

TEST_F(AdminProtocol, CommandFraming)
{
    auto admin = Login();
    // The LF after a CR begins the next command, whose word then never matches.
    admin->Send("GET LogLevel\r\n");
    EXPECT_EQ(admin->ReadReply(), "{3}");
    EXPECT_EQ(admin->Command("GET LogLevel"), "{Does not compute}");
    EXPECT_EQ(admin->Command(""), "{Does not compute}");
    EXPECT_EQ(admin->Command("\"GET\" LogLevel"), "{3}");

    // 511 characters are held; everything after them up to the CR is dropped, and the
    // line is answered as an unknown command: nothing of it runs.
    admin->Send(std::string(511, 'a') + "X" + "SHUTDOWN 5318\r");
    EXPECT_EQ(admin->ReadReply(), "{Does not compute}");
    EXPECT_EQ(admin->Command("GET LogLevel"), "{3}");
    const std::string log = m_server.Log();
    EXPECT_EQ(CountOf(log, "Admin command buffer overflow."), 1);
    EXPECT_EQ(log.find("SHUTDOWN"), std::string::npos);
}

TEST_F(AdminProtocol, SessionCommandsAndShutdown)
{
    auto admin = Login();
    EXPECT_EQ(admin->Command("LIST"), "{0}");
    EXPECT_EQ(admin->Command("SHOW"), "{Error: Missing argument.}");
    EXPECT_EQ(admin->Command("TERMINATE"), "{Error: Missing argument.}");
    EXPECT_EQ(admin->Command("SHOW 10.1.2.3:99"), "{Error: No session with ID 10.1.2.3:99.}");
    EXPECT_EQ(admin->Command("TERMINATE 10.1.2.3:99"), "{Error: No session with ID 10.1.2.3:99.}");
    const std::string longId(200, '7');
    EXPECT_EQ(admin->Command("SHOW " + longId),
              "{Error: No session with ID " + longId.substr(0, 72) + ".}");
    const std::string log = m_server.Log();
    EXPECT_NE(log.find("Admin command SHOW issued, missing argument."), std::string::npos);
    EXPECT_NE(log.find("Admin command TERMINATE issued, missing argument."), std::string::npos);
    EXPECT_NE(log.find("Admin command TERMINATE issued with an invalid session ID (10.1.2.3:99)."),
              std::string::npos);

    // A live tunnel session to a local listener.
    const SOCKET host = SocketCreateTcp();
    SocketAddress hostAddress;
    ASSERT_TRUE(SocketBind(host, MakeLoopbackAddress(0)) && SocketListen(host, 5) &&
                SocketLocalAddress(host, hostAddress));
    TunnelTestClient client(m_server.ClientPort());
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Open("127.0.0.1", NetToHost16(hostAddress.port)));
    const std::string id = client.ClientId();

    const std::string list = admin->Command("LIST");
    EXPECT_TRUE(MatchesShape(list, "{1," + id + ";" + DATE + ".###;" + DATE + ";" + DATE + "}"))
        << list;
    EXPECT_TRUE(m_server.WaitForLog("Admin command LIST issued."));
    const std::string show = admin->Command("SHOW " + id);
    const std::string times = "{" + DATE + ".###," + DATE + "," + DATE + ",";
    ASSERT_GT(show.size(), times.size());
    EXPECT_TRUE(MatchesShape(show.substr(0, times.size()), times)) << show;
    EXPECT_TRUE(IsNumberList(std::string_view(show).substr(times.size()), 13)) << show;

    EXPECT_EQ(admin->Command("TERMINATE " + id), "{OK}");
    EXPECT_NE(m_server.Log().find("Admin command TERMINATE issued for session " + id + "."),
              std::string::npos);
    EXPECT_TRUE(client.WaitFor(PACKET_CLOSE, 5s).has_value());
    SocketClose(host);

    // A wrong shutdown password keeps the session logged in; the right one stops.
    EXPECT_EQ(admin->Command("SHUTDOWN 531"), "{Incorrect password.}");
    EXPECT_EQ(admin->Command("GET LogLevel"), "{3}");
    EXPECT_EQ(admin->Command("SHUTDOWN 5318"), "{OK}");
    int status = -1;
    EXPECT_TRUE(m_server.Process().Wait(10s, status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(m_server.Log().find("Admin command SHUTDOWN issued with correct password."),
              std::string::npos);
}

TEST_F(AdminProtocol, ClearAndViewLog)
{
    auto admin = Login();
    EXPECT_EQ(admin->Command("CLEARLOG"), "{OK}");
    admin->Send("VIEWLOG\r");
    const auto text = admin->ReadUntilZero();
    ASSERT_TRUE(text.has_value());
    const std::string stamp = DATE + ".### ";
    EXPECT_TRUE(MatchesShape(*text, stamp + "Admin command CLEARLOG issued.\r\n" + stamp +
                                        "Admin command VIEWLOG issued.\r\n"))
        << *text;
    // The stream ends the command: the next one is answered normally.
    EXPECT_EQ(admin->Command("GET LogLevel"), "{3}");

    // An operator who leaves in the middle of a long VIEWLOG does not end the server.
    {
        std::ofstream log(m_server.LogPath(), std::ios::binary | std::ios::app);
        const std::string line = std::string(98, 'z') + "\r\n";
        for (int i = 0; i < 320000; ++i)
            log << line;
    }
    admin->Send("VIEWLOG\r");
    EXPECT_GE(admin->ReadAtLeast(256 * 1024), 256u * 1024);
    admin.reset();
    EXPECT_TRUE(WaitUntil(
        [&]
        {
            const std::string log = m_server.Log();
            return log.find("Admin session connection lost, error: ") != std::string::npos ||
                   log.find("Admin session closed.") != std::string::npos;
        },
        10s));
    EXPECT_TRUE(m_server.Process().Running());
    auto next = Login();
    EXPECT_EQ(next->Command("CLEARLOG"), "{OK}");
}

TEST_F(AdminProtocol, UnbindableClientPortStopsServer)
{
    const SOCKET occupied = SocketCreateUdp();
    SocketAddress local;
    ASSERT_TRUE(SocketBind(occupied, MakeLoopbackAddress(0)) &&
                SocketLocalAddress(occupied, local));
    const int port = NetToHost16(local.port);
    auto admin = Login();
    EXPECT_EQ(admin->Command("SET ClientPort=" + std::to_string(port)), "{Set option failed.}");
    int status = -1;
    EXPECT_TRUE(m_server.Process().Wait(10s, status));
    EXPECT_NE(
        m_server.Log().find("Admin command SET (ClientPort=" + std::to_string(port) + ") failed."),
        std::string::npos);
    SocketClose(occupied);
}
