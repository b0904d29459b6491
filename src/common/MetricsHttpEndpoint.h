#pragma once
// A small HTTP/1.x server for one page, "GET /metrics", driven by the owner's event
// loop: it never blocks. Every socket is non-blocking; a request may be at most
// MAX_REQUEST_BYTES; each connection must be done within DEADLINE_MS of its accept;
// at most MAX_CONNECTIONS are served at once (further ones are closed at once). Any
// other path is answered 404, another method 405; every answer closes the connection.
#include "platform/SocketLayer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class CMetricsHttpEndpoint
{
public:
    static constexpr size_t MAX_CONNECTIONS = 8;
    static constexpr size_t MAX_REQUEST_BYTES = 8192;
    static constexpr uint32_t DEADLINE_MS = 5000;
    // Accepts taken in one step; more wait for the next, which is due at once.
    static constexpr int MAX_ACCEPTS_PER_STEP = 32;
    static constexpr uint32_t NOT_DUE = 0xFFFFFFFFu;
    // Descriptors the endpoint may hold: the listener and its connections.
    static constexpr long DESCRIPTORS = MAX_CONNECTIONS + 1;
    // The loop's watch tokens: the listener's, then one per connection slot.
    static constexpr uint64_t TOKEN_COUNT = MAX_CONNECTIONS + 1;

    // The page's body, made when a request for it is complete.
    using PageMaker = std::function<std::string()>;

    CMetricsHttpEndpoint(ISocketLayer& sockets, uint64_t firstToken, PageMaker page);
    ~CMetricsHttpEndpoint();
    CMetricsHttpEndpoint(const CMetricsHttpEndpoint&) = delete;
    CMetricsHttpEndpoint& operator=(const CMetricsHttpEndpoint&) = delete;

    // Listens on the network-order IPv4 address and port, and watches the listener.
    bool Open(uint32_t addressNetworkOrder, int port);
    bool OwnsToken(uint64_t token) const;
    // Readiness the loop's wait reported for one of the endpoint's tokens.
    void SetReady(uint64_t token, bool readable, bool writable);
    // Accepts, reads, answers and cuts off whatever is due at the tick count `now`.
    void Step(uint32_t now);
    // Milliseconds until the endpoint must be stepped without new readiness.
    uint32_t MsUntilDue(uint32_t now) const;
    int ConnectionCount() const;
    // Connections closed at once because all slots were taken, and cut off at their
    // deadline or for an oversized request.
    uint64_t RefusedCount() const { return m_nRefused; }
    uint64_t CutOffCount() const { return m_nCutOff; }

private:
    struct Connection
    {
        SOCKET socket = INVALID_SOCKET;
        uint32_t deadline = 0;
        std::string request;
        std::string reply; // the whole answer once the request is complete
        size_t sent = 0;
        bool readable = false;
        bool writable = false;
    };

    void Accept(uint32_t now);
    void Serve(Connection& connection);
    bool ReadRequest(Connection& connection);
    std::string Answer(const std::string& request) const;
    void Close(Connection& connection);

    ISocketLayer& m_sockets;
    uint64_t m_nFirstToken;
    PageMaker m_page;
    SOCKET m_listener = INVALID_SOCKET;
    bool m_bAcceptPending = false;
    std::array<Connection, MAX_CONNECTIONS> m_connections;
    uint64_t m_nRefused = 0;
    uint64_t m_nCutOff = 0;
};
