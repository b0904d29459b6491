#include "tunnel/TunnelPacket.h"

#include <gtest/gtest.h>

#include <map>
#include <string_view>
#include <vector>

namespace
{

std::vector<uint8_t> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

std::vector<uint8_t> BuildBytes(uint8_t type, uint32_t number, std::span<const uint8_t> payload)
{
    TunnelPacket packet;
    packet.Build(type, number, payload);
    return {packet.Bytes().begin(), packet.Bytes().end()};
}

} // namespace

TEST(TunnelPacketTest, ChecksumVectorsAndAckBytes)
{
    EXPECT_EQ(ComputeChecksum({}), 0x21524110u);
    EXPECT_EQ(ComputeChecksum(Bytes("abc")), 0x147600D2u);
    // The standard CRC-32 of "123456789" (0xCBF43926) XORed with 0x21524110.
    EXPECT_EQ(ComputeChecksum(Bytes("123456789")), 0xEAA67836u);

    const std::vector<uint8_t> ack = {0x04, 0x00, 0x00, 0x00, 0xE8, 0x03,
                                      0x00, 0x00, 0x49, 0x98, 0x5C, 0x38};
    EXPECT_EQ(BuildBytes(PACKET_ACK, 1000, {}), ack);

    TunnelPacket received;
    received.Assign(ack);
    EXPECT_EQ(received.Type(), PACKET_ACK);
    EXPECT_EQ(received.Number(), 1000u);
    EXPECT_EQ(received.StoredChecksum(), 0x385C9849u);
    EXPECT_TRUE(received.Check());
    EXPECT_TRUE(received.IsValidFor(PacketReceiver::Client));
}

TEST(TunnelPacketTest, BuildLaysOutHeaderPayloadAndClearsStaleBytes)
{
    TunnelPacket packet;
    const std::vector<uint8_t> big(TunnelPacket::MAX_PAYLOAD, 0xAB);
    packet.Build(PACKET_DATA, 0x01020304, big);
    EXPECT_EQ(packet.Length(), TunnelPacket::MAX_SIZE);

    const auto payload = Bytes("hi");
    packet.Build(PACKET_ERROR, 0xA1B2C3D4, payload);
    ASSERT_EQ(packet.Length(), 14u);
    const auto bytes = packet.Bytes();
    EXPECT_EQ(bytes[0], PACKET_ERROR);
    EXPECT_EQ(bytes[1] | bytes[2] | bytes[3], 0);
    EXPECT_EQ(bytes[4], 0xD4);
    EXPECT_EQ(bytes[7], 0xA1);
    EXPECT_EQ(packet.Number(), 0xA1B2C3D4u);
    EXPECT_EQ(std::vector<uint8_t>(packet.Payload().begin(), packet.Payload().end()), payload);
    // Nothing of the earlier, longer packet is left behind the new one.
    const auto buffer = packet.Buffer();
    for (size_t i = packet.Length(); i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0) << "offset " << i;
}

TEST(TunnelPacketTest, AnyChangedByteFailsTheCheckAndAPassingCheckChangesNothing)
{
    const auto original = BuildBytes(PACKET_DATA, 2002, Bytes("payload bytes"));
    auto copy = original;
    EXPECT_TRUE(CheckPacket(copy));
    EXPECT_EQ(copy, original);

    std::vector<size_t> offsets;
    for (size_t i = 0; i < TunnelPacket::HEADER_SIZE; ++i)
        offsets.push_back(i);
    offsets.push_back(TunnelPacket::HEADER_SIZE + 5);
    offsets.push_back(original.size() - 1);
    for (size_t offset : offsets)
    {
        for (uint8_t mask : {0x01, 0x80})
        {
            auto changed = original;
            changed[offset] ^= mask;
            EXPECT_FALSE(CheckPacket(changed)) << "offset " << offset;
            TunnelPacket packet;
            packet.Assign(changed);
            EXPECT_FALSE(packet.Check()) << "offset " << offset;
            EXPECT_FALSE(packet.IsValidFor(PacketReceiver::ServerClientPort));
        }
    }
}

TEST(TunnelPacketTest, ValidityTableForEveryReceiver)
{
    // Required total length per accepted type: 0 means any length from 12 to 524.
    const std::map<uint8_t, size_t> session = {{0, 28}, {1, 0}, {2, 28}, {3, 0},
                                               {4, 12}, {5, 12}, {6, 0}};
    const std::map<uint8_t, size_t> client = {{1, 0}, {2, 28}, {3, 0}, {4, 12},
                                              {5, 12}, {6, 0}, {8, 0}};
    auto accepted = [&](PacketReceiver receiver, uint8_t type, size_t length) {
        if (receiver == PacketReceiver::ServerClientPort)
            return true;
        const auto& rules = receiver == PacketReceiver::ServerSession ? session : client;
        const auto rule = rules.find(type);
        return rule != rules.end() && (rule->second == 0 || rule->second == length);
    };

    for (int type = 0; type < 256; ++type)
    {
        for (size_t length : {11, 12, 16, 28, 524, 525})
        {
            for (bool goodChecksum : {true, false})
            {
                std::vector<uint8_t> bytes(length, 0x5A);
                bytes[0] = static_cast<uint8_t>(type);
                if (length >= TunnelPacket::HEADER_SIZE)
                {
                    std::fill_n(bytes.begin() + 8, 4, 0);
                    uint32_t crc = ComputeChecksum(bytes) ^ (goodChecksum ? 0u : 0x100u);
                    for (int i = 0; i < 4; ++i)
                        bytes[8 + i] = static_cast<uint8_t>(crc >> (8 * i));
                }
                for (auto receiver : {PacketReceiver::ServerSession,
                                      PacketReceiver::ServerClientPort, PacketReceiver::Client})
                {
                    const bool expected = length >= 12 && length <= 524 && goodChecksum &&
                                          accepted(receiver, static_cast<uint8_t>(type), length);
                    ASSERT_EQ(IsValidPacket(receiver, bytes), expected)
                        << "type " << type << " length " << length << " receiver "
                        << static_cast<int>(receiver) << " good " << goodChecksum;
                    if (length <= TunnelPacket::MAX_SIZE)
                    {
                        TunnelPacket packet;
                        packet.Assign(bytes);
                        ASSERT_EQ(packet.IsValidFor(receiver), expected);
                    }
                }
            }
        }
    }
}

TEST(TunnelPacketTest, SessionPacketIsValidOnlyWithItsSixteenByteId)
{
    const std::vector<uint8_t> id(16, 7);
    TunnelPacket packet;
    packet.Build(PACKET_SESSION, 1000, std::span(id).first(4));
    EXPECT_EQ(packet.Length(), 16u);
    EXPECT_FALSE(packet.IsValidFor(PacketReceiver::ServerSession));
    EXPECT_FALSE(packet.IsValidFor(PacketReceiver::Client));
    packet.Build(PACKET_SESSION, 1000, id);
    EXPECT_TRUE(packet.IsValidFor(PacketReceiver::ServerSession));
    EXPECT_TRUE(packet.IsValidFor(PacketReceiver::Client));
}
