#pragma once
// The link a simulated client asks for: stop-and-wait as every peer speaks it, or the
// fast link (many packets in flight) that our client and server may agree on.
#include <string_view>

class CSettings;

namespace tq_sim
{

enum class LinkMode
{
    StopAndWait,
    FastLink
};

// Whether the client under test can offer the fast link (it reads its FastLink key):
// the goodput figure measures it beside stop-and-wait.
constexpr bool FAST_LINK_AVAILABLE = true;

std::string_view LinkModeName(LinkMode mode);
// Sets the client's FastLink key for the mode. A client that does not know the key
// ignores it; the server accepts the offer by default.
void ApplyLinkMode(LinkMode mode, CSettings& settings);

} // namespace tq_sim
