#include "client/ProxyClient.h"
#include "client/Settings.h"
#include "common/Log.h"
#include "platform/MessageBox.h"
#include "support/FakeClock.h"
#include "support/FakeSocketLayer.h"
#include "support/TestSupport.h"
#include "tunnel/ProxyMisc.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using tq_test::FakeClock;
using tq_test::FakeSocketLayer;
using Bytes = std::vector<uint8_t>;

namespace
{

constexpr uint16_t CLIENT_PORT = 7000;  // the server's configured port
constexpr uint16_t SESSION_PORT = 7001; // the server session's own socket
const uint32_t SERVER_IP = AddressFromBytes(127, 0, 0, 1);

Bytes Packet(uint8_t type, uint32_t number, const Bytes& payload = {})
{
    TunnelPacket p;
    p.Build(type, number, payload);
    return {p.Bytes().begin(), p.Bytes().end()};
}

Bytes Text(const std::string& s)
{
    return {s.begin(), s.end()};
}

Bytes SessionIdBytes()
{
    Bytes id(16);
    for (size_t i = 0; i < id.size(); i += 2)
        id[i] = static_cast<uint8_t>(i + 1);
    return id;
}

class ProxyClientTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        CLog::GetInstance()->SetFilename(m_dir.File("client.txt"));
        CLog::GetInstance()->SetLogLevel(CLog::LEVEL_DEBUG);
        m_settings->SetValue("ProxyServer1", "127.0.0.1:7000");
        m_settings->SetValue("ConnectRetries", "0");
        m_settings->SetValue("FastLink", "0"); // the protocol's own bytes, unless a test asks
        SetMessageBoxHandler([this](std::string_view, std::string_view text)
                             { m_boxes.emplace_back(text); });
        m_app = m_sockets.AddTcpSocket();
    }
    void TearDown() override
    {
        m_client.reset();
        SetMessageBoxHandler(nullptr);
        CSettings::DestroyInstance();
        CLog::DestroyInstance();
    }

    void Create(bool proxyAware = false)
    {
        m_client = std::make_unique<CProxyClient>(&m_stats, m_app, MakeLoopbackAddress(5000),
                                                  proxyAware, m_dir.Path(), m_sockets, m_clock);
        m_client->SetHostAddress("example.org");
        m_client->SetHostPort(80);
    }
    void Step(int times = 1)
    {
        for (int i = 0; i < times; ++i)
            m_client->Step();
    }
    int State() const { return m_client->GetState(); }
    void FromServer(const Bytes& datagram, uint16_t port = SESSION_PORT, uint32_t ip = SERVER_IP)
    {
        m_sockets.Deliver(m_sockets.LastUdpSocket(), datagram, MakeSocketAddress(ip, port));
    }
    // PreConnect and Connect; the Connect packet is in the sent list.
    void ToConnectWAck(bool proxyAware = false)
    {
        Create(proxyAware);
        Step(2);
        ASSERT_EQ(State(), CProxyClient::STATE_CONNECTWACK);
    }
    void ToData()
    {
        ToConnectWAck();
        FromServer(Packet(PACKET_ACK, 2000));
        FromServer(Packet(PACKET_SESSION, 1000, SessionIdBytes()));
        Step(3); // ACK of Connect, Session, Open sent
        FromServer(Packet(PACKET_ACK, 2001));
        Step();
        ASSERT_EQ(State(), CProxyClient::STATE_DATA);
        m_sockets.TakeSent();
    }
    std::vector<FakeSocketLayer::Datagram> Sent() { return m_sockets.TakeSent(); }
    std::string Log() const { return tq_test::ReadFile(m_dir.File("client.txt")); }
    bool Logged(const std::string& line) const
    {
        return Log().find(line + "\r\n") != std::string::npos;
    }
    size_t Count(const std::string& text) const
    {
        const std::string log = Log();
        size_t count = 0;
        for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + 1))
            ++count;
        return count;
    }
    Bytes& AppInbound() { return m_sockets.Socket(m_app).inbound; }
    FakeSocketLayer::FakeSocket& AppSocket() { return m_sockets.Socket(m_app); }

    tq_test::TempDir m_dir;
    FakeSocketLayer m_sockets;
    FakeClock m_clock;
    CProxyStats m_stats;
    CSettings* m_settings = CSettings::GetInstance();
    std::vector<std::string> m_boxes;
    SOCKET m_app = INVALID_SOCKET;
    std::unique_ptr<CProxyClient> m_client;
};

TEST_F(ProxyClientTest, HandshakeSendsExactPacketsAndStoresSessionId)
{
    ToConnectWAck();
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, Packet(PACKET_CONNECT, 2000, Bytes(16, 0)));
    EXPECT_EQ(sent[0].address, MakeSocketAddress(SERVER_IP, CLIENT_PORT));
    EXPECT_TRUE(Logged("Session ID file not loaded."));
    EXPECT_TRUE(Logged("Connect packet sent (2000)"));

    FromServer(Packet(PACKET_ACK, 2000));
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_WAITFORSESSIONID);
    FromServer(Packet(PACKET_SESSION, 1000, SessionIdBytes()), CLIENT_PORT); // wrong port
    FromServer(Packet(PACKET_SESSION, 1000, SessionIdBytes()));
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_WAITFORSESSIONID);
    EXPECT_TRUE(Logged(
        "Rogue UDP packet received, ignored (address & port). Address = 127.0.0.1, port = 7000"));
    Step(2);
    EXPECT_EQ(State(), CProxyClient::STATE_OPENWACK);
    const Bytes id = SessionIdBytes();
    EXPECT_EQ(tq_test::ReadFile(m_dir.File("sessionid")), std::string(id.begin(), id.end()));

    sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, Packet(PACKET_ACK, 1000));
    EXPECT_EQ(sent[0].address, MakeSocketAddress(SERVER_IP, SESSION_PORT)); // adopted port
    const std::u16string open = u"example.org,80";
    EXPECT_EQ(sent[1].data, Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(open, false)));
    EXPECT_EQ(sent[1].data.size(), 12 + 2 * open.size());

    FromServer(Packet(PACKET_ACK, 2001));
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_DATA);
    EXPECT_EQ(m_stats.m_nLinkQuality, 100);
    EXPECT_TRUE(Logged("STATE: Data"));
    EXPECT_TRUE(Sent().empty()); // no initial data

    // The next session presents the stored ID.
    m_client.reset();
    m_app = m_sockets.AddTcpSocket();
    ToConnectWAck();
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_CONNECT, 2000, SessionIdBytes()));
}

TEST_F(ProxyClientTest, CorruptSessionIdFileSendsZeros)
{
    tq_test::WriteFile(m_dir.File("sessionid"), "0123456789");
    ToConnectWAck();
    EXPECT_TRUE(Logged("Session ID file contents corrupt."));
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_CONNECT, 2000, Bytes(16, 0)));
}

TEST_F(ProxyClientTest, ConnectRetriesThenFailsOverThenGivesUp)
{
    m_settings->SetValue("ConnectRetries", "2");
    m_settings->SetValue("ProxyServer2", "127.0.0.2:7100");
    ToConnectWAck();
    const SOCKET first = m_sockets.LastUdpSocket();
    m_clock.Advance(2999);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_CONNECTWACK);
    EXPECT_EQ(m_client->MsUntilDue(m_clock.TickCount()), 1u);
    m_clock.Advance(1);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_CONNECT);
    EXPECT_TRUE(Logged("Error: Connect timeout to proxy server 127.0.0.1:7000"));
    EXPECT_FALSE(m_sockets.IsOpen(first));

    Step(); // second attempt: a new socket, the same packet
    EXPECT_NE(m_sockets.LastUdpSocket(), first);
    m_sockets.DeliverError(m_sockets.LastUdpSocket(), WSAECONNRESET);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_CONNECT);
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0], "Error: Proxy server 127.0.0.1:7000 not running.");

    Step();
    m_clock.Advance(3000);
    Step(2); // third attempt times out; the fourth goes to server 2
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 4u);
    for (const auto& d : sent)
        EXPECT_EQ(d.data, Packet(PACKET_CONNECT, 2000, Bytes(16, 0)));
    EXPECT_EQ(sent[2].address, MakeSocketAddress(SERVER_IP, CLIENT_PORT));
    EXPECT_EQ(sent[3].address, MakeSocketAddress(AddressFromBytes(127, 0, 0, 2), 7100));

    for (int i = 0; i < 3; ++i)
    {
        m_clock.Advance(3000);
        Step(2);
    }
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    EXPECT_TRUE(Logged("Error: Connect timeout."));
}

TEST_F(ProxyClientTest, ConnectInfoIsReadAcrossStepsWithoutTakingData)
{
    Create(true);
    AppInbound() = Text("TARVI*QEN:ho");
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_PRECONNECT);
    AppInbound() = Text("st.example,8080\rAFTER");
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_CONNECT);
    EXPECT_TRUE(Logged("Received host information from application: host.example:8080."));
    EXPECT_EQ(AppInbound(), Text("AFTER"));
}

TEST_F(ProxyClientTest, ConnectInfoFallbacksAndErrors)
{
    // Ordinary data: the settings host; the byte becomes the first Data packet.
    Create(true);
    AppInbound() = Text("X");
    Step(2);
    FromServer(Packet(PACKET_ACK, 2000));
    FromServer(Packet(PACKET_SESSION, 1000, SessionIdBytes()));
    Step(3);
    FromServer(Packet(PACKET_ACK, 2001));
    Step();
    auto sent = Sent();
    EXPECT_EQ(sent[2].data,
              Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(u"example.org,80", false)));
    EXPECT_EQ(sent.back().data, Packet(PACKET_DATA, 2002, Text("X")));
    EXPECT_TRUE(Logged("Sending initial data packet (2002)"));
    m_client.reset();

    // Nothing for 3000 ms: the settings host, no initial data.
    m_app = m_sockets.AddTcpSocket();
    Create(true);
    Step();
    m_clock.Advance(2999);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_PRECONNECT);
    m_clock.Advance(1);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_CONNECT);

    // Port 0 is a format error; an application that closes ends the session quietly.
    for (const char* line : {"TARVI*QEN:host,0\r", "TARVI*QEN:host\r"})
    {
        m_app = m_sockets.AddTcpSocket();
        AppInbound() = Text(line);
        Create(true);
        Step();
        EXPECT_EQ(State(), CProxyClient::STATE_EXIT) << line;
    }
    EXPECT_TRUE(Logged("Error: Format error in Connect Info."));

    // A zero byte ends the line's text: what follows it is not part of the host.
    using namespace std::string_literals;
    m_app = m_sockets.AddTcpSocket();
    AppInbound() = Text("TARVI*QEN:ho\0st,80\r"s);
    Create(true);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    m_app = m_sockets.AddTcpSocket();
    AppInbound() = Text("TARVI*QEN:host,80\0junk\r"s);
    Create(true);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_CONNECT);
    EXPECT_TRUE(Logged("Received host information from application: host:80."));

    m_app = m_sockets.AddTcpSocket();
    AppSocket().peerClosed = true;
    Create(true);
    const size_t exits = Count("STATE: Exit");
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    EXPECT_TRUE(Logged("TCP client gracefully closed the connection."));
    EXPECT_EQ(Count("STATE: Exit"), exits); // this end has no state line
}

TEST_F(ProxyClientTest, DataRelayBothWays)
{
    ToData();
    FromServer(Packet(PACKET_DATA, 1001, Text("hello")));
    Step();
    EXPECT_EQ(AppSocket().written, Text("hello"));
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, Packet(PACKET_ACK, 1001));
    EXPECT_EQ(m_stats.m_nAcksSent, 1);
    EXPECT_EQ(m_stats.m_nBytesReceived, 5);
    EXPECT_EQ(m_stats.m_nDataPacketsReceived, 1);

    AppInbound() = Text("request");
    Step();
    sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, Packet(PACKET_DATA, 2002, Text("request")));
    m_clock.Advance(40);
    FromServer(Packet(PACKET_ACK, 2002));
    Step();
    EXPECT_EQ(m_stats.m_nAcksReceived, 1);
    EXPECT_EQ(m_stats.m_nDataPacketsSent, 1);
    EXPECT_EQ(m_stats.m_nBytesSent, 7);
    EXPECT_TRUE(Logged("Received ACK for packet 2002 (RTT = 40)"));

    // NoSession from elsewhere is ignored; from the server's address it ends the session.
    FromServer(Packet(PACKET_NOSESSION, 0), CLIENT_PORT, AddressFromBytes(10, 0, 0, 9));
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_DATA);
    FromServer(Packet(PACKET_NOSESSION, 0), CLIENT_PORT);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_INVALID);
}

TEST_F(ProxyClientTest, RetransmissionBuffersDataAndProbesWhenLinkIsDead)
{
    ToData();
    AppInbound() = Text("first");
    Step();
    const Bytes packet = Sent()[0].data;
    AppInbound() = Text("second");
    const int expectedQuality[] = {80, 60, 40, 20, 0};
    for (int quality : expectedQuality)
    {
        m_clock.Advance(3001);
        Step();
        EXPECT_EQ(m_stats.m_nLinkQuality, quality);
        const auto sent = Sent();
        ASSERT_EQ(sent.size(), quality == 0 ? 2u : 1u);
        EXPECT_EQ(sent.back().data, packet);
    }
    EXPECT_TRUE(Logged("Buffering client data (6 bytes)"));
    EXPECT_EQ(m_stats.m_nTimeouts, 5);

    m_clock.Advance(3001);
    Step();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, Packet(PACKET_PROBE, 0, SessionIdBytes()));
    EXPECT_EQ(sent[0].address, MakeSocketAddress(SERVER_IP, CLIENT_PORT));

    FromServer(Packet(PACKET_ACK, 2002));
    Step();
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_DATA, 2003, Text("second")));
    EXPECT_TRUE(Logged("Sending buffered data packet (2003)"));
}

TEST_F(ProxyClientTest, PingsOnlyWhenIdle)
{
    ToData();
    m_clock.Advance(3000);
    Step();
    EXPECT_TRUE(Sent().empty());
    m_clock.Advance(1);
    Step();
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, Packet(PACKET_DATA, 2002));
    EXPECT_EQ(m_stats.m_nPings, 1);
    EXPECT_TRUE(Logged("Ping packet sent (2002)."));

    m_clock.Advance(3001); // in flight: a retransmission, not a second ping
    Step();
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_DATA, 2002));
    EXPECT_EQ(m_stats.m_nPings, 1);
    FromServer(Packet(PACKET_ACK, 2002));
    Step();
    m_clock.Advance(3000);
    Step();
    EXPECT_TRUE(Sent().empty()); // the ACK's arrival counts as activity

    EXPECT_EQ(m_client->MsUntilDue(m_clock.TickCount()), 1u);
}

TEST_F(ProxyClientTest, SessionEnds)
{
    ToData();
    FromServer(Packet(PACKET_ERROR, 1001, EncodeUtf16Payload(u"Host unreachable", true)));
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_ACK, 1001));
    ASSERT_EQ(m_boxes.size(), 1u);
    EXPECT_EQ(m_boxes[0], "Received Error packet from Proxy Server (1001): Host unreachable");
    m_client.reset();

    // The application closes: Close, then no final ACK.
    m_app = m_sockets.AddTcpSocket();
    ToData();
    AppSocket().peerClosed = true;
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_WAITFINALACK);
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_CLOSE, 2002));
    m_clock.Advance(3001);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    EXPECT_TRUE(Logged("Error: Timeout when waiting for final ACK (2002)"));
    m_client.reset();
    EXPECT_FALSE(m_sockets.IsOpen(m_app));

    // The application fails: an Error packet with the reason, then the final ACK.
    m_app = m_sockets.AddTcpSocket();
    ToData();
    AppSocket().recvError = WSAECONNRESET;
    Step();
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    TunnelPacket error;
    error.Assign(sent[0].data);
    EXPECT_EQ(error.Type(), PACKET_ERROR);
    const std::u16string text = DecodeUtf16Payload(error.Payload());
    EXPECT_EQ(error.PayloadLength(), 2 * text.size()); // no terminating zero
    EXPECT_EQ(text.rfind(u"TCP client connection lost, error: 10054. ", 0), 0u);
    FromServer(Packet(PACKET_ACK, 2002));
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    EXPECT_TRUE(Logged("Received ACK for packet (2002)"));
}

TEST_F(ProxyClientTest, LostApplicationWaitsForThePacketInFlight)
{
    ToData();
    AppInbound() = Text("request");
    Step();
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_DATA, 2002, Text("request")));
    AppSocket().sendError = WSAECONNRESET;
    FromServer(Packet(PACKET_DATA, 1001, Text("answer")));
    Step();
    // The write fails while Data 2002 waits for its ACK: it keeps its number, and the
    // payload that met the failure is not acknowledged, nor is any later one.
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(State(), CProxyClient::STATE_DATA);
    EXPECT_EQ(m_stats.m_nBytesReceived, 0);
    FromServer(Packet(PACKET_DATA, 1001, Text("answer")));
    Step();
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(Logged("Application connection lost, data packet (1001) not acknowledged"));
    m_clock.Advance(3001);
    Step();
    EXPECT_EQ(Sent().back().data, Packet(PACKET_DATA, 2002, Text("request")));
    FromServer(Packet(PACKET_ACK, 2002));
    Step();
    auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    TunnelPacket error;
    error.Assign(sent[0].data);
    EXPECT_EQ(error.Type(), PACKET_ERROR);
    EXPECT_EQ(error.Number(), 2003u);
    EXPECT_EQ(DecodeUtf16Payload(error.Payload()).rfind(u"TCP client connection lost, error: 10054. ", 0),
              0u);
    EXPECT_EQ(State(), CProxyClient::STATE_WAITFINALACK);
    EXPECT_EQ(Count("Error packet sent ("), 1u);
}

// Bytes acknowledged earlier but still held for a slow application are reported lost
// when its connection fails, at once, not when the Error packet goes out.
TEST_F(ProxyClientTest, LostApplicationReportsTheBytesItHeld)
{
    ToData();
    AppInbound() = Text("request");
    Step();
    Sent();
    AppSocket().sendLimit = 0;
    FromServer(Packet(PACKET_DATA, 1001, Text("held")));
    Step();
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_ACK, 1001));
    AppSocket().sendLimit = -1;
    AppSocket().sendError = WSAECONNRESET;
    Step();
    EXPECT_TRUE(Logged("4 bytes for the application were lost."));
    EXPECT_EQ(State(), CProxyClient::STATE_DATA); // Data 2002 still waits for its ACK
    FromServer(Packet(PACKET_ACK, 2002));
    Step();
    TunnelPacket error;
    error.Assign(Sent().back().data);
    EXPECT_EQ(error.Type(), PACKET_ERROR);
    EXPECT_EQ(State(), CProxyClient::STATE_WAITFINALACK);
}

TEST_F(ProxyClientTest, AssertionsNameTheirConditions)
{
    SetMessageBoxHandler(nullptr); // the fatal box goes to standard error
    EXPECT_EXIT(CProxyClient(nullptr, m_app, MakeLoopbackAddress(5000), false, m_dir.Path(),
                             m_sockets, m_clock),
                ::testing::ExitedWithCode(255), "Assertion failed: NULL != pStats \\(ProxyClient");
    Create();
    EXPECT_EXIT(m_client->SetHostPort(0), ::testing::ExitedWithCode(255),
                "Assertion failed: 0 != nHostPort \\(ProxyClient");
}

TEST_F(ProxyClientTest, SlowApplicationGetsServerBytesInOrder)
{
    ToData();
    AppSocket().sendLimit = 0; // the application takes nothing for now
    FromServer(Packet(PACKET_DATA, 1001, Text("abc")));
    FromServer(Packet(PACKET_DATA, 1002, Text("def")));
    Step(2);
    EXPECT_TRUE(AppSocket().written.empty());
    AppSocket().sendLimit = 2;
    Step();
    EXPECT_EQ(AppSocket().written, Text("abcdef"));

    // A full backlog leaves the packet unacknowledged; the retransmission gets through.
    AppSocket().sendLimit = 0;
    const Bytes block(TunnelPacket::MAX_PAYLOAD, 'x');
    uint32_t number = 1003;
    for (size_t held = 0; held + block.size() <= CStreamBacklog::MAX_BYTES; held += block.size())
    {
        FromServer(Packet(PACKET_DATA, number++, block));
        Step();
    }
    Sent();
    FromServer(Packet(PACKET_DATA, number, Text("tail")));
    Step();
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(Logged("Application not keeping up, data packet (" + std::to_string(number) +
                       ") not acknowledged"));

    AppSocket().sendLimit = 1000;
    FromServer(Packet(PACKET_DATA, number, Text("tail")));
    Step();
    EXPECT_EQ(AppSocket().written.size(), 6 + CStreamBacklog::MAX_BYTES + 4);

    // The server closes: its bytes still drain to the application before the end.
    AppSocket().sendLimit = 0;
    FromServer(Packet(PACKET_DATA, number + 1, Text("more")));
    FromServer(Packet(PACKET_CLOSE, number + 2));
    Step(2);
    EXPECT_EQ(State(), CProxyClient::STATE_DATA);
    AppSocket().sendLimit = -1;
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    const Bytes& written = AppSocket().written;
    EXPECT_EQ(Bytes(written.end() - 8, written.end()), Text("tailmore"));
}

TEST_F(ProxyClientTest, DrainGivesUpAfterItsLimit)
{
    ToData();
    AppSocket().sendLimit = 0;
    FromServer(Packet(PACKET_DATA, 1001, Text("lost")));
    FromServer(Packet(PACKET_CLOSE, 1002));
    Step(2);
    EXPECT_EQ(Sent().back().data, Packet(PACKET_ACK, 1002));
    m_clock.Advance(CProxyClient::APP_DRAIN_LIMIT_MS + 1);
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_EXIT);
    EXPECT_TRUE(Logged("4 bytes for the application were lost."));
}

// A watched session reads only what readiness reports. An application that closes right
// after its last bytes has both reported as one change, and the read of the bytes is
// short: the close behind them must still be read, and told to the server once the
// last Data packet is acknowledged.
TEST_F(ProxyClientTest, AnApplicationClosingWithItsLastBytesIsClosedTowardsTheServer)
{
    Create();
    m_client->WatchSockets(16, 17);
    auto stepWhenReady = [this](int times) {
        for (int i = 0; i < times; ++i)
        {
            std::vector<SocketReadiness> ready;
            m_sockets.WaitReady(0, ready);
            for (const SocketReadiness& event : ready)
                m_client->SetReady(event.token, event.readable, event.writable);
            m_client->Step();
        }
    };
    stepWhenReady(2);
    ASSERT_EQ(State(), CProxyClient::STATE_CONNECTWACK);
    FromServer(Packet(PACKET_ACK, 2000));
    FromServer(Packet(PACKET_SESSION, 1000, SessionIdBytes()));
    stepWhenReady(3);
    FromServer(Packet(PACKET_ACK, 2001));
    stepWhenReady(1);
    ASSERT_EQ(State(), CProxyClient::STATE_DATA);
    Sent();

    AppInbound() = Text("the last words");
    AppSocket().peerClosed = true;
    stepWhenReady(1);
    FromServer(Packet(PACKET_ACK, 2002));
    stepWhenReady(2);
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, Packet(PACKET_DATA, 2002, Text("the last words")));
    EXPECT_EQ(sent[1].data, Packet(PACKET_CLOSE, 2003));
    EXPECT_EQ(State(), CProxyClient::STATE_WAITFINALACK);
    EXPECT_TRUE(Logged("TCP client gracefully closed the connection."));
}

} // namespace

// Two sessions started in one millisecond would write one statistics file: the later
// one moves on by a millisecond; one that started in another millisecond keeps its time.
TEST_F(ProxyClientTest, ASessionStartedInThePreviousOnesMillisecondMovesOn)
{
    Create();
    DateTime previous = m_client->GetStartTime();
    m_client->StartAfter(previous);
    EXPECT_EQ((previous.milliseconds + 1) % 1000, m_client->GetStartTime().milliseconds);

    DateTime earlier = previous;
    earlier.second = static_cast<uint16_t>((earlier.second + 59) % 60);
    const DateTime kept = m_client->GetStartTime();
    m_client->StartAfter(earlier);
    EXPECT_EQ(kept.milliseconds, m_client->GetStartTime().milliseconds);
    EXPECT_EQ(kept.second, m_client->GetStartTime().second);
}

// FastLink=1 offers the fast link in the Connect; it is run only when the Session
// carries the same bit, and then the Open is sent again and a repeated Session ACKed.
TEST_F(ProxyClientTest, FastLinkRunsOnlyWhenBothAgree)
{
    TunnelPacket offer;
    offer.Build(PACKET_CONNECT, 2000, Bytes(16, 0), TunnelPacket::FLAG_FAST_LINK);
    TunnelPacket accepted;
    accepted.Build(PACKET_SESSION, 1000, SessionIdBytes(), TunnelPacket::FLAG_FAST_LINK);
    const Bytes acceptedBytes(accepted.Bytes().begin(), accepted.Bytes().end());
    const Bytes open = Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(u"example.org,80", false));
    const auto toOpenWAck = [&](const Bytes& session)
    {
        m_client.reset();
        m_app = m_sockets.AddTcpSocket();
        ToConnectWAck();
        const Bytes connect = Sent()[0].data;
        FromServer(Packet(PACKET_ACK, 2000));
        FromServer(session);
        Step(3);
        EXPECT_EQ(State(), CProxyClient::STATE_OPENWACK);
        EXPECT_EQ(Sent().size(), 2u);
        return connect;
    };
    m_settings->SetValue("FastLink", "1");
    EXPECT_TRUE(std::ranges::equal(toOpenWAck(Packet(PACKET_SESSION, 1000, SessionIdBytes())),
                                   offer.Bytes()));
    m_clock.Advance(2999);
    Step();
    EXPECT_TRUE(Sent().empty()); // refused: stop-and-wait, the Open is never sent again

    toOpenWAck(acceptedBytes);
    EXPECT_EQ(m_client->MsUntilDue(m_clock.TickCount()), 1001u); // no round trip yet
    m_clock.Advance(1001);
    Step();
    EXPECT_EQ(Sent()[0].data, open);
    FromServer(acceptedBytes); // the server did not hear the Session's ACK
    Step();
    EXPECT_EQ(Sent()[0].data, Packet(PACKET_ACK, 1000));
    FromServer(Packet(PACKET_ACK, 2001));
    Step();
    EXPECT_EQ(State(), CProxyClient::STATE_DATA);

    m_settings->SetValue("FastLink", "0");
    EXPECT_EQ(toOpenWAck(acceptedBytes), Packet(PACKET_CONNECT, 2000, SessionIdBytes()));
    m_clock.Advance(2999);
    Step();
    EXPECT_TRUE(Sent().empty()); // not offered: a Session's bit is ignored
}
