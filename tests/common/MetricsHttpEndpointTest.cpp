// The metrics endpoint on real loopback sockets, driven pass by pass as the server's
// loop drives it, against well-behaved and hostile peers. The tick count is the test's.
#include "common/MetricsHttpEndpoint.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tq_test;

namespace
{

class MetricsHttpEndpointTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_port = FreeTcpPort();
        ASSERT_TRUE(m_endpoint.Open(htonl(INADDR_LOOPBACK), m_port));
    }
    void TearDown() override
    {
        for (const int fd : m_fds)
            close(fd);
    }
    // One loop pass: the wait, the readiness, the step.
    void Pass(uint32_t waitMs = 5)
    {
        m_sockets.WaitReady(waitMs, m_ready);
        for (const SocketReadiness& ready : m_ready)
        {
            ASSERT_TRUE(m_endpoint.OwnsToken(ready.token));
            m_endpoint.SetReady(ready.token, ready.readable, ready.writable);
        }
        m_endpoint.Step(m_now);
    }
    int Connect()
    {
        const int fd = ConnectLoopback(m_port);
        m_fds.push_back(fd);
        return fd;
    }
    // Sends the request and reads the answer until the endpoint closes the connection.
    std::string Exchange(int fd, const std::string& request)
    {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        return ReadUntilClosed(fd);
    }
    std::string ReadUntilClosed(int fd)
    {
        std::string answer;
        for (int pass = 0; pass < 400; ++pass)
        {
            Pass();
            char buffer[4096];
            ssize_t got;
            while ((got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
                answer.append(buffer, static_cast<size_t>(got));
            if (got == 0 || (got < 0 && errno != EAGAIN))
                return answer;
        }
        return answer + "[still open]";
    }

    CSystemSocketLayer m_sockets;
    std::string m_page = "tarviqen_sessions 0\n";
    CMetricsHttpEndpoint m_endpoint{m_sockets, 40, [this] { return m_page; }};
    std::vector<SocketReadiness> m_ready;
    uint16_t m_port = 0;
    uint32_t m_now = 1000;
    std::vector<int> m_fds;
};

} // namespace

TEST_F(MetricsHttpEndpointTest, AnswersTheMetricsPathOnlyAndClosesEveryConnection)
{
    m_page.assign(200000, 'x'); // more than a socket takes at once
    const std::string ok = Exchange(Connect(), "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_EQ(ok.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << ok.substr(0, 200);
    EXPECT_NE(ok.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(ok.find("Content-Length: 200000\r\n"), std::string::npos);
    EXPECT_TRUE(ok.ends_with("\r\n\r\n" + m_page)) << "the whole page, after the head";

    // Query strings are ignored; a bare line feed ends the head as well.
    EXPECT_EQ(Exchange(Connect(), "GET /metrics?x=1 HTTP/1.0\n\n").rfind("HTTP/1.1 200", 0), 0u);
    for (const char* other : {"GET / HTTP/1.1\r\n\r\n", "GET /metricsx HTTP/1.1\r\n\r\n",
                              "GET /admin HTTP/1.1\r\n\r\n"})
        EXPECT_EQ(Exchange(Connect(), other).rfind("HTTP/1.1 404", 0), 0u) << other;
    EXPECT_EQ(Exchange(Connect(), "POST /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 405", 0), 0u);
    EXPECT_EQ(Exchange(Connect(), "nonsense\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);

    // A peer that ends its side after the request still gets the page.
    const int halfClosed = Connect();
    send(halfClosed, "GET /metrics HTTP/1.1\r\n\r\n", 25, MSG_NOSIGNAL);
    shutdown(halfClosed, SHUT_WR);
    EXPECT_EQ(ReadUntilClosed(halfClosed).rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(m_endpoint.ConnectionCount(), 0);
}

TEST_F(MetricsHttpEndpointTest, HostilePeersAreCutOffAndDoNotHoldTheEndpoint)
{
    // A request that never ends holds its slot until its deadline only.
    const int slow = Connect();
    send(slow, "GET /metrics HTTP/1.1\r\nX: ", 26, MSG_NOSIGNAL);
    for (int i = 0; i < 5; ++i)
        Pass();
    EXPECT_EQ(m_endpoint.ConnectionCount(), 1);
    EXPECT_LE(m_endpoint.MsUntilDue(m_now), CMetricsHttpEndpoint::DEADLINE_MS);
    m_now += CMetricsHttpEndpoint::DEADLINE_MS;
    EXPECT_EQ(ReadUntilClosed(slow), "") << "cut off without an answer";
    EXPECT_EQ(m_endpoint.CutOffCount(), 1u);

    // A huge request is refused once it passes the bound, not read to its end.
    const int huge = Connect();
    const std::string head = "GET /metrics HTTP/1.1\r\nX: " + std::string(64 * 1024, 'a');
    send(huge, head.data(), head.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    // Closed with bytes unread, the connection may be reset before the answer is read.
    const std::string refused = ReadUntilClosed(huge);
    EXPECT_TRUE(refused.empty() || refused.rfind("HTTP/1.1 431", 0) == 0) << refused.substr(0, 100);
    EXPECT_EQ(m_endpoint.CutOffCount(), 2u);

    // More connections than slots: the extra ones are closed, the slots' own served.
    std::vector<int> many;
    for (size_t i = 0; i < CMetricsHttpEndpoint::MAX_CONNECTIONS + 20; ++i)
    {
        many.push_back(Connect());
        Pass(); // a blocking connect must not find the backlog full
    }
    EXPECT_EQ(m_endpoint.ConnectionCount(), static_cast<int>(CMetricsHttpEndpoint::MAX_CONNECTIONS));
    EXPECT_EQ(m_endpoint.RefusedCount(), 20u);
    EXPECT_EQ(Exchange(many.front(), "GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200", 0), 0u);
    m_now += CMetricsHttpEndpoint::DEADLINE_MS;
    Pass();
    EXPECT_EQ(m_endpoint.ConnectionCount(), 0) << "the idle ones reach their deadline";
    EXPECT_EQ(Exchange(Connect(), "GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200", 0), 0u)
        << "served again afterwards";
}
