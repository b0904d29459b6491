#include "support/TunnelTestClient.h"

#include "platform/Time.h"

#include <algorithm>

namespace tq_test
{

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Utf16Le(const std::string& ascii)
{
    std::vector<uint8_t> out;
    for (char c : ascii)
    {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

TunnelTestClient::TunnelTestClient(uint16_t serverClientPort)
    : m_socket(SocketCreateUdp()), m_serverPort(MakeLoopbackAddress(serverClientPort))
{
    SocketBind(m_socket, MakeLoopbackAddress(0));
    SocketSetBlocking(m_socket, false);
}

TunnelTestClient::~TunnelTestClient() { SocketClose(m_socket); }

std::string TunnelTestClient::ClientId() const
{
    SocketAddress local;
    SocketLocalAddress(m_socket, local);
    return "127.0.0.1:" + std::to_string(NetToHost16(local.port));
}

static std::vector<uint8_t> Build(uint8_t type, uint32_t number, const std::vector<uint8_t>& payload)
{
    TunnelPacket p;
    p.Build(type, number, payload);
    return {p.Bytes().begin(), p.Bytes().end()};
}

void TunnelTestClient::SendToSession(const std::vector<uint8_t>& datagram)
{
    SocketSendTo(m_socket, datagram, m_sessionAddress);
}

void TunnelTestClient::SendToClientPort(const std::vector<uint8_t>& datagram)
{
    SocketSendTo(m_socket, datagram, m_serverPort);
}

void TunnelTestClient::SendAck(uint32_t number) { SendToSession(Build(PACKET_ACK, number, {})); }

void TunnelTestClient::SendProbe(const SessionId& id)
{
    SendToClientPort(Build(PACKET_PROBE, 0, {id.bytes.begin(), id.bytes.end()}));
}

std::optional<TunnelPacket> TunnelTestClient::Receive(std::chrono::milliseconds timeout,
                                                      SocketAddress* from)
{
    const auto end = Clock::now() + timeout;
    do
    {
        TunnelPacket packet;
        SocketAddress sender;
        int length = 0;
        const int n = SocketRecvFrom(m_socket, packet.Buffer(), sender, length);
        if (n > 0)
        {
            packet.SetLength(static_cast<size_t>(n));
            if (packet.IsValidFor(PacketReceiver::Client))
            {
                if (from)
                    *from = sender;
                return packet;
            }
            continue;
        }
        SleepMs(1);
    } while (Clock::now() < end);
    return std::nullopt;
}

bool TunnelTestClient::Connect(const SessionId& previous, std::chrono::milliseconds timeout)
{
    SendToClientPort(Build(PACKET_CONNECT, m_nSendNumber, {previous.bytes.begin(), previous.bytes.end()}));
    SocketAddress from;
    const auto ack = Receive(timeout, &from);
    if (!ack || ack->Type() != PACKET_ACK || ack->Number() != m_nSendNumber)
        return false;
    m_sessionAddress = from;
    ++m_nSendNumber;
    const auto session = Receive(timeout, &from);
    if (!session || session->Type() != PACKET_SESSION)
        return false;
    m_sessionId = SessionId::FromBytes(session->Payload());
    m_nReceiveNumber = session->Number();
    SendAck(session->Number());
    return true;
}

bool TunnelTestClient::SendNumbered(uint8_t type, const std::vector<uint8_t>& payload,
                                    std::chrono::milliseconds timeout)
{
    SendToSession(Build(type, m_nSendNumber, payload));
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end)
    {
        const auto packet = Receive(std::chrono::milliseconds(50));
        bool acked = false;
        if (packet && HandleIncoming(*packet, acked) && acked)
            return true;
    }
    return false;
}

bool TunnelTestClient::Open(const std::string& host, uint16_t port, std::chrono::milliseconds timeout)
{
    return SendNumbered(PACKET_OPEN, Utf16Le(host + "," + std::to_string(port)), timeout);
}

// ACKs in-order Data (appending its payload) and duplicates; reports an ACK of the
// packet in flight. Returns true when the packet was handled here.
bool TunnelTestClient::HandleIncoming(const TunnelPacket& packet, bool& acked)
{
    if (packet.Type() == PACKET_ACK && packet.Number() == m_nSendNumber)
    {
        ++m_nSendNumber;
        acked = true;
        return true;
    }
    if (packet.Type() == PACKET_DATA)
    {
        if (packet.Number() == m_nReceiveNumber + 1)
        {
            ++m_nReceiveNumber;
            m_received.insert(m_received.end(), packet.Payload().begin(), packet.Payload().end());
        }
        if (packet.Number() == m_nReceiveNumber)
            SendAck(packet.Number());
        return true;
    }
    return false;
}

bool TunnelTestClient::Exchange(const std::vector<uint8_t>& out, size_t expectIn,
                                std::vector<uint8_t>& in, std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    size_t sent = 0;
    bool inFlight = false;
    std::vector<uint8_t> flight;
    auto lastSend = Clock::now();
    while (Clock::now() < end)
    {
        if (!inFlight && sent < out.size())
        {
            const size_t n = std::min(TunnelPacket::MAX_PAYLOAD, out.size() - sent);
            flight = Build(PACKET_DATA, m_nSendNumber, {out.begin() + long(sent), out.begin() + long(sent + n)});
            SendToSession(flight);
            sent += n;
            inFlight = true;
            lastSend = Clock::now();
        }
        else if (inFlight && Clock::now() - lastSend > std::chrono::milliseconds(3000))
        {
            SendToSession(flight);
            lastSend = Clock::now();
        }
        if (!inFlight && sent == out.size() && m_received.size() >= expectIn)
            break;
        const auto packet = Receive(std::chrono::milliseconds(inFlight ? 20 : 5));
        bool acked = false;
        if (packet)
            HandleIncoming(*packet, acked);
        if (acked)
            inFlight = false;
    }
    in = m_received;
    return !inFlight && sent == out.size() && m_received.size() >= expectIn;
}

std::optional<TunnelPacket> TunnelTestClient::WaitFor(uint8_t type, std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end)
    {
        const auto packet = Receive(std::chrono::milliseconds(20));
        if (!packet)
            continue;
        if (packet->Type() == type)
            return packet;
        bool acked = false;
        HandleIncoming(*packet, acked);
    }
    return std::nullopt;
}

} // namespace tq_test
