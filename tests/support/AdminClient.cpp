#include "support/AdminClient.h"

#include "support/TestSupport.h"

#include <span>

namespace tq_test
{

AdminClient::AdminClient(uint16_t port) : m_socket(SocketCreateTcp())
{
    if (SocketConnect(m_socket, MakeLoopbackAddress(port)) == 0)
    {
        m_bConnected = true;
        SocketSetBlocking(m_socket, false);
    }
}

AdminClient::~AdminClient() { SocketClose(m_socket); }

void AdminClient::Send(std::string_view bytes)
{
    auto data = std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    WaitUntil(
        [&]
        {
            const int sent = SocketSend(m_socket, data);
            if (sent > 0)
                data = data.subspan(static_cast<size_t>(sent));
            return data.empty() || (sent < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
        },
        std::chrono::seconds(5));
}

std::string AdminClient::ReadReply(std::chrono::milliseconds timeout)
{
    size_t end = std::string::npos;
    WaitUntil(
        [&]
        {
            Pump();
            end = m_buffer.find('}');
            return end != std::string::npos || m_bPeerClosed;
        },
        timeout);
    if (end == std::string::npos)
        return {};
    std::string reply = m_buffer.substr(0, end + 1);
    m_buffer.erase(0, end + 1);
    return reply;
}

std::string AdminClient::Command(const std::string& command)
{
    Send(command + "\r");
    return ReadReply();
}

std::optional<std::string> AdminClient::ReadUntilZero(std::chrono::milliseconds timeout)
{
    size_t end = std::string::npos;
    WaitUntil(
        [&]
        {
            Pump();
            end = m_buffer.find('\0');
            return end != std::string::npos || m_bPeerClosed;
        },
        timeout);
    if (end == std::string::npos)
        return std::nullopt;
    std::string text = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 1);
    return text;
}

size_t AdminClient::ReadAtLeast(size_t count, std::chrono::milliseconds timeout)
{
    WaitUntil(
        [&]
        {
            Pump();
            return m_buffer.size() >= count || m_bPeerClosed;
        },
        timeout);
    return m_buffer.size();
}

bool AdminClient::WaitClosed(std::chrono::milliseconds timeout)
{
    return WaitUntil(
        [&]
        {
            Pump();
            return m_bPeerClosed;
        },
        timeout);
}

void AdminClient::Pump()
{
    uint8_t block[65536];
    for (;;)
    {
        const int n = SocketRecv(m_socket, block);
        if (n > 0)
        {
            m_buffer.append(reinterpret_cast<const char*>(block), static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
            m_bPeerClosed = true;
        return;
    }
}

} // namespace tq_test
