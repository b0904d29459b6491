#include "support/ClientProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

using namespace std::chrono_literals;

namespace tq_test
{

ClientProcess::ClientProcess(const std::string& proxyServer1, uint16_t hostPort)
    : m_settings(
          ClientSettings(m_dir.Path(), m_dir.File("stats"), m_listenPort, proxyServer1, hostPort))
{
    std::filesystem::create_directories(m_dir.File("stats"));
    Set("ConnectRetries", "5");
}

void ClientProcess::Set(const std::string& name, const std::string& value)
{
    SetSetting(m_settings, name, value);
}

bool ClientProcess::Start()
{
    WriteClientSettings(m_dir.Path(), m_settings);
    m_env["TARVIQEN_FOLDER"] = m_dir.Path();
    if (!m_process.Start({BinDir() + "/TarviQenClient"}, m_env, m_dir.Path()))
        return false;
    return WaitForLog("(client) started on port", 10s);
}

int ClientProcess::Stop()
{
    m_process.Signal(SIGINT);
    int status = -1;
    return m_process.Wait(10s, status) ? status : -1;
}

bool ClientProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                               int count) const
{
    return WaitUntil([&] { return CountOf(Log(), text) >= count; }, timeout);
}

std::vector<std::string> ClientProcess::StatisticsFiles() const
{
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.File("stats")))
        files.push_back(entry.path().filename().string());
    return files;
}

// The client logs its start before its main loop opens the listen port, so a refused
// connection is tried again for a while.
bool Application::Connect(uint16_t port)
{
    const sockaddr_in addr = LoopbackSockaddr(port);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;)
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0)
            break;
        const int error = errno;
        close(m_fd);
        m_fd = -1;
        if (error != ECONNREFUSED || std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    return true;
}

std::string Application::Exchange(const std::string& data, size_t expected,
                                  std::chrono::milliseconds timeout)
{
    std::string received;
    size_t sent = 0;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (received.size() < expected && std::chrono::steady_clock::now() < end)
    {
        pollfd fd{m_fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        if (poll(&fd, 1, 100) <= 0)
            continue;
        if (fd.revents & POLLOUT)
        {
            const ssize_t n = send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n > 0)
                sent += static_cast<size_t>(n);
        }
        char buffer[16384];
        const ssize_t n =
            (fd.revents & (POLLIN | POLLHUP | POLLERR)) ? recv(m_fd, buffer, sizeof(buffer), 0) : -1;
        if (n > 0)
            received.append(buffer, static_cast<size_t>(n));
        else if (n == 0)
            break;
    }
    return received;
}

bool Application::WaitForClose(std::chrono::milliseconds timeout)
{
    return WaitUntil(
        [this]
        {
            char byte;
            const ssize_t n = recv(m_fd, &byte, 1, 0);
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        timeout);
}

void Application::Close()
{
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}

std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

} // namespace tq_test
