#pragma once
// A minimal admin client for the tests: raw bytes out, framed replies or the VIEWLOG
// stream in, over a TCP connection to a real server's admin port on loopback.
#include "platform/Socket.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tq_test
{

class AdminClient
{
public:
    explicit AdminClient(uint16_t port);
    ~AdminClient();
    AdminClient(const AdminClient&) = delete;
    AdminClient& operator=(const AdminClient&) = delete;

    bool Connected() const { return m_bConnected; }
    SOCKET Socket() const { return m_socket; }

    void Send(std::string_view bytes);
    // The next reply with its braces, or "" if none is complete within the timeout.
    std::string ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Sends the command with its CR and reads the reply.
    std::string Command(const std::string& command);
    // The VIEWLOG stream up to its zero byte; nullopt if the zero byte did not come.
    std::optional<std::string> ReadUntilZero(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads until at least `count` bytes are held.
    size_t ReadAtLeast(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    void Pump();

    SOCKET m_socket;
    bool m_bConnected = false;
    bool m_bPeerClosed = false;
    std::string m_buffer;
};

} // namespace tq_test
