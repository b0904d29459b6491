#include "common/MetricsHttpEndpoint.h"

#include "common/MetricsText.h"

#include <algorithm>

namespace
{
constexpr int LISTEN_BACKLOG = 16;

bool TickReached(uint32_t now, uint32_t deadline)
{
    return static_cast<int32_t>(now - deadline) >= 0;
}

std::string Response(const char* status, const char* contentType, const std::string& body)
{
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

// The end of the request's head: an empty line, with or without carriage returns.
bool HeadComplete(const std::string& request)
{
    return request.find("\r\n\r\n") != std::string::npos || request.find("\n\n") != std::string::npos;
}
} // namespace

CMetricsHttpEndpoint::CMetricsHttpEndpoint(ISocketLayer& sockets, uint64_t firstToken, PageMaker page)
    : m_sockets(sockets), m_nFirstToken(firstToken), m_page(std::move(page))
{
}

CMetricsHttpEndpoint::~CMetricsHttpEndpoint()
{
    for (Connection& connection : m_connections)
        Close(connection);
    if (m_listener != INVALID_SOCKET)
        m_sockets.Close(m_listener);
}

bool CMetricsHttpEndpoint::Open(uint32_t addressNetworkOrder, int port)
{
    if (port <= 0 || port > 0xFFFF || m_listener != INVALID_SOCKET)
        return false;
    const SOCKET s = m_sockets.CreateTcpSocket();
    if (s == INVALID_SOCKET)
        return false;
    const SocketAddress address = MakeSocketAddress(addressNetworkOrder, static_cast<uint16_t>(port));
    if (!m_sockets.SetNonBlocking(s) || !m_sockets.SetReuseAddress(s) || !m_sockets.Bind(s, address) ||
        !m_sockets.Listen(s, LISTEN_BACKLOG) || !m_sockets.Watch(s, m_nFirstToken, WatchMode::Edge))
    {
        m_sockets.Close(s);
        return false;
    }
    m_listener = s;
    return true;
}

bool CMetricsHttpEndpoint::OwnsToken(uint64_t token) const
{
    return token >= m_nFirstToken && token < m_nFirstToken + TOKEN_COUNT;
}

void CMetricsHttpEndpoint::SetReady(uint64_t token, bool readable, bool writable)
{
    if (token == m_nFirstToken)
    {
        m_bAcceptPending = true;
        return;
    }
    Connection& connection = m_connections[token - m_nFirstToken - 1];
    connection.readable = connection.readable || readable;
    connection.writable = connection.writable || writable;
}

void CMetricsHttpEndpoint::Step(uint32_t now)
{
    if (m_bAcceptPending)
        Accept(now);
    for (Connection& connection : m_connections)
    {
        if (connection.socket == INVALID_SOCKET)
            continue;
        Serve(connection);
        if (connection.socket != INVALID_SOCKET && TickReached(now, connection.deadline))
        {
            ++m_nCutOff;
            Close(connection);
        }
    }
}

// Takes what waits in the listener, up to a bound per step; one that finds every slot
// taken is closed at once, so that nobody can fill the backlog and hold it.
void CMetricsHttpEndpoint::Accept(uint32_t now)
{
    for (int i = 0; i < MAX_ACCEPTS_PER_STEP; ++i)
    {
        SocketAddress peer;
        const SOCKET s = m_sockets.Accept(m_listener, peer);
        if (s == INVALID_SOCKET)
        {
            m_bAcceptPending = false; // nothing waits (or a passing error)
            return;
        }
        const auto free = std::find_if(m_connections.begin(), m_connections.end(),
                                       [](const Connection& c) { return c.socket == INVALID_SOCKET; });
        const uint64_t token = m_nFirstToken + 1 + static_cast<uint64_t>(free - m_connections.begin());
        if (free == m_connections.end() || !m_sockets.SetNonBlocking(s) ||
            !m_sockets.Watch(s, token, WatchMode::Edge))
        {
            ++m_nRefused;
            m_sockets.Close(s);
            continue;
        }
        *free = Connection{};
        free->socket = s;
        free->deadline = now + DEADLINE_MS;
        free->readable = true; // the request may be there already
    }
}

void CMetricsHttpEndpoint::Serve(Connection& connection)
{
    if (connection.reply.empty())
    {
        if (!ReadRequest(connection))
            return;
        connection.writable = true; // a fresh connection takes the first bytes at once
    }
    while (connection.writable && connection.sent < connection.reply.size())
    {
        const std::span<const uint8_t> rest(
            reinterpret_cast<const uint8_t*>(connection.reply.data()) + connection.sent,
            connection.reply.size() - connection.sent);
        m_sockets.SetLastError(0);
        const int sent = m_sockets.Send(connection.socket, rest);
        if (sent > 0)
            connection.sent += static_cast<size_t>(sent);
        else if (m_sockets.GetLastError() == WSAEWOULDBLOCK)
            connection.writable = false;
        else
            break; // the peer has gone
    }
    if (connection.writable || connection.sent == connection.reply.size())
        Close(connection);
}

// Reads what arrived; true once the request's head is complete and the reply made.
// A peer may close its side after the request: it still gets the answer.
bool CMetricsHttpEndpoint::ReadRequest(Connection& connection)
{
    std::array<uint8_t, 2048> buffer;
    bool ended = false;
    while (connection.readable && !ended)
    {
        m_sockets.SetLastError(0);
        const int received = m_sockets.Recv(connection.socket, buffer);
        if (received > 0)
            connection.request.append(reinterpret_cast<const char*>(buffer.data()),
                                      static_cast<size_t>(received));
        else if (received < 0 && m_sockets.GetLastError() == WSAEWOULDBLOCK)
            connection.readable = false;
        else
            ended = true;
        if (connection.request.size() > MAX_REQUEST_BYTES)
        {
            ++m_nCutOff;
            connection.reply = Response("431 Request Header Fields Too Large", "text/plain",
                                        "Request too large.\n");
            return true;
        }
    }
    if (HeadComplete(connection.request))
    {
        connection.reply = Answer(connection.request);
        return true;
    }
    if (ended)
        Close(connection); // closed or failed before the request was complete
    return false;
}

std::string CMetricsHttpEndpoint::Answer(const std::string& request) const
{
    const size_t methodEnd = request.find(' ');
    const size_t targetEnd = request.find_first_of(" \r\n", methodEnd + 1);
    if (methodEnd == std::string::npos || targetEnd == std::string::npos)
        return Response("400 Bad Request", "text/plain", "Bad request.\n");
    const std::string method = request.substr(0, methodEnd);
    std::string target = request.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    target = target.substr(0, target.find('?'));
    if (target != "/metrics")
        return Response("404 Not Found", "text/plain", "Not found: the metrics are at /metrics.\n");
    if (method != "GET")
        return Response("405 Method Not Allowed", "text/plain", "Only GET.\n");
    return Response("200 OK", CMetricsText::CONTENT_TYPE, m_page());
}

void CMetricsHttpEndpoint::Close(Connection& connection)
{
    if (connection.socket != INVALID_SOCKET)
        m_sockets.Close(connection.socket);
    connection = Connection{};
}

uint32_t CMetricsHttpEndpoint::MsUntilDue(uint32_t now) const
{
    if (m_bAcceptPending)
        return 0;
    uint32_t due = NOT_DUE;
    for (const Connection& connection : m_connections)
    {
        if (connection.socket == INVALID_SOCKET)
            continue;
        if (connection.readable || TickReached(now, connection.deadline))
            return 0;
        due = std::min(due, connection.deadline - now);
    }
    return due;
}

int CMetricsHttpEndpoint::ConnectionCount() const
{
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(),
                                          [](const Connection& c) { return c.socket != INVALID_SOCKET; }));
}
