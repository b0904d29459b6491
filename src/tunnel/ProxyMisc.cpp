#include "tunnel/ProxyMisc.h"

#include "common/Log.h"
#include "tunnel/TextFormat.h"

#include <algorithm>
#include <array>

using tunnel_detail::FormatText;

const char* GetPacketTypeName(uint8_t type)
{
    static constexpr const char* names[] = {"Connect", "Open",  "Session", "Data",
                                            "ACK",     "Close", "Error"};
    return type < std::size(names) ? names[type] : "WTF!";
}

void DumpPacket(CLog& log, std::span<const uint8_t> packet)
{
    // A datagram shorter than the header is shown with zeros for the missing bytes.
    std::array<uint8_t, TunnelPacket::HEADER_SIZE> header{};
    std::copy_n(packet.begin(), std::min(packet.size(), header.size()), header.begin());
    TunnelPacket view;
    view.Assign(header);
    log.Print(CLog::LEVEL_DEBUG, "Type:     %s", GetPacketTypeName(view.Type()));
    log.Print(CLog::LEVEL_DEBUG, "PacketNo: %d", static_cast<int>(view.Number()));
    log.Print(CLog::LEVEL_DEBUG, "CRC:      %08x", view.StoredChecksum());
}

std::string FormatAddress(const SocketAddress& address)
{
    uint8_t bytes[4];
    AddressBytes(address.address, bytes);
    return FormatText("%d.%d.%d.%d:%d", bytes[0], bytes[1], bytes[2], bytes[3],
                      static_cast<int>(NetToHost16(address.port)));
}

std::vector<uint8_t> EncodeUtf16Payload(std::u16string_view text, bool withTerminatingZero)
{
    std::vector<uint8_t> payload;
    payload.reserve(2 * (text.size() + 1));
    auto append = [&payload](char16_t c)
    {
        payload.push_back(static_cast<uint8_t>(c & 0xFF));
        payload.push_back(static_cast<uint8_t>(c >> 8));
    };
    for (char16_t c : text)
        append(c);
    if (withTerminatingZero)
        append(u'\0');
    return payload;
}

std::u16string DecodeUtf16Payload(std::span<const uint8_t> payload)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < payload.size(); i += 2)
    {
        const auto c = static_cast<char16_t>(payload[i] | payload[i + 1] << 8);
        if (c == u'\0')
            break;
        text.push_back(c);
    }
    return text;
}
