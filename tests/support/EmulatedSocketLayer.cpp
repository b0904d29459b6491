#include "support/EmulatedSocketLayer.h"

namespace tq_test
{

bool EmulatedSocketLayer::ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder)
{
    const uint32_t dotted = ParseDottedAddress(host);
    if (dotted != 0xFFFFFFFFu)
    {
        addressNetworkOrder = dotted;
        return true;
    }
    const auto it = m_hostNames.find(host);
    if (it == m_hostNames.end())
        return false;
    addressNetworkOrder = it->second;
    return true;
}

bool EmulatedSocketLayer::Watch(SOCKET s, uint64_t token, WatchMode mode)
{
    if (!IsOpen(s))
        return false;
    WatchState& watch = m_watches[s];
    watch.token = token;
    watch.mode = mode;
    if (mode == WatchMode::Edge)
    {
        watch.readEdge = IsReadable(s);
        watch.writeEdge = IsWritable(s);
    }
    return true;
}

// Marks outside edge mode are dropped: watching in edge mode marks anew.
void EmulatedSocketLayer::MarkEdge(SOCKET s, bool readable, bool writable)
{
    const auto it = m_watches.find(s);
    if (it == m_watches.end() || it->second.mode != WatchMode::Edge)
        return;
    it->second.readEdge = it->second.readEdge || readable;
    it->second.writeEdge = it->second.writeEdge || writable;
}

bool EmulatedSocketLayer::HasReadiness() const
{
    for (const auto& [s, watch] : m_watches)
    {
        if ((watch.mode == WatchMode::Level && IsReadable(s)) ||
            (watch.mode == WatchMode::Edge && (watch.readEdge || watch.writeEdge)))
            return true;
    }
    return false;
}

void EmulatedSocketLayer::CollectReadiness(std::vector<SocketReadiness>& ready)
{
    ready.clear();
    for (auto& [s, watch] : m_watches)
    {
        SocketReadiness event{watch.token, false, false};
        if (watch.mode == WatchMode::Level)
            event.readable = IsReadable(s);
        else if (watch.mode == WatchMode::Edge)
        {
            event.readable = watch.readEdge;
            event.writable = watch.writeEdge;
            watch.readEdge = false;
            watch.writeEdge = false;
        }
        if (event.readable || event.writable)
            ready.push_back(event);
    }
}

} // namespace tq_test
