#include "sim/LinkMode.h"

#include "client/Settings.h"

namespace tq_sim
{

std::string_view LinkModeName(LinkMode mode)
{
    return mode == LinkMode::FastLink ? "fast link" : "stop-and-wait";
}

void ApplyLinkMode(LinkMode mode, CSettings& settings)
{
    settings.SetValue("FastLink", mode == LinkMode::FastLink ? "1" : "0");
}

} // namespace tq_sim
