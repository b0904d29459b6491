// The connect-info line of a proxy-aware application ("TARVI*QEN:host,port" CR),
// fed to a real CProxyClient as the application's byte stream. The parser sits
// inside the session, so the target drives the session's public face (create, Step)
// over the fake socket layer and clock, plays the server's side of the handshake and
// checks what comes out: the session ends exactly when a model of the line's rules
// says so, the Open packet carries the host and port the model reads, and every
// application byte that is not the line reaches the server in Data packets, in order.
//
// Input: one byte of flags (bit 0: the settings give a host; bit 1: the application
// closes after its bytes; bit 2: the bytes arrive a few at a time, as many as the
// flags' upper bits plus one per step), then the application's byte stream.
#include "FuzzSupport.h"

#include "client/ProxyClient.h"
#include "client/Settings.h"
#include "support/FakeClock.h"
#include "support/FakeSocketLayer.h"
#include "platform/TextConversion.h"
#include "tunnel/ProxyMisc.h"

#include <algorithm>

#include <climits>
#include <cstdio>
#include <optional>
#include <string>

using tq_test::FakeClock;
using tq_test::FakeSocketLayer;

namespace
{

constexpr std::string_view MAGIC = "TARVI*QEN";
constexpr size_t MAX_HELD = 511;
constexpr size_t FIELD_SIZE = 512;
const std::string DEFAULT_HOST = "default.host";
constexpr int DEFAULT_PORT = 99;
constexpr uint16_t CLIENT_PORT = 7000;
constexpr uint16_t SESSION_PORT = 7001;

// The field splitter as the line's rules describe it (quotes group, a doubled quote
// inside quotes is one, a full field skips to the next separator).
std::optional<std::string_view> Split(std::string_view in, char separator, std::string& field)
{
    field.clear();
    if (in.empty())
        return std::nullopt;
    bool quoted = false;
    size_t i = 0;
    while (i < in.size() && field.size() < FIELD_SIZE - 1)
    {
        const char c = in[i++];
        if (c == '"' && !quoted)
            quoted = true;
        else if (c == '"' && i < in.size() && in[i] == '"')
        {
            field.push_back('"');
            ++i;
        }
        else if (c == '"')
            quoted = false;
        else if (c == separator && !quoted)
            return in.substr(i);
        else
            field.push_back(c);
    }
    if (i == in.size())
        return in.substr(i);
    const size_t next = in.find(separator, i);
    return next == std::string_view::npos ? in.substr(in.size()) : in.substr(next + 1);
}

int Atoi(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(value * 10 + (text[i] - '0'), 1LL << 40);
    value = negative ? -value : value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

struct Expected
{
    bool ends = false;     // the session enters Exit before its Connect
    size_t lineLength = 0; // bytes of a complete connect-info line, CR included
    std::string host;
    int port = 0;
};

Expected Model(std::string_view stream, bool closes, bool hostInSettings)
{
    Expected expected;
    size_t held = 0;
    bool complete = false;
    while (held < MAX_HELD)
    {
        if (held == stream.size())
        {
            expected.ends = closes; // closed during the read; else the read times out
            break;
        }
        const char c = stream[held++];
        if (held <= MAGIC.size() && c != MAGIC[held - 1])
            break;
        if (c == '\r')
        {
            complete = true;
            break;
        }
    }
    if (expected.ends)
        return expected;
    if (complete)
    {
        expected.lineLength = held;
        // The line is zero-terminated text: a zero byte ends it.
        const std::string_view line = stream.substr(0, held);
        const std::string_view text = line.substr(0, line.find('\0'));
        std::string magic;
        std::string port;
        auto rest = Split(text, ':', magic);
        if (rest && magic == MAGIC)
            rest = Split(*rest, ',', expected.host);
        expected.ends = !rest || magic != MAGIC || !Split(*rest, ',', port) ||
                        expected.host.empty() || Atoi(port) < 1;
        expected.port = Atoi(port);
    }
    else if (hostInSettings)
    {
        expected.host = DEFAULT_HOST;
        expected.port = DEFAULT_PORT;
    }
    else
        expected.ends = true;
    // An Open text that does not fit one packet is refused before any Connect.
    if (!expected.ends)
        expected.ends = 2 * (Utf8ToUtf16(expected.host).size() + 1 +
                             std::to_string(expected.port).size()) > TunnelPacket::MAX_PAYLOAD;
    return expected;
}

std::vector<uint8_t> Packet(uint8_t type, uint32_t number, std::span<const uint8_t> payload = {})
{
    TunnelPacket packet;
    packet.Build(type, number, payload);
    return {packet.Bytes().begin(), packet.Bytes().end()};
}

class Run
{
public:
    Run(std::span<const uint8_t> stream, uint8_t flags)
        : m_stream(stream), m_bCloses(flags & 2), m_nChunk((flags & 4) ? 1 + (flags >> 3) : SIZE_MAX)
    {
        m_app = m_sockets.AddTcpSocket();
        std::remove((tq_fuzz::ScratchFolder() + "/sessionid").c_str());
        m_client = std::make_unique<CProxyClient>(&m_stats, m_app, MakeLoopbackAddress(5000), true,
                                                  tq_fuzz::ScratchFolder(), m_sockets, m_clock);
        if (flags & 1)
        {
            m_client->SetHostAddress(DEFAULT_HOST);
            m_client->SetHostPort(DEFAULT_PORT);
        }
    }

    // Steps through the connect-info read: 1 ms a step while bytes arrive, then a
    // second a step until the read times out.
    int ReadConnectInfo()
    {
        for (int i = 0; i < 10000 && State() == CProxyClient::STATE_PRECONNECT; ++i)
            Step(Delivered() ? 1000 : 1);
        return State();
    }

    // The server's side up to the open tunnel; returns the Open packet.
    std::vector<uint8_t> Handshake()
    {
        Step(1);
        FUZZ_CHECK(State() == CProxyClient::STATE_CONNECTWACK);
        FromServer(Packet(PACKET_ACK, 2000));
        const std::vector<uint8_t> id(16, 7);
        FromServer(Packet(PACKET_SESSION, 1000, id));
        std::vector<uint8_t> open;
        for (int i = 0; i < 10 && State() != CProxyClient::STATE_OPENWACK; ++i)
            Step(1);
        FUZZ_CHECK(State() == CProxyClient::STATE_OPENWACK);
        for (const auto& datagram : m_sockets.TakeSent())
            if (!datagram.data.empty() && datagram.data[0] == PACKET_OPEN)
                open = datagram.data;
        FromServer(Packet(PACKET_ACK, 2001));
        Step(1);
        return open;
    }

    // Acknowledges every Data packet and returns their bytes, until the session has
    // sent `expected` bytes (or gives up after more steps than the bytes can need).
    std::string Relay(size_t expected)
    {
        std::string received;
        uint32_t next = 2002;
        for (size_t i = 0; i < 2 * m_stream.size() + 100 && received.size() < expected; ++i)
        {
            Step(1);
            for (const auto& datagram : m_sockets.TakeSent())
            {
                TunnelPacket packet;
                packet.Assign(datagram.data);
                if (packet.Type() != PACKET_DATA || packet.Number() != next)
                    continue;
                received.append(tq_fuzz::AsText(packet.Payload()));
                FromServer(Packet(PACKET_ACK, next++));
            }
        }
        return received;
    }

    int State() const { return m_client->GetState(); }

private:
    bool Delivered() const { return m_nDelivered == m_stream.size(); }
    void Step(uint32_t milliseconds)
    {
        const size_t count = std::min(m_nChunk, m_stream.size() - m_nDelivered);
        auto& socket = m_sockets.Socket(m_app);
        socket.inbound.insert(socket.inbound.end(), m_stream.begin() + m_nDelivered,
                              m_stream.begin() + m_nDelivered + count);
        m_nDelivered += count;
        socket.peerClosed = m_bCloses && Delivered();
        m_client->Step();
        m_clock.Advance(milliseconds);
    }
    void FromServer(const std::vector<uint8_t>& datagram)
    {
        m_sockets.Deliver(m_sockets.LastUdpSocket(), datagram,
                          MakeLoopbackAddress(SESSION_PORT));
    }

    std::span<const uint8_t> m_stream;
    bool m_bCloses;
    size_t m_nChunk;
    size_t m_nDelivered = 0;
    FakeSocketLayer m_sockets;
    FakeClock m_clock;
    CProxyStats m_stats;
    SOCKET m_app;
    std::unique_ptr<CProxyClient> m_client;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    if (size == 0)
        return 0;
    static const bool configured = []
    {
        CSettings::GetInstance()->SetValue("ProxyServer1", "127.0.0.1:" + std::to_string(CLIENT_PORT));
        CSettings::GetInstance()->SetValue("ConnectRetries", "0");
        return true;
    }();
    (void)configured;
    const uint8_t flags = data[0];
    const std::span<const uint8_t> stream(data + 1, size - 1);
    const Expected expected = Model(tq_fuzz::AsText(stream), flags & 2, flags & 1);

    Run run(stream, flags);
    const int state = run.ReadConnectInfo();
    if (expected.ends)
    {
        FUZZ_CHECK(state == CProxyClient::STATE_EXIT);
        return 0;
    }
    FUZZ_CHECK(state == CProxyClient::STATE_CONNECT);
    const std::u16string openText =
        Utf8ToUtf16(expected.host + "," + std::to_string(expected.port));
    FUZZ_CHECK(run.Handshake() == Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(openText, false)));
    FUZZ_CHECK(run.State() == CProxyClient::STATE_DATA);
    const std::string_view data_after_line = tq_fuzz::AsText(stream.subspan(expected.lineLength));
    FUZZ_CHECK(run.Relay(data_after_line.size()) == data_after_line);
    return 0;
}
