#include "tunnel/ProxyMisc.h"
#include "tunnel/SessionId.h"

#include "common/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

TEST(ProxyMiscTest, PacketTypeNames)
{
    const char* expected[] = {"Connect", "Open", "Session", "Data", "ACK", "Close", "Error"};
    for (uint8_t type = 0; type < 7; ++type)
        EXPECT_STREQ(GetPacketTypeName(type), expected[type]);
    for (int type : {7, 8, 9, 100, 255})
        EXPECT_STREQ(GetPacketTypeName(static_cast<uint8_t>(type)), "WTF!");
}

TEST(ProxyMiscTest, FormatAddressShowsBytesInNetworkOrderAndHostOrderPort)
{
    EXPECT_EQ(FormatAddress(MakeSocketAddress(AddressFromBytes(10, 0, 0, 7), 1027)),
              "10.0.0.7:1027");
    EXPECT_EQ(FormatAddress(MakeSocketAddress(AddressFromBytes(255, 254, 1, 0), 65535)),
              "255.254.1.0:65535");
}

TEST(ProxyMiscTest, Utf16PayloadsOfBothSidesDecodeAlike)
{
    const std::u16string text = u"Host unreachable \u00e9\u4e2d";
    const auto server = EncodeUtf16Payload(text, true);
    const auto client = EncodeUtf16Payload(text, false);
    EXPECT_EQ(client.size(), 2 * text.size());
    EXPECT_EQ(server.size(), client.size() + 2);
    EXPECT_EQ(client[0], 'H');
    EXPECT_EQ(client[1], 0);
    EXPECT_EQ(DecodeUtf16Payload(server), text);
    EXPECT_EQ(DecodeUtf16Payload(client), text);

    // A zero character ends the text; a lone last byte is no character.
    const std::vector<uint8_t> zeroInside = {'a', 0, 0, 0, 'b', 0};
    EXPECT_EQ(DecodeUtf16Payload(zeroInside), u"a");
    const std::vector<uint8_t> odd = {'a', 0, 'b'};
    EXPECT_EQ(DecodeUtf16Payload(odd), u"a");
    EXPECT_EQ(DecodeUtf16Payload({}), u"");
}

TEST(ProxyMiscTest, ShortOpenAfterLongerPacketDecodesOnlyItsOwnPayload)
{
    TunnelPacket longer;
    longer.Build(PACKET_OPEN, 2001,
                 EncodeUtf16Payload(u"a-much-longer-host-name.example.com,8080", false));
    TunnelPacket shorter;
    shorter.Build(PACKET_OPEN, 2002, EncodeUtf16Payload(u"10.0.0.1,80", false));

    // Receive the short datagram into the buffer that still holds the long one.
    TunnelPacket received;
    received.Assign(longer.Bytes());
    std::copy(shorter.Bytes().begin(), shorter.Bytes().end(), received.Buffer().begin());
    received.SetLength(shorter.Length());
    EXPECT_TRUE(received.IsValidFor(PacketReceiver::ServerSession));
    EXPECT_EQ(DecodeUtf16Payload(received.Payload()), u"10.0.0.1,80");
}

TEST(ProxyMiscTest, DumpPacketWritesThreeDebugLines)
{
    tq_test::TempDir dir;
    CLog& log = *CLog::GetInstance();
    log.SetFilename(dir.File("dump.log"));
    log.SetLogLevel(CLog::LEVEL_DEBUG);

    TunnelPacket ack;
    ack.Build(PACKET_ACK, 1000);
    DumpPacket(log, ack.Bytes());
    TunnelPacket data;
    data.Build(PACKET_DATA, 0xFFFFFFFF);
    DumpPacket(log, data.Bytes());
    const std::vector<uint8_t> truncated = {PACKET_CLOSE, 0, 0, 0, 0x05};
    DumpPacket(log, truncated);
    CLog::DestroyInstance();

    const std::string text = tq_test::ReadFile(dir.File("dump.log"));
    for (const char* line : {" Type:     ACK\r\n", " PacketNo: 1000\r\n", " CRC:      385c9849\r\n",
                             " Type:     Data\r\n", " PacketNo: -1\r\n", " Type:     Close\r\n",
                             " PacketNo: 5\r\n", " CRC:      00000000\r\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}

TEST(SessionIdTest, LayoutRoundTripAndText)
{
    const DateTime time{2024, 3, 2, 5, 14, 7, 9, 42};
    const SessionId id = SessionId::FromDateTime(time);
    const std::array<uint8_t, 16> expected = {0xE8, 0x07, 3, 0, 2, 0, 5,  0,
                                              14,   0,    7, 0, 9, 0, 42, 0};
    EXPECT_EQ(id.bytes, expected);
    EXPECT_EQ(id.ToDateTime(), time);
    EXPECT_EQ(id.ToText(), "2024-03-05 14:07:09.042");
    EXPECT_EQ(SessionId::FromBytes(expected), id);
    EXPECT_FALSE(id.IsZero());
    EXPECT_TRUE(SessionId{}.IsZero());

    SessionId other = id;
    other.bytes[15] = 1;
    EXPECT_FALSE(other == id);
}

TEST(SessionIdTest, NextMillisecondStaysAValidDateTime)
{
    struct Case
    {
        DateTime from;
        DateTime to;
    };
    const Case cases[] = {
        {{2024, 3, 2, 5, 14, 7, 9, 42}, {2024, 3, 2, 5, 14, 7, 9, 43}},
        {{2024, 3, 2, 5, 14, 7, 9, 999}, {2024, 3, 2, 5, 14, 7, 10, 0}},
        {{2024, 3, 2, 5, 14, 59, 59, 999}, {2024, 3, 2, 5, 15, 0, 0, 0}},
        // Into a leap day and out of it, with the day of the week moving along.
        {{2024, 2, 3, 28, 23, 59, 59, 999}, {2024, 2, 4, 29, 0, 0, 0, 0}},
        {{2024, 2, 4, 29, 23, 59, 59, 999}, {2024, 3, 5, 1, 0, 0, 0, 0}},
        {{2023, 2, 2, 28, 23, 59, 59, 999}, {2023, 3, 3, 1, 0, 0, 0, 0}},
        {{2024, 4, 2, 30, 23, 59, 59, 999}, {2024, 5, 3, 1, 0, 0, 0, 0}},
        {{2023, 12, 0, 31, 23, 59, 59, 999}, {2024, 1, 1, 1, 0, 0, 0, 0}},
    };
    for (const Case& c : cases)
    {
        const SessionId next = SessionId::FromDateTime(c.from).NextMillisecond();
        EXPECT_EQ(next, SessionId::FromDateTime(c.to)) << next.ToText();
        EXPECT_EQ(next.ToDateTime().dayOfWeek, c.to.dayOfWeek) << next.ToText();
    }
}
