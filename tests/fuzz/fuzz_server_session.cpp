// A real CProxySession over the fake socket layer and clock, brought into one of its
// states with well-formed packets and then fed arbitrary datagrams, host bytes, host
// events and time. Checked after every step: the state is a defined one; every
// datagram the session sends goes from its own socket to the client's address, is a
// packet the client accepts and has a type a server sends; it acknowledges only the
// packet it has just read (or the Connect), takes client data only in sequence, and
// the host receives exactly the payloads of the Data packets acknowledged the first
// time, in order; its Data packets carry the host's bytes in order, a resent number
// the same bytes. At the end, with no more input, the session ends within its timers.
//
// Input: one byte selects the state to reach (0 Connect: then [form][length][bytes]
// give the Connect packet, raw for an even form, else built with the type form / 2
// from [number][payload]; 1 waiting for the Session ACK; 2 waiting for the Open; 3 host
// connect in progress; 4 Data; 5 Data with a packet in flight; 6 Data draining held
// bytes to a host that takes none; 7 waiting for the final ACK), one byte the idle
// limit in seconds (0..7, 0 none), then at most 64 records [kind][length][bytes]:
//   0 raw datagram from the client       1 packet: [type][number][payload]
//   2 Open: [number][text, one byte per UTF-16 unit]
//   3 packet from elsewhere: [where][type][number][payload]
//   4 host bytes arrive                  5 host event: [what] (close, reset,
//   6 time passes, length^2 ms             connect done, connect refused)
//   7 host takes [length] bytes per write (0 none, 255 all)
//   8 receive error on the client socket
// Numbers are one byte: bit 7 picks the server's (1000...) or the client's (2000...)
// sequence, the low bits an offset from 4 below its start.
#include "FuzzSupport.h"

#include "common/Log.h"
#include "server/ProxySession.h"
#include "server/ServerSettings.h"
#include "support/FakeClock.h"
#include "support/FakeSocketLayer.h"
#include "tunnel/LinkTiming.h"
#include "tunnel/ProxyMisc.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using tq_test::FakeClock;
using tq_test::FakeSocketLayer;

namespace
{

using Bytes = std::vector<uint8_t>;

constexpr size_t MAX_RECORDS = 64;
constexpr uint32_t CONNECT_NUMBER = 2000;
constexpr uint32_t QUIET_STEP_MS = 250;

enum Target
{
    TARGET_CONNECT,
    TARGET_SESSIONID_WACK,
    TARGET_WAITFOROPEN,
    TARGET_HOST_CONNECTING,
    TARGET_DATA,
    TARGET_DATA_IN_FLIGHT,
    TARGET_DRAIN,
    TARGET_WAITFINALACK,
    TARGET_COUNT
};

enum Kind
{
    KIND_RAW,
    KIND_PACKET,
    KIND_OPEN,
    KIND_ELSEWHERE,
    KIND_HOST_BYTES,
    KIND_HOST_EVENT,
    KIND_TIME,
    KIND_HOST_LIMIT,
    KIND_RECEIVE_ERROR,
    KIND_COUNT
};

Bytes Packet(uint8_t type, uint32_t number, std::span<const uint8_t> payload = {})
{
    TunnelPacket packet;
    packet.Build(type, number, payload);
    return {packet.Bytes().begin(), packet.Bytes().end()};
}

Bytes Text(std::string_view text)
{
    return {text.begin(), text.end()};
}

uint32_t NumberFrom(uint8_t selector)
{
    const uint32_t base = (selector & 0x80) ? CProxySession::INITIAL_SEND_NUMBER : CONNECT_NUMBER;
    return base + (selector & 0x7F) - 4;
}

bool IsServerType(uint8_t type)
{
    return type == PACKET_ACK || type == PACKET_SESSION || type == PACKET_DATA ||
           type == PACKET_CLOSE || type == PACKET_ERROR;
}

bool StartsWith(const Bytes& whole, const Bytes& part)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

class Run
{
  public:
    explicit Run(std::span<const uint8_t> connect)
    {
        const SessionId id{{0xE8, 0x07, 3, 0, 2, 0, 5, 0, 14, 0, 7, 0, 9, 0, 42, 0}};
        m_session = std::make_unique<CProxySession>(id, connect, m_client, m_sockets, m_clock);
    }

    // Drives the session with well-formed packets into the selected state.
    void Reach(int target)
    {
        if (target == TARGET_CONNECT)
            return;
        Step(); // Connect: ACK
        Step(); // Session ID sent
        if (target == TARGET_SESSIONID_WACK)
            return;
        FromClient(Packet(PACKET_ACK, CProxySession::INITIAL_SEND_NUMBER));
        Step();
        if (target == TARGET_WAITFOROPEN)
            return;
        FromClient(
            Packet(PACKET_OPEN, CONNECT_NUMBER + 1, EncodeUtf16Payload(u"10.1.2.3,80", false)));
        Step();
        m_host = m_sockets.LastTcpSocket();
        FUZZ_CHECK(m_host != INVALID_SOCKET);
        if (target == TARGET_HOST_CONNECTING)
        {
            Host().connectState = 0;
            Step();
            return;
        }
        Step();
        FUZZ_CHECK(m_session->GetState() == CProxySession::STATE_DATA);
        FromClient(Packet(PACKET_DATA, CONNECT_NUMBER + 2, Text("first bytes")));
        Step();
        if (target == TARGET_DATA)
            return;
        if (target == TARGET_DATA_IN_FLIGHT)
        {
            HostSends(Text("host says hello"));
            Step();
            return;
        }
        if (target == TARGET_DRAIN)
        {
            Host().sendLimit = 0;
            FromClient(Packet(PACKET_DATA, CONNECT_NUMBER + 3, Text("held bytes")));
            Step();
            FromClient(Packet(PACKET_CLOSE, CONNECT_NUMBER + 4));
            Step();
            return;
        }
        Host().peerClosed = true;
        Step(); // Close sent: waiting for its ACK
    }

    void Record(uint8_t kind, std::span<const uint8_t> bytes)
    {
        tq_fuzz::ByteReader reader(bytes.data(), bytes.size());
        switch (kind % KIND_COUNT)
        {
        case KIND_RAW:
            FromClient(Bytes(bytes.begin(), bytes.end()));
            break;
        case KIND_PACKET:
            FromClient(Built(reader));
            break;
        case KIND_OPEN:
        {
            const uint32_t number = NumberFrom(reader.Byte());
            std::u16string text;
            for (const uint8_t byte : reader.Rest())
                text.push_back(byte);
            FromClient(Packet(PACKET_OPEN, number, EncodeUtf16Payload(text, false)));
            break;
        }
        case KIND_ELSEWHERE:
        {
            const uint8_t where = reader.Byte();
            SocketAddress from = m_current;
            if (where & 1)
                from.port = HostToNet16(static_cast<uint16_t>(4000 + (where >> 1)));
            else
                from.address = AddressFromBytes(10, 0, 0, static_cast<uint8_t>(8 + (where >> 1)));
            Deliver(Built(reader), from);
            break;
        }
        case KIND_HOST_BYTES:
            if (m_host != INVALID_SOCKET)
                HostSends(Bytes(bytes.begin(), bytes.end()));
            break;
        case KIND_HOST_EVENT:
            HostEvent(reader.Byte());
            break;
        case KIND_TIME:
            m_clock.Advance(static_cast<uint32_t>(bytes.size() * bytes.size()));
            break;
        case KIND_HOST_LIMIT:
            if (m_host != INVALID_SOCKET)
                Host().sendLimit = bytes.size() == 255 ? -1 : static_cast<int>(bytes.size());
            break;
        case KIND_RECEIVE_ERROR:
            if (Udp() != INVALID_SOCKET)
                m_sockets.DeliverError(Udp(), bytes.empty() ? WSAECONNRESET : WSAEMSGSIZE);
            break;
        }
        Step();
    }

    // No more input: the session must end within its timers.
    void Quiet(int idleSeconds)
    {
        if (idleSeconds == 0)
            CServerSettings::GetInstance()->Values().clientIdleDisconnect = idleSeconds = 7;
        const uint32_t limit = static_cast<uint32_t>(idleSeconds) * 1000 +
                               CProxySession::HOST_CONNECT_TIMEOUT_MS +
                               2 * link_timing::kRetransmitMs + 2 * QUIET_STEP_MS;
        for (uint32_t waited = 0; waited <= limit && !Ended(); waited += QUIET_STEP_MS)
        {
            // A loop steps the session again at once while datagrams wait: those that
            // arrived earlier are read before the time moves on.
            for (size_t waiting = Waiting(); waiting > 0 && !Ended(); waiting = Waiting())
            {
                Step();
                if (Waiting() == waiting)
                    break; // not reading meanwhile (host connect, drain)
            }
            m_clock.Advance(QUIET_STEP_MS);
            Step();
        }
        FUZZ_CHECK(Ended());
    }

  private:
    bool Ended() const { return m_session->GetState() == CProxySession::STATE_EXIT; }
    SOCKET Udp() const { return m_sockets.LastUdpSocket(); }
    size_t Waiting() { return Udp() == INVALID_SOCKET ? 0 : m_sockets.Socket(Udp()).inbox.size(); }
    FakeSocketLayer::FakeSocket& Host() { return m_sockets.Socket(m_host); }

    // [type][number][payload], the payload cut to what one packet holds.
    static Bytes Built(tq_fuzz::ByteReader& reader)
    {
        const uint8_t type = reader.Byte();
        const uint32_t number = NumberFrom(reader.Byte());
        return Packet(type, number, reader.Take(TunnelPacket::MAX_PAYLOAD));
    }

    void HostSends(const Bytes& bytes)
    {
        Host().inbound.insert(Host().inbound.end(), bytes.begin(), bytes.end());
        m_hostIn.insert(m_hostIn.end(), bytes.begin(), bytes.end());
    }

    void HostEvent(uint8_t what)
    {
        if (m_host == INVALID_SOCKET)
            return;
        switch (what % 4)
        {
        case 0:
            Host().peerClosed = true;
            break;
        case 1:
            Host().recvError = WSAECONNRESET;
            break;
        case 2:
            Host().connectState = 1;
            break;
        default:
            Host().connectState = -1;
            Host().connectError = WSAECONNREFUSED;
            break;
        }
    }

    void FromClient(const Bytes& datagram) { Deliver(datagram, m_current); }
    void Deliver(const Bytes& datagram, const SocketAddress& from)
    {
        if (Udp() != INVALID_SOCKET)
            m_sockets.Deliver(Udp(), datagram, from);
    }

    void Step()
    {
        // The datagram a step reads, if it reads one, is the first waiting.
        std::optional<FakeSocketLayer::Datagram> first;
        size_t waiting = 0;
        if (Udp() != INVALID_SOCKET && !m_sockets.Socket(Udp()).inbox.empty())
        {
            first = m_sockets.Socket(Udp()).inbox.front();
            waiting = m_sockets.Socket(Udp()).inbox.size();
        }
        const int before = m_session->GetState();
        FUZZ_CHECK(m_session->Step());
        const int state = m_session->GetState();
        FUZZ_CHECK(state >= CProxySession::STATE_CONNECT &&
                   state <= CProxySession::STATE_WAITFINALACK);
        const bool read = first && m_sockets.Socket(Udp()).inbox.size() < waiting;
        CheckSent(before, read ? &*first : nullptr);
        CheckHost();
    }

    void CheckSent(int before, const FakeSocketLayer::Datagram* read)
    {
        // What the session read, as it would see it: a valid packet from the client.
        TunnelPacket in;
        const bool readPacket = read && read->error == 0 &&
                                read->data.size() <= TunnelPacket::MAX_SIZE &&
                                IsValidPacket(PacketReceiver::ServerSession, read->data);
        if (readPacket)
            in.Assign(read->data);
        int acks = 0;
        for (const auto& datagram : m_sockets.TakeSent())
        {
            FUZZ_CHECK(datagram.socket == Udp());
            FUZZ_CHECK(datagram.address.address == m_client.address);
            FUZZ_CHECK(IsValidPacket(PacketReceiver::Client, datagram.data));
            TunnelPacket out;
            out.Assign(datagram.data);
            FUZZ_CHECK(IsServerType(out.Type()));
            m_current = datagram.address;
            if (out.Type() == PACKET_ACK)
            {
                ++acks;
                CheckAck(out.Number(), before, readPacket ? &in : nullptr);
            }
            else if (out.Type() == PACKET_DATA)
                CheckData(out);
        }
        FUZZ_CHECK(acks <= 1);
    }

    void CheckAck(uint32_t number, int before, const TunnelPacket* in)
    {
        if (before == CProxySession::STATE_CONNECT)
        {
            m_lastReceived = number; // the Connect's number
            return;
        }
        FUZZ_CHECK(in != nullptr && in->Number() == number);
        FUZZ_CHECK(in->Type() != PACKET_ACK);
        if (in->Type() == PACKET_OPEN)
        {
            FUZZ_CHECK(number == m_lastReceived + 1);
            m_lastReceived = number;
        }
        else if (in->Type() == PACKET_DATA && number != m_lastReceived)
        {
            // Taken for the first time: only the next number, its bytes to the host.
            FUZZ_CHECK(number == m_lastReceived + 1);
            m_lastReceived = number;
            m_hostExpected.insert(m_hostExpected.end(), in->Payload().begin(), in->Payload().end());
        }
    }

    void CheckData(const TunnelPacket& out)
    {
        const Bytes payload(out.Payload().begin(), out.Payload().end());
        FUZZ_CHECK(!payload.empty());
        const auto known = m_dataSent.find(out.Number());
        if (known != m_dataSent.end())
        {
            FUZZ_CHECK(known->second == payload);
            return;
        }
        m_dataSent.emplace(out.Number(), payload);
        m_hostRelayed.insert(m_hostRelayed.end(), payload.begin(), payload.end());
        FUZZ_CHECK(StartsWith(m_hostIn, m_hostRelayed));
    }

    void CheckHost()
    {
        if (m_host == INVALID_SOCKET)
            return;
        FUZZ_CHECK(StartsWith(m_hostExpected, Host().written));
    }

    FakeSocketLayer m_sockets;
    FakeClock m_clock;
    const SocketAddress m_client = MakeSocketAddress(AddressFromBytes(10, 0, 0, 7), 1027);
    SocketAddress m_current = m_client; // where the client's packets come from now
    std::unique_ptr<CProxySession> m_session;
    SOCKET m_host = INVALID_SOCKET;
    uint32_t m_lastReceived = 0; // the client's number acknowledged last
    Bytes m_hostExpected;        // payloads acknowledged for the first time, in order
    Bytes m_hostIn;              // every byte the host sent
    Bytes m_hostRelayed;         // the payloads of the session's Data packets, each number once
    std::map<uint32_t, Bytes> m_dataSent;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    tq_fuzz::ByteReader reader(data, size);
    const int target = reader.Byte() % TARGET_COUNT;
    const int idleSeconds = reader.Byte() % 8;
    CServerSettings::GetInstance()->Values().clientIdleDisconnect = idleSeconds;

    Bytes connect = Packet(PACKET_CONNECT, CONNECT_NUMBER, Bytes(16, 0));
    if (target == TARGET_CONNECT)
    {
        // Odd: a packet of the type in the upper bits and a number byte; even: raw.
        const uint8_t form = reader.Byte();
        const auto bytes = reader.Take(reader.Byte());
        connect.assign(bytes.begin(), bytes.end());
        if (form & 1)
        {
            tq_fuzz::ByteReader fields(bytes.data(), bytes.size());
            const uint32_t number = NumberFrom(fields.Byte());
            connect = Packet(static_cast<uint8_t>((form >> 1) % 9), number, fields.Rest());
        }
        if (connect.empty())
            return 0; // the server never makes a session of nothing
    }
    Run run(connect);
    run.Reach(target);
    for (size_t i = 0; i < MAX_RECORDS && !reader.Empty(); ++i)
    {
        const uint8_t kind = reader.Byte();
        run.Record(kind, reader.Take(reader.Byte()));
    }
    run.Quiet(idleSeconds);
    return 0;
}
