// One datagram at the three receivers: the validity rules of a server session's
// socket, of the server's client port and of the client, checked against a model of
// the rules written here on its own (with a bitwise CRC); the in-place check leaves
// the bytes alone; a valid packet rebuilds to the same bytes and any changed byte
// fails it; and the payload parsers (session ID, the UTF-16 text of Open and Error,
// the Open packet's host and port) take whatever a valid packet carries.
#include "FuzzSupport.h"

#include "common/MyString.h"
#include "tunnel/ProxyMisc.h"
#include "tunnel/SessionId.h"
#include "tunnel/TunnelPacket.h"

#include <array>
#include <vector>

namespace
{

uint32_t ReadLe32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t ModelChecksum(std::span<const uint8_t> packet)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < packet.size(); ++i)
    {
        crc ^= (i >= 8 && i < 12) ? 0u : packet[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
    }
    return crc ^ 0xDEADBEEFu;
}

bool ModelTypeAndLength(PacketReceiver receiver, uint8_t type, size_t length)
{
    switch (receiver)
    {
    case PacketReceiver::ServerClientPort:
        return true;
    case PacketReceiver::ServerSession:
        return type == PACKET_OPEN || type == PACKET_DATA || type == PACKET_ERROR ||
               ((type == PACKET_CONNECT || type == PACKET_SESSION) && length == 28) ||
               ((type == PACKET_ACK || type == PACKET_CLOSE) && length == 12);
    case PacketReceiver::Client:
        return type == PACKET_OPEN || type == PACKET_DATA || type == PACKET_ERROR ||
               type == PACKET_NOSESSION || (type == PACKET_SESSION && length == 28) ||
               ((type == PACKET_ACK || type == PACKET_CLOSE) && length == 12);
    }
    return false;
}

void ParsePayload(const TunnelPacket& packet)
{
    const auto payload = packet.Payload();
    if (payload.size() >= 16)
    {
        const SessionId id = SessionId::FromBytes(payload.first(16));
        FUZZ_CHECK(id.ToText().size() >= 23);
        (void)id.NextMillisecond().ToText();
    }
    // Error: the text up to its first zero character; Open: host and port.
    const std::u16string text = DecodeUtf16Payload(payload);
    FUZZ_CHECK(text.size() <= payload.size() / 2);
    FUZZ_CHECK(text.find(u'\0') == std::u16string::npos);
    const std::string narrow = Utf16ToUtf8(text);
    FUZZ_CHECK(narrow.size() <= 3 * text.size());
    std::u16string host;
    std::u16string port;
    const auto rest = SplitTokenW(text, u',', host, 512);
    if (rest)
        SplitTokenW(*rest, u',', port, 512);
    FUZZ_CHECK(host.size() <= 511 && port.size() <= 511);
    (void)ReadDecimalW(port);
}

void Examine(std::span<const uint8_t> bytes)
{
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    const bool sized = size >= TunnelPacket::HEADER_SIZE && size <= TunnelPacket::MAX_SIZE;
    const bool checksumOk =
        size >= TunnelPacket::HEADER_SIZE && ReadLe32(data + 8) == ModelChecksum(bytes);

    TunnelPacket packet;
    if (size <= TunnelPacket::MAX_SIZE)
        packet.Assign(bytes);
    for (PacketReceiver receiver : {PacketReceiver::ServerSession,
                                    PacketReceiver::ServerClientPort, PacketReceiver::Client})
    {
        const bool expected = sized && checksumOk && ModelTypeAndLength(receiver, data[0], size);
        FUZZ_CHECK(IsValidPacket(receiver, bytes) == expected);
        if (size <= TunnelPacket::MAX_SIZE)
            FUZZ_CHECK(packet.IsValidFor(receiver) == expected);
    }
    // Types 9 to 255 are invalid at every receiver that looks at the type.
    if (size > 0 && data[0] > PACKET_NOSESSION)
    {
        FUZZ_CHECK(!IsValidPacket(PacketReceiver::ServerSession, bytes));
        FUZZ_CHECK(!IsValidPacket(PacketReceiver::Client, bytes));
    }

    if (size > 0)
    {
        std::vector<uint8_t> copy(bytes.begin(), bytes.end());
        FUZZ_CHECK(CheckPacket(copy) == checksumOk);
        FUZZ_CHECK(std::equal(copy.begin(), copy.end(), bytes.begin()));
    }
    if (size > TunnelPacket::MAX_SIZE)
        return;
    FUZZ_CHECK(packet.Check() == checksumOk);
    FUZZ_CHECK(GetPacketTypeName(packet.Type()) != nullptr);
    if (size < TunnelPacket::HEADER_SIZE)
        return;
    ParsePayload(packet);

    // Rebuilt from its parts, a packet with zero reserved bytes is the same datagram.
    TunnelPacket rebuilt;
    rebuilt.Build(packet.Type(), packet.Number(), packet.Payload());
    FUZZ_CHECK(rebuilt.Check());
    const bool reservedZero = data[1] == 0 && data[2] == 0 && data[3] == 0;
    if (checksumOk && reservedZero)
        FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), rebuilt.Bytes().begin()));
    // CRC-32 finds every error confined to one byte, reserved bytes included.
    std::array<uint8_t, TunnelPacket::MAX_SIZE> changed{};
    std::copy(rebuilt.Bytes().begin(), rebuilt.Bytes().end(), changed.begin());
    changed[packet.Number() % size] ^= static_cast<uint8_t>(1 + data[size - 1] % 255);
    FUZZ_CHECK(!CheckPacket(std::span(changed.data(), size)));
    for (PacketReceiver receiver : {PacketReceiver::ServerSession,
                                    PacketReceiver::ServerClientPort, PacketReceiver::Client})
        FUZZ_CHECK(!IsValidPacket(receiver, std::span(changed.data(), size)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    Examine({data, size});
    // A mutated datagram rarely keeps its checksum: the same bytes with the checksum
    // put right take the paths of valid packets.
    if (size >= TunnelPacket::HEADER_SIZE && size <= TunnelPacket::MAX_SIZE)
    {
        std::vector<uint8_t> fixed(data, data + size);
        const uint32_t checksum = ModelChecksum(fixed);
        for (int i = 0; i < 4; ++i)
            fixed[8 + i] = static_cast<uint8_t>(checksum >> (8 * i));
        Examine(fixed);
    }
    return 0;
}
