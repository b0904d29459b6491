// The real server with MetricsPort set: its page follows a live session and keeps the
// totals after it, and peers that abuse the HTTP port never slow the tunnel.
#include "support/ServerProcess.h"
#include "support/TcpEchoHost.h"
#include "support/TunnelTestClient.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

using namespace tq_test;
using namespace std::chrono_literals;

namespace
{

// GET `path` on a fresh connection; the whole answer, or "" when none came in 10 s.
std::string HttpGet(uint16_t port, const std::string& path)
{
    const int fd = ConnectLoopback(port);
    if (fd < 0)
        return "";
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0)
        answer.append(buffer, static_cast<size_t>(got));
    close(fd);
    return answer;
}


int NonBlockingConnect(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const sockaddr_in addr = LoopbackSockaddr(port);
    connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    return fd;
}

// promtool's verdict on the page, or "" where promtool is not installed.
std::string PromtoolProblems(const std::string& page, const TempDir& dir)
{
    if (access("/usr/bin/promtool", X_OK) != 0)
    {
        std::printf("promtool not installed (Debian's prometheus): the page's lint is skipped\n");
        return "";
    }
    WriteFile(dir.File("page.txt"), page);
    const std::string command = "/usr/bin/promtool check metrics < " + dir.File("page.txt") + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof(buffer), pipe) != nullptr)
        output += buffer;
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return status == 0 ? output : "status " + std::to_string(status) + ": " + output;
}

std::vector<uint8_t> Bytes(size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
}

} // namespace

TEST(MetricsEndpointTest, PageFollowsSessionsAndLintsClean)
{
    ServerProcess server(ServerOptions{.logLevel = 2, .metrics = true});
    ASSERT_TRUE(server.Start()) << server.Log();
    EXPECT_TRUE(server.WaitForLog("Metrics at http://127.0.0.1:" + std::to_string(server.MetricsPort())));
    TcpEchoHost host;
    TunnelTestClient client(server.ClientPort());
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Open("127.0.0.1", host.Port()));
    const std::vector<uint8_t> out = Bytes(5000);
    std::vector<uint8_t> in;
    ASSERT_TRUE(client.Exchange(out, out.size(), in, 30s));

    std::string answer = HttpGet(server.MetricsPort(), "/metrics");
    ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
    std::string page = answer.substr(answer.find("\r\n\r\n") + 4);
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_by_state{state=\"data\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_received_bytes_total"), "5000");
    EXPECT_EQ(MetricValue(page, "tarviqen_sent_bytes_total"), "5000");
    EXPECT_EQ(PromtoolProblems(page, server.Dir()), "");
    EXPECT_EQ(page.find("5318"), std::string::npos) << "no admin secret on the page";

    // A wrong admin password and the session's end are counted; the bytes stay.
    const int admin = ConnectLoopback(server.AdminPort());
    send(admin, "login wrong\r", 12, MSG_NOSIGNAL);
    EXPECT_TRUE(server.WaitForLog("LOGIN issued with incorrect password."));
    close(admin);
    ASSERT_TRUE(client.SendNumbered(PACKET_CLOSE, {}));
    ASSERT_TRUE(server.WaitForLog("Client session ended."));
    page = HttpGet(server.MetricsPort(), "/metrics");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions"), "0");
    EXPECT_EQ(MetricValue(page, "tarviqen_received_bytes_total"), "5000");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_opened_total"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_sessions_closed_total{cause=\"client\"}"), "1");
    EXPECT_EQ(MetricValue(page, "tarviqen_admin_failed_logins_total"), "1");
    EXPECT_EQ(HttpGet(server.MetricsPort(), "/").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(0, server.Stop());
}

TEST(MetricsEndpointTest, AbusiveHttpPeersDoNotStopTheEchoes)
{
    ServerProcess server(ServerOptions{.logLevel = 2, .metrics = true});
    ASSERT_TRUE(server.Start()) << server.Log();
    TcpEchoHost host;
    TunnelTestClient client(server.ClientPort());
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Open("127.0.0.1", host.Port()));

    // A request that never ends, a huge one that is still being written, and many
    // connections that say nothing.
    std::vector<int> peers;
    const int slow = ConnectLoopback(server.MetricsPort());
    send(slow, "GET /metrics HTTP/1.1\r\nX-Slow: ", 31, MSG_NOSIGNAL);
    peers.push_back(slow);
    const int huge = NonBlockingConnect(server.MetricsPort());
    peers.push_back(huge);
    for (int i = 0; i < 300; ++i)
        peers.push_back(NonBlockingConnect(server.MetricsPort()));
    const std::string junk(1 << 20, 'a');
    usleep(100000);
    send(huge, junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);

    for (int round = 0; round < 20; ++round)
    {
        const std::vector<uint8_t> out = Bytes(1000 + static_cast<size_t>(round));
        std::vector<uint8_t> in;
        client.m_received.clear();
        ASSERT_TRUE(client.Exchange(out, out.size(), in, 30s)) << "round " << round;
        ASSERT_TRUE(in == out) << "round " << round;
    }
    for (const int fd : peers)
        close(fd);
    // The endpoint serves again once the abusers have gone or been cut off.
    EXPECT_TRUE(WaitUntil([&] { return HttpGet(server.MetricsPort(), "/metrics").rfind("HTTP/1.1 200", 0) == 0; },
                          20s));
    EXPECT_EQ(0, server.Stop());
}
