#pragma once
// A tunnel client written for the tests: speaks the packets byte for byte over a
// real UDP socket on loopback, so a test can drive the real server.
#include "platform/Socket.h"
#include "tunnel/SessionId.h"
#include "tunnel/TunnelPacket.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tq_test
{

class TunnelTestClient
{
public:
    explicit TunnelTestClient(uint16_t serverClientPort);
    ~TunnelTestClient();
    TunnelTestClient(const TunnelTestClient&) = delete;
    TunnelTestClient& operator=(const TunnelTestClient&) = delete;

    // Connect (number 2000, `previous` as payload) to the client port; waits for the
    // ACK and the Session packet from the session's socket and ACKs it.
    bool Connect(const SessionId& previous = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Open "host,port" (UTF-16LE) with the next number; waits for its ACK.
    bool Open(const std::string& host, uint16_t port,
              std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Relays: sends `out` in Data packets (stop-and-wait, retransmitting after 3000 ms)
    // while receiving and ACKing the server's Data until `expectIn` bytes arrived.
    bool Exchange(const std::vector<uint8_t>& out, size_t expectIn, std::vector<uint8_t>& in,
                  std::chrono::milliseconds timeout);
    // Sends a numbered packet and waits for its ACK (no retransmission).
    bool SendNumbered(uint8_t type, const std::vector<uint8_t>& payload,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void SendAck(uint32_t number);
    // Sends raw bytes to the session's socket, or to the server's client port.
    void SendToSession(const std::vector<uint8_t>& datagram);
    void SendToClientPort(const std::vector<uint8_t>& datagram);
    // Sends a Probe for `id` to the client port.
    void SendProbe(const SessionId& id);
    // The next valid packet from anywhere within the timeout (its sender in `from`).
    std::optional<TunnelPacket> Receive(std::chrono::milliseconds timeout,
                                        SocketAddress* from = nullptr);
    // Waits for a packet of `type`, ACKing Data on the way (payload appended to m_received).
    std::optional<TunnelPacket> WaitFor(uint8_t type, std::chrono::milliseconds timeout);

    const SessionId& Id() const { return m_sessionId; }
    const SocketAddress& SessionAddress() const { return m_sessionAddress; }
    // The client ID by which the server names this client ("127.0.0.1:port").
    std::string ClientId() const;
    uint32_t NextSendNumber() const { return m_nSendNumber; }
    uint32_t ReceiveNumber() const { return m_nReceiveNumber; }
    std::vector<uint8_t> m_received;

private:
    bool HandleIncoming(const TunnelPacket& packet, bool& acked);

    SOCKET m_socket;
    SocketAddress m_serverPort;
    SocketAddress m_sessionAddress;
    SessionId m_sessionId;
    uint32_t m_nSendNumber = 2000;
    uint32_t m_nReceiveNumber = 0;
};

std::vector<uint8_t> Utf16Le(const std::string& ascii);

} // namespace tq_test
