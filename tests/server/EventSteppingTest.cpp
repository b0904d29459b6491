// Stepping a session only when one of its sockets is ready or its deadline is due
// changes nothing observable: the same scripted client and host, once with a step on
// every millisecond (a loop that steps every session every pass) and once event
// driven, give the same packets at the same times, the same bytes to the host and
// the same log.
#include "server/ProxySession.h"

#include "common/Log.h"
#include "server/ServerSettings.h"
#include "support/FakeClock.h"
#include "support/FakeSocketLayer.h"
#include "support/TestSupport.h"
#include "tunnel/ProxyMisc.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using tq_test::FakeSocketLayer;

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes Packet(uint8_t type, uint32_t number, std::span<const uint8_t> payload = {})
{
    TunnelPacket packet;
    packet.Build(type, number, payload);
    return {packet.Bytes().begin(), packet.Bytes().end()};
}

Bytes Text(std::string_view text) { return {text.begin(), text.end()}; }

const SocketAddress kClient = MakeSocketAddress(AddressFromBytes(10, 0, 0, 7), 1027);

// One run of a scenario: its own sockets, clock and session.
struct Trial
{
    FakeSocketLayer sockets;
    tq_test::FakeClock clock;
    std::unique_ptr<CProxySession> session;
    SOCKET Udp() const { return sockets.LastUdpSocket(); }
    SOCKET Host() const { return sockets.LastTcpSocket(); }
    FakeSocketLayer::FakeSocket& HostSocket() { return sockets.Socket(Host()); }
    void FromClient(const Bytes& datagram) { sockets.Deliver(Udp(), datagram, kClient); }
};

struct Event
{
    uint32_t at; // milliseconds from the session's creation
    std::function<void(Trial&)> apply;
};

struct Outcome
{
    std::vector<std::string> sent; // "tick: bytes" of every datagram
    Bytes hostBytes;
    std::string log;
    int steps = 0;
};

std::string Describe(uint32_t tick, const Bytes& bytes)
{
    std::string text = std::to_string(tick) + ":";
    for (const uint8_t byte : bytes)
        text += " " + std::to_string(byte);
    return text;
}

class EventSteppingTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        CLog::DestroyInstance();
        CServerSettings::DestroyInstance();
    }

    Outcome Play(const std::vector<Event>& events, uint32_t duration, bool eventDriven)
    {
        Trial run;
        const std::string logFile = m_dir.File(eventDriven ? "events.txt" : "every.txt");
        CLog::GetInstance()->SetClock(&run.clock);
        CLog::GetInstance()->SetFilename(logFile);
        CLog::GetInstance()->SetLogLevel(CLog::LEVEL_DEBUG);
        CServerSettings::GetInstance()->Values().clientIdleDisconnect = m_idleLimit;
        SessionId id;
        id.bytes = {0xE8, 0x07, 3, 0, 2, 0, 5, 0, 14, 0, 7, 0, 9, 0, 42, 0};
        run.session = std::make_unique<CProxySession>(
            id, Packet(PACKET_CONNECT, 2000, Bytes(16, 0)), kClient, run.sockets, run.clock);
        if (eventDriven)
            run.session->WatchSockets(2, 3);
        Outcome outcome;
        size_t next = 0;
        for (uint32_t t = 0; t <= duration && run.session->GetState() != CProxySession::STATE_EXIT; ++t)
        {
            while (next < events.size() && events[next].at == t)
                events[next++].apply(run);
            const uint32_t now = run.clock.TickCount();
            if (!eventDriven || Ready(run) || run.session->MsUntilDue(now) == 0)
            {
                run.session->Step(now);
                ++outcome.steps;
            }
            for (const auto& datagram : run.sockets.TakeSent())
                outcome.sent.push_back(Describe(t, datagram.data));
            run.clock.Advance(1);
        }
        if (run.Host() != INVALID_SOCKET)
            outcome.hostBytes = run.HostSocket().written;
        run.session.reset();
        CLog::GetInstance()->SetClock(nullptr);
        outcome.log = tq_test::ReadFile(logFile);
        return outcome;
    }

    // What the loop's wait reports, handed to the session as the loop does.
    static bool Ready(Trial& run)
    {
        std::vector<SocketReadiness> ready;
        run.sockets.WaitReady(0, ready);
        for (const SocketReadiness& event : ready)
            run.session->SetReady(event.token, event.readable, event.writable);
        return !ready.empty();
    }

    void ExpectSameOutcome(const std::vector<Event>& events, uint32_t duration)
    {
        const Outcome every = Play(events, duration, false);
        const Outcome driven = Play(events, duration, true);
        EXPECT_EQ(every.sent, driven.sent);
        EXPECT_EQ(every.hostBytes, driven.hostBytes);
        EXPECT_EQ(every.log, driven.log);
        // The event-driven run did its work in a small fraction of the steps.
        EXPECT_LT(driven.steps * 20, every.steps);
        EXPECT_FALSE(every.sent.empty());
    }

    tq_test::TempDir m_dir;
    int m_idleLimit = 0;
};

// Handshake with a slow host connection, data both ways with a lost ACK, a host that
// stops taking bytes for a while, duplicates and out-of-synch packets, a rogue and a
// broken datagram, then the idle limit and a final ACK that never comes.
TEST_F(EventSteppingTest, ARelayWithTimersGivesTheSameOutcome)
{
    m_idleLimit = 9;
    const Bytes block(700, 0x5A);
    const std::vector<Event> events = {
        {5, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1000)); }},
        {8, [](Trial& r) { r.FromClient(Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(u"10.1.2.3,80", false))); }},
        {9, [](Trial& r) { r.HostSocket().connectState = 0; }},
        {200, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2002, Text("early"))); }},
        {400, [](Trial& r) { r.HostSocket().connectState = 1; }},
        {500, [](Trial& r) { r.HostSocket().inbound = Text("hello from the host"); }},
        {510, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1001)); }},
        {600, [&block](Trial& r) { r.HostSocket().inbound = block; }},
        {605, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1002)); }},
        // 1003 is not acknowledged: sent again after 3000 ms.
        {3700, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1003)); }},
        {4000, [](Trial& r) { r.HostSocket().sendLimit = 0; }},
        {4001, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2003, Bytes(500, 1))); }},
        {4010, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2004, Bytes(300, 2))); }},
        {4500, [](Trial& r) { r.HostSocket().sendLimit = -1; }},
        {4600, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2004, Bytes(300, 2))); }},
        {4700, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2010, Text("far ahead"))); }},
        {4800, [](Trial& r) { r.sockets.Deliver(r.Udp(), Packet(PACKET_DATA, 2005, Text("rogue")),
                                              MakeSocketAddress(AddressFromBytes(10, 0, 0, 9), 1027)); }},
        {4900, [](Trial& r) { r.FromClient(Bytes(9, 0)); }},
        {5000, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2005, Bytes())); }}, // a ping
    };
    ExpectSameOutcome(events, 20000);
}

// The client closes while bytes for a slow host are held (drain), then a session
// whose host closes with bytes held for it.
TEST_F(EventSteppingTest, DrainingAndClosingGiveTheSameOutcome)
{
    const std::vector<Event> clientCloses = {
        {3, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1000)); }},
        {4, [](Trial& r) { r.FromClient(Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(u"10.1.2.3,80", false))); }},
        {20, [](Trial& r) { r.HostSocket().sendLimit = 0; }},
        {21, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2002, Text("held"))); }},
        {30, [](Trial& r) { r.FromClient(Packet(PACKET_CLOSE, 2003)); }},
        {40, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2004, Text("not read"))); }},
        {2000, [](Trial& r) { r.HostSocket().sendLimit = 2; }},
    };
    ExpectSameOutcome(clientCloses, 15000);

    const std::vector<Event> hostCloses = {
        {3, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1000)); }},
        {4, [](Trial& r) { r.FromClient(Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(u"10.1.2.3,80", false))); }},
        {20, [](Trial& r) { r.HostSocket().sendLimit = 0; }},
        {21, [](Trial& r) { r.FromClient(Packet(PACKET_DATA, 2002, Text("late"))); }},
        {50, [](Trial& r) { r.HostSocket().peerClosed = true; }},
        {900, [](Trial& r) { r.HostSocket().sendLimit = -1; }},
        {2000, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1001)); }},
    };
    ExpectSameOutcome(hostCloses, 6000);
}

// A host that closes right after its last bytes: both come with one readiness report,
// and the read of the bytes is short. The close behind them must still be read: the
// session sends Close once the last Data packet is acknowledged, as a session stepped
// on every millisecond does.
TEST_F(EventSteppingTest, AHostClosingWithItsLastBytesIsClosedTowardsTheClient)
{
    const std::vector<Event> events = {
        {3, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1000)); }},
        {4, [](Trial& r) { r.FromClient(Packet(PACKET_OPEN, 2001, EncodeUtf16Payload(u"10.1.2.3,80", false))); }},
        {20, [](Trial& r) {
             r.HostSocket().inbound = Text("the last words");
             r.HostSocket().peerClosed = true;
         }},
        {90, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1001)); }},
        {150, [](Trial& r) { r.FromClient(Packet(PACKET_ACK, 1002)); }},
    };
    const Outcome every = Play(events, 3000, false);
    const Outcome driven = Play(events, 3000, true);
    EXPECT_EQ(every.sent, driven.sent);
    EXPECT_EQ(every.log, driven.log);
    // The Close (type 5, number 1002) went out after the ACK of the data.
    ASSERT_FALSE(driven.sent.empty());
    EXPECT_NE(std::string::npos, driven.log.find("TCP host gracefully closed the connection."));
    EXPECT_EQ(0u, driven.sent.back().find("90: 5 0 0 0 234 3 0 0"));
}

} // namespace
