#include "common/Network.h"

#include "platform/Socket.h"

namespace
{
constexpr uint32_t NO_ADDRESS = 0xFFFFFFFF;
}

bool ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder)
{
    addressNetworkOrder = 0;
    const uint32_t dotted = ParseDottedAddress(host);
    if (dotted != NO_ADDRESS)
    {
        addressNetworkOrder = dotted;
        return true;
    }
    uint32_t found = 0;
    if (!LookupHostAddress(host, found))
    {
        return false;
    }
    addressNetworkOrder = found;
    // 255.255.255.255 is never usable, whether written or looked up.
    return found != NO_ADDRESS;
}
