#include "tunnel/StreamBacklog.h"

#include <algorithm>
#include <cstddef>

namespace
{

// Sends from `data` until the socket has taken all of it or would block. `sent`
// receives the bytes taken. False on any other socket error, with its code.
bool SendWhilePossible(ISocketLayer& sockets, SOCKET s, std::span<const uint8_t> data, size_t& sent,
                       int& error)
{
    sent = 0;
    while (sent < data.size())
    {
        const int result = sockets.Send(s, data.subspan(sent));
        if (result == SOCKET_ERROR)
        {
            const int code = sockets.GetLastError();
            if (code == WSAEWOULDBLOCK)
                return true;
            error = code;
            return false;
        }
        if (result <= 0)
            return true; // nothing taken: try again on the next write
        sent = std::min(data.size(), sent + static_cast<size_t>(result));
    }
    return true;
}

} // namespace

bool CStreamBacklog::Write(ISocketLayer& sockets, SOCKET s, std::span<const uint8_t> data,
                           int& error)
{
    if (!Empty())
    {
        size_t sent = 0;
        const bool ok =
            SendWhilePossible(sockets, s, {m_data.data() + m_nOffset, Size()}, sent, error);
        m_nOffset += sent;
        if (!ok || !Empty())
        {
            // Older bytes are still waiting: the new ones go behind them.
            m_data.insert(m_data.end(), data.begin(), data.end());
            Compact();
            return ok;
        }
        Clear();
    }
    size_t sent = 0;
    const bool ok = SendWhilePossible(sockets, s, data, sent, error);
    m_data.insert(m_data.end(), data.begin() + static_cast<std::ptrdiff_t>(sent), data.end());
    return ok;
}

void CStreamBacklog::Clear()
{
    m_data.clear();
    m_nOffset = 0;
}

void CStreamBacklog::Compact()
{
    if (m_nOffset > m_data.size() / 2)
    {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_nOffset));
        m_nOffset = 0;
    }
}
