#pragma once
// One tunnel packet: a 12-byte header (type, three reserved zero bytes, packet
// number, checksum; little-endian) and 0 to 512 bytes of payload.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

enum PacketType : uint8_t
{
    PACKET_CONNECT = 0,
    PACKET_OPEN = 1,
    PACKET_SESSION = 2,
    PACKET_DATA = 3,
    PACKET_ACK = 4,
    PACKET_CLOSE = 5,
    PACKET_ERROR = 6,
    PACKET_PROBE = 7,
    PACKET_NOSESSION = 8
};

// Which side's validity rules apply to a received packet.
enum class PacketReceiver
{
    ServerSession, // a server session's own socket
    ServerClientPort, // the server's client port: checksum only
    Client
};

class TunnelPacket
{
public:
    static constexpr size_t HEADER_SIZE = 12;
    static constexpr size_t MAX_PAYLOAD = 512;
    static constexpr size_t MAX_SIZE = HEADER_SIZE + MAX_PAYLOAD;
    static constexpr size_t CHECKSUM_OFFSET = 8;
    // The first reserved byte carries what our client and server agree on per session:
    // a peer that does not know it sends it zero and ignores it.
    static constexpr size_t FLAGS_OFFSET = 1;
    // In a Connect: the client offers the fast link; in a Session: the server accepts.
    static constexpr uint8_t FLAG_FAST_LINK = 0x01;

    TunnelPacket() { m_buffer.fill(0); }

    // Clears the whole buffer, writes header and payload, sets the checksum.
    void Build(uint8_t type, uint32_t number, std::span<const uint8_t> payload = {},
               uint8_t flags = 0);
    // Copies a received datagram (at most MAX_SIZE bytes) into a cleared buffer.
    void Assign(std::span<const uint8_t> datagram);

    uint8_t Type() const { return m_buffer[0]; }
    uint8_t Flags() const { return m_buffer[FLAGS_OFFSET]; }
    uint32_t Number() const;
    uint32_t StoredChecksum() const;
    size_t Length() const { return m_nLength; }
    size_t PayloadLength() const { return m_nLength > HEADER_SIZE ? m_nLength - HEADER_SIZE : 0; }
    std::span<const uint8_t> Payload() const { return {m_buffer.data() + HEADER_SIZE, PayloadLength()}; }
    std::span<const uint8_t> Bytes() const { return {m_buffer.data(), m_nLength}; }
    // The whole 524-byte buffer, for receiving into; then SetLength.
    std::span<uint8_t> Buffer() { return m_buffer; }
    void SetLength(size_t length);

    // The stored checksum equals the one computed over the packet's length.
    bool Check() const;
    // Length 12..524, the receiver's type and length rule, then the checksum.
    bool IsValidFor(PacketReceiver receiver) const;

private:
    std::array<uint8_t, MAX_SIZE> m_buffer;
    size_t m_nLength = 0;
};

// CRC-32 (reflected 0xEDB88320, initial 0xFFFFFFFF) XORed with 0xDEADBEEF.
uint32_t ComputeChecksum(std::span<const uint8_t> bytes);
// Checks a packet in place: the checksum field is zeroed for the computation and
// restored afterwards, so a packet that passes is unchanged.
bool CheckPacket(std::span<uint8_t> packet);
// Validity of raw datagram bytes for a receiver (length, type, checksum).
bool IsValidPacket(PacketReceiver receiver, std::span<const uint8_t> packet);
