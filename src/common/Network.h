#pragma once
// Address resolution and the texts of socket error codes.
#include <cstdint>
#include <string>

// A dotted address or a host name to a network-order IPv4 address; false when
// nothing usable results (255.255.255.255 is never valid).
bool ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder);

// "SYMBOL: description" of a socket error code, "Unknown error" for codes outside
// the program's table. Never null. The table is chosen per program when it is built.
const char* GetSocketErrorText(int code);
// Number of entries in this program's table (68 in the server, 51 in the client).
int GetSocketErrorTableSize();
