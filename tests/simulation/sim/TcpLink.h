#pragma once
// One TCP connection between a socket of a simulated machine (the side of the code
// under test) and a peer of the simulation (the application or the host). Each
// direction is a bounded byte pipe, like a pair of socket buffers: a writer is held up
// when it is full. The link itself only holds bytes; the machine and the peer tell
// each other when bytes or room appear.
#include "platform/Socket.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tq_sim
{

class SimMachine;
class StreamPeer;

class TcpPipe
{
  public:
    explicit TcpPipe(size_t capacity) : m_nCapacity(capacity) {}
    size_t Size() const { return m_data.size() - m_nHead; }
    size_t Room() const { return m_nCapacity - Size(); }
    // Takes as much as fits; returns the count.
    size_t Write(std::span<const uint8_t> bytes);
    // Gives up to bytes.size(); returns the count.
    size_t Read(std::span<uint8_t> bytes);
    // The bytes held, without taking them.
    std::span<const uint8_t> Held() const { return {m_data.data() + m_nHead, Size()}; }
    // The writer has closed: after the bytes held, the reader finds the end.
    bool m_bEnd = false;

  private:
    std::vector<uint8_t> m_data;
    size_t m_nHead = 0;
    size_t m_nCapacity;
};

struct TcpLink
{
    TcpLink(size_t toProductCapacity, size_t toPeerCapacity)
        : toProduct(toProductCapacity), toPeer(toPeerCapacity)
    {
    }
    TcpPipe toProduct; // written by the peer, read by the code under test
    TcpPipe toPeer;    // written by the code under test, read by the peer

    // The product's side while its socket is open.
    SimMachine* machine = nullptr;
    SOCKET socket = INVALID_SOCKET;
    bool productClosed = false;
    // A write of the product was cut short: the machine reports writability once the
    // peer has read.
    bool productWriteBlocked = false;

    StreamPeer* peer = nullptr;
    bool peerClosed = false;
    // The peer reset the connection: every later operation of the product fails.
    bool reset = false;
};

} // namespace tq_sim
