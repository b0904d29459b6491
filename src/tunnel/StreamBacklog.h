#pragma once
// Bytes that a non-blocking TCP socket did not take yet. They are written first, in
// order, before anything newer; the backlog is bounded so that a slow reader makes
// the tunnel stop acknowledging data (the peer then retransmits) instead of using
// unbounded memory.
#include "platform/SocketLayer.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class CStreamBacklog
{
public:
    static constexpr size_t MAX_BYTES = 64 * 1024;

    bool Empty() const { return Size() == 0; }
    size_t Size() const { return m_data.size() - m_nOffset; }
    // Whether `count` more bytes fit within the bound.
    bool CanAccept(size_t count) const { return Size() + count <= MAX_BYTES; }
    // Writes the held bytes, then `data`; keeps what the socket does not take.
    // False on a socket error other than would-block (`error` holds its code); the
    // bytes stay held.
    bool Write(ISocketLayer& sockets, SOCKET s, std::span<const uint8_t> data, int& error);
    // Writes as much of the held bytes as the socket takes.
    bool Flush(ISocketLayer& sockets, SOCKET s, int& error) { return Write(sockets, s, {}, error); }
    void Clear();

private:
    // Drops the written bytes from the front once they are more than half the block.
    void Compact();

    std::vector<uint8_t> m_data;
    size_t m_nOffset = 0;
};
