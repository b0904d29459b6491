#include "platform/SocketLayer.h"

#include "platform/EpollPoller.h"

CSystemSocketLayer::CSystemSocketLayer() = default;
CSystemSocketLayer::~CSystemSocketLayer() = default;

CSystemSocketLayer& CSystemSocketLayer::Instance()
{
    static CSystemSocketLayer layer;
    return layer;
}

int CSystemSocketLayer::SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to)
{
    const int sent = SocketSendTo(s, data, to);
    // A reset kept for the next receive makes no event of its own.
    if (m_pPoller && SocketResetPending(s))
        m_pPoller->MarkReadable(s);
    return sent;
}

void CSystemSocketLayer::Close(SOCKET s)
{
    if (m_pPoller)
        m_pPoller->Remove(s);
    SocketClose(s);
}

bool CSystemSocketLayer::ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder)
{
    const uint32_t parsed = ParseDottedAddress(host);
    if (parsed != 0xFFFFFFFFu)
    {
        addressNetworkOrder = parsed;
        return true;
    }
    uint32_t looked = 0;
    if (!LookupHostAddress(host, looked) || looked == 0xFFFFFFFFu)
    {
        return false;
    }
    addressNetworkOrder = looked;
    return true;
}

bool CSystemSocketLayer::Watch(SOCKET s, uint64_t token, WatchMode mode)
{
    if (!m_pPoller)
        m_pPoller = std::make_unique<CEpollPoller>();
    return m_pPoller->Add(s, token, mode);
}

void CSystemSocketLayer::WaitReady(uint32_t timeoutMs, std::vector<SocketReadiness>& ready)
{
    if (!m_pPoller)
        m_pPoller = std::make_unique<CEpollPoller>();
    m_pPoller->Wait(timeoutMs, ready);
}
