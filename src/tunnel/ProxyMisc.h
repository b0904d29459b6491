#pragma once
// Packet names, the packet dump for the log, the address text and the UTF-16LE
// payloads of Open and Error packets.
#include "platform/Socket.h"
#include "tunnel/TunnelPacket.h"

#include <span>
#include <string>
#include <vector>

class CLog;

// "Connect", "Open", "Session", "Data", "ACK", "Close", "Error", else "WTF!".
const char* GetPacketTypeName(uint8_t type);
// Three Debug lines: "Type:     %s", "PacketNo: %d", "CRC:      %08x".
void DumpPacket(CLog& log, std::span<const uint8_t> packet);
// "%d.%d.%d.%d:%d": address bytes in network order, port in host order.
std::string FormatAddress(const SocketAddress& address);
// UTF-16LE bytes of a text, with or without a terminating zero character.
std::vector<uint8_t> EncodeUtf16Payload(std::u16string_view text, bool withTerminatingZero);
// The text of a UTF-16LE payload up to its first zero character or its end.
std::u16string DecodeUtf16Payload(std::span<const uint8_t> payload);
