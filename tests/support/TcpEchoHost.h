#pragma once
// A target host for the tests: listens on a free loopback port and echoes every
// connection's bytes back, each connection on a thread of its own.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tq_test
{

class TcpEchoHost
{
public:
    TcpEchoHost();
    ~TcpEchoHost();
    TcpEchoHost(const TcpEchoHost&) = delete;
    TcpEchoHost& operator=(const TcpEchoHost&) = delete;
    uint16_t Port() const { return m_port; }
    int Connections() const { return m_connections.load(); }

private:
    void AcceptLoop();
    void Echo(int fd);
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_connections{0};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<std::thread> m_threads;
    std::vector<int> m_fds;
};

} // namespace tq_test
