#include "tunnel/TunnelPacket.h"

#include "common/Assert.h"

#include <algorithm>
#include <cstddef>

namespace
{

constexpr uint32_t CRC_POLYNOMIAL = 0xEDB88320u;
constexpr uint32_t CRC_INITIAL = 0xFFFFFFFFu;
constexpr uint32_t CRC_FINAL_XOR = 0xDEADBEEFu;

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

// The byte table, and seven more that each carry a byte one place further, so that
// eight bytes take eight lookups and no shift chain ("slicing by eight").
constexpr CrcTables MakeCrcTables()
{
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; ++i)
    {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? (c >> 1) ^ CRC_POLYNOMIAL : c >> 1;
        tables[0][i] = c;
    }
    for (size_t k = 1; k < tables.size(); ++k)
        for (size_t i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFFu];
    return tables;
}

constexpr CrcTables CRC_TABLES = MakeCrcTables();

uint32_t Le32At(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t CrcUpdate(uint32_t crc, std::span<const uint8_t> bytes)
{
    const auto& t = CRC_TABLES;
    const uint8_t* p = bytes.data();
    size_t count = bytes.size();
    for (; count >= 8; p += 8, count -= 8)
    {
        const uint32_t low = crc ^ Le32At(p);
        const uint32_t high = Le32At(p + 4);
        crc = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^
              t[4][low >> 24] ^ t[3][high & 0xFFu] ^ t[2][(high >> 8) & 0xFFu] ^
              t[1][(high >> 16) & 0xFFu] ^ t[0][high >> 24];
    }
    for (; count > 0; ++p, --count)
        crc = t[0][(crc ^ *p) & 0xFFu] ^ (crc >> 8);
    return crc;
}

uint32_t ReadLe32(const uint8_t* p) { return Le32At(p); }

void WriteLe32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The checksum of a packet as if its checksum field were zero, without touching it.
uint32_t ChecksumWithZeroField(std::span<const uint8_t> packet)
{
    static constexpr uint8_t zeros[4] = {};
    constexpr size_t fieldEnd = TunnelPacket::CHECKSUM_OFFSET + 4;
    uint32_t crc = CrcUpdate(CRC_INITIAL, packet.first(TunnelPacket::CHECKSUM_OFFSET));
    crc = CrcUpdate(crc, zeros);
    return CrcUpdate(crc, packet.subspan(fieldEnd)) ^ CRC_FINAL_XOR;
}

// Required total length of a type at a receiver: 0 any length, -1 never valid.
int RequiredLength(PacketReceiver receiver, uint8_t type)
{
    switch (type)
    {
    case PACKET_OPEN:
    case PACKET_DATA:
    case PACKET_ERROR:
        return 0;
    case PACKET_SESSION:
        return 28;
    case PACKET_ACK:
    case PACKET_CLOSE:
        return 12;
    case PACKET_CONNECT:
        return receiver == PacketReceiver::ServerSession ? 28 : -1;
    case PACKET_NOSESSION:
        return receiver == PacketReceiver::Client ? 0 : -1;
    default:
        return -1;
    }
}

bool TypeAndLengthAccepted(PacketReceiver receiver, uint8_t type, size_t length)
{
    if (receiver == PacketReceiver::ServerClientPort)
        return true;
    const int required = RequiredLength(receiver, type);
    return required == 0 || (required > 0 && length == static_cast<size_t>(required));
}

} // namespace

uint32_t ComputeChecksum(std::span<const uint8_t> bytes)
{
    return CrcUpdate(CRC_INITIAL, bytes) ^ CRC_FINAL_XOR;
}

bool CheckPacket(std::span<uint8_t> packet)
{
    const uint8_t* pPacket = packet.empty() ? nullptr : packet.data();
    TQ_ASSERT(NULL != pPacket);
    if (packet.size() < TunnelPacket::HEADER_SIZE)
        return false;
    uint8_t* field = packet.data() + TunnelPacket::CHECKSUM_OFFSET;
    const uint32_t stored = ReadLe32(field);
    WriteLe32(field, 0);
    const uint32_t computed = ComputeChecksum(packet);
    WriteLe32(field, stored);
    return stored == computed;
}

bool IsValidPacket(PacketReceiver receiver, std::span<const uint8_t> packet)
{
    if (packet.size() < TunnelPacket::HEADER_SIZE || packet.size() > TunnelPacket::MAX_SIZE)
        return false;
    if (!TypeAndLengthAccepted(receiver, packet[0], packet.size()))
        return false;
    return ReadLe32(packet.data() + TunnelPacket::CHECKSUM_OFFSET) == ChecksumWithZeroField(packet);
}

void TunnelPacket::Build(uint8_t type, uint32_t number, std::span<const uint8_t> payload,
                        uint8_t flags)
{
    TQ_ASSERT(payload.size() <= MAX_PAYLOAD);
    m_buffer.fill(0);
    m_buffer[0] = type;
    m_buffer[FLAGS_OFFSET] = flags;
    WriteLe32(m_buffer.data() + 4, number);
    std::copy(payload.begin(), payload.end(), m_buffer.begin() + HEADER_SIZE);
    m_nLength = HEADER_SIZE + payload.size();
    WriteLe32(m_buffer.data() + CHECKSUM_OFFSET, ComputeChecksum(Bytes()));
}

void TunnelPacket::Assign(std::span<const uint8_t> datagram)
{
    TQ_ASSERT(datagram.size() <= MAX_SIZE);
    m_buffer.fill(0);
    std::copy(datagram.begin(), datagram.end(), m_buffer.begin());
    m_nLength = datagram.size();
}

void TunnelPacket::SetLength(size_t length)
{
    TQ_ASSERT(length <= MAX_SIZE);
    m_nLength = length;
}

uint32_t TunnelPacket::Number() const
{
    return ReadLe32(m_buffer.data() + 4);
}

uint32_t TunnelPacket::StoredChecksum() const
{
    return ReadLe32(m_buffer.data() + CHECKSUM_OFFSET);
}

bool TunnelPacket::Check() const
{
    return m_nLength >= HEADER_SIZE && StoredChecksum() == ChecksumWithZeroField(Bytes());
}

bool TunnelPacket::IsValidFor(PacketReceiver receiver) const
{
    return IsValidPacket(receiver, Bytes());
}
