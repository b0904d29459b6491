#pragma once
// One simulated machine: the socket layer that the code under test runs on. UDP
// sockets are bound to ports of the machine's one address (a port is chosen at the
// first send when none was bound) and queue what the network delivers; an ICMP
// "port unreachable" is reported by the next receive as WSAECONNRESET, as the
// platform layer does. TCP sockets connect through the network to a peer of the
// simulation, or are handed over already connected (an accepted application).
// Readiness is that of EmulatedSocketLayer, each change marked as it happens. A loop that waits through WaitReady leaves its request here:
// the run answers it (fills the loop's list) when it next wakes the loop.
#include "support/EmulatedSocketLayer.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tq_sim
{

struct SimWorld;
class SimNetwork;
struct TcpLink;

class SimMachine : public tq_test::EmulatedSocketLayer
{
  public:
    static constexpr size_t UDP_RECEIVE_BUFFER = 212992; // bytes queued per UDP socket
    static constexpr uint16_t FIRST_EPHEMERAL_PORT = 32768;
    static constexpr uint16_t LAST_EPHEMERAL_PORT = 60999;

    SimMachine(SimWorld& world, SimNetwork& network, uint32_t addressNetworkOrder);
    ~SimMachine() override;
    SimMachine(const SimMachine&) = delete;
    SimMachine& operator=(const SimMachine&) = delete;

    // ISocketLayer
    SOCKET CreateUdpSocket() override;
    SOCKET CreateTcpSocket() override;
    bool SetNonBlocking(SOCKET s) override;
    bool SetBlocking(SOCKET s) override;
    bool SetReuseAddress(SOCKET s) override { return Find(s) != nullptr; }
    bool Bind(SOCKET s, const SocketAddress& address) override;
    bool Listen(SOCKET s, int backlog) override;
    SOCKET Accept(SOCKET s, SocketAddress& peer) override;
    int SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to) override;
    int RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                 int& addressLength) override;
    int Send(SOCKET s, std::span<const uint8_t> data) override;
    int Recv(SOCKET s, std::span<uint8_t> buffer) override;
    int Connect(SOCKET s, const SocketAddress& address) override;
    int ConnectProgress(SOCKET s, int& error) override;
    void Close(SOCKET s) override;
    bool Watch(SOCKET s, uint64_t token, WatchMode mode) override;
    void WaitReady(uint32_t timeoutMs, std::vector<SocketReadiness>& ready) override;

    // The simulation's side.
    uint32_t Address() const { return m_address; }
    bool IsOpen(SOCKET s) const override { return Find(s) != nullptr; }
    // A connected TCP socket for a connection that the machine accepted.
    SOCKET AddConnectedLink(const std::shared_ptr<TcpLink>& link);
    // False when no socket is bound to the port (the network may answer with ICMP).
    bool ReceiveDatagram(const SocketAddress& from, uint16_t port, std::span<const uint8_t> data);
    // False when no socket is bound to the port any more.
    bool ReceivePortUnreachable(uint16_t port);
    // The outcome of a connection started by Connect; false if the socket is gone.
    bool ConnectDone(SOCKET s, uint64_t serial, const std::shared_ptr<TcpLink>& link);
    void ConnectFailed(SOCKET s, uint64_t serial, int error);
    // The peer of a link wrote or closed (readable), read after a short write
    // (writable), or reset the connection (both).
    void LinkReadable(SOCKET s);
    void LinkWritable(SOCKET s);
    void LinkReset(SOCKET s);

    // Whether a watched socket would be reported by a wait now.
    bool HasReadiness();
    // What a wait reports now; edges are taken.
    using EmulatedSocketLayer::CollectReadiness;
    // The loop that waits through WaitReady: whether it waits, how long, and its answer.
    bool WaitRequested() const { return m_pWaitList != nullptr; }
    uint32_t RequestedTimeout() const { return m_nWaitTimeout; }
    void AnswerWait();
    void ForgetWait() { m_pWaitList = nullptr; }

    // Sockets made and UDP ports bound from now on carry this tag (the connection whose
    // code is running); the tag of a port is kept after it is closed.
    void SetTag(int tag) { m_nTag = tag; }
    int TagOfPort(uint16_t port) const;
    // Open sockets, for leak checks: "udp:port", "tcp", "listener:port".
    std::vector<std::string> OpenSockets() const;
    uint64_t DroppedDatagrams() const { return m_nDropped; }
    // TCP writes that the peer's full buffer cut short.
    uint64_t ShortWrites() const { return m_nShortWrites; }

  protected:
    bool IsReadable(SOCKET s) const override;
    bool IsWritable(SOCKET s) const override;

  private:
    enum class Kind
    {
        Udp,
        Tcp,
        Listener
    };
    struct Datagram
    {
        SocketAddress from;
        std::vector<uint8_t> data;
    };
    struct Sock
    {
        Kind kind = Kind::Udp;
        uint64_t serial = 0;
        int tag = -1;
        uint16_t port = 0; // host order; 0 while unbound
        // UDP
        std::deque<Datagram> inbox;
        size_t inboxBytes = 0;
        bool resetPending = false;
        // TCP
        std::shared_ptr<TcpLink> link;
        bool connectStarted = false;
        int connectState = 0; // 1 connected, 0 in progress or not started, -1 failed
        int connectError = 0;
    };

    SOCKET NewSocket(Kind kind);
    Sock* Find(SOCKET s);
    const Sock* Find(SOCKET s) const;
    Sock* Find(SOCKET s, uint64_t serial);
    SOCKET UdpAt(uint16_t port) const;
    bool PortTaken(Kind kind, uint16_t port) const;
    uint16_t EphemeralPort();
    void BindPort(Sock& sock, uint16_t port);
    static bool LevelReadable(const Sock& sock);
    static bool Writable(const Sock& sock);
    TcpLink* UsableLink(SOCKET s, int& error);
    void Touch() { m_bTouched = true; }

    SimWorld& m_world;
    SimNetwork& m_network;
    uint32_t m_address;
    std::vector<std::unique_ptr<Sock>> m_sockets; // by descriptor, the lowest free one reused
    uint64_t m_nNextSerial = 1;
    uint16_t m_nNextEphemeral = FIRST_EPHEMERAL_PORT;
    int m_nTag = -1;
    std::map<uint16_t, int> m_portTags;
    bool m_bTouched = false;
    std::vector<SocketReadiness>* m_pWaitList = nullptr;
    uint32_t m_nWaitTimeout = 0;
    uint64_t m_nDropped = 0;
    uint64_t m_nShortWrites = 0;
};

} // namespace tq_sim
