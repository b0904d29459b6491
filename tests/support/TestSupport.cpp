#include "support/TestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tq_test
{

TempDir::TempDir()
{
    char pattern[] = "/tmp/tq-test-XXXXXX";
    const char* path = mkdtemp(pattern);
    m_path = path ? path : "/tmp";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (m_path != "/tmp")
        std::filesystem::remove_all(m_path, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

sockaddr_in LoopbackSockaddr(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int BindLoopback(int type, uint16_t& port)
{
    const int s = socket(AF_INET, type, 0);
    sockaddr_in addr = LoopbackSockaddr(0);
    socklen_t len = sizeof(addr);
    port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    return s;
}

int ConnectLoopback(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = LoopbackSockaddr(port);
    if (connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

int CountOf(const std::string& text, const std::string& what)
{
    int count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

std::string MetricValue(const std::string& page, const std::string& series)
{
    const size_t at = page.find("\n" + series + " ");
    if (at == std::string::npos)
        return "missing";
    const size_t start = at + series.size() + 2;
    return page.substr(start, page.find('\n', start) - start);
}

static uint16_t FreePort(int type)
{
    uint16_t port = 0;
    close(BindLoopback(type, port));
    return port;
}

uint16_t FreeTcpPort() { return FreePort(SOCK_STREAM); }
uint16_t FreeUdpPort() { return FreePort(SOCK_DGRAM); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string BinDir()
{
    const char* dir = std::getenv("TQ_BIN_DIR");
    return dir ? dir : "build/bin";
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, const std::string& outputDir)
{
    static int counter = 0;
    const std::string stem = outputDir + "/proc" + std::to_string(++counter);
    m_stdoutPath = stem + ".out";
    m_stderrPath = stem + ".err";
    m_nStatus = -1;
    m_pid = fork();
    if (m_pid < 0)
        return false;
    if (m_pid == 0)
    {
        for (const auto& [name, value] : env)
        {
            if (value.empty())
                unsetenv(name.c_str());
            else
                setenv(name.c_str(), value.c_str(), 1);
        }
        // Tests may block signals for their own threads; the child starts clean.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        const int in = m_stdinFd >= 0 ? m_stdinFd : open("/dev/null", O_RDONLY);
        const int out = m_stdoutFd >= 0 ? m_stdoutFd
                                        : open(m_stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(m_stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return true;
}

bool ChildProcess::Running()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid)
    {
        m_nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
        return false;
    }
    return r == 0;
}

bool ChildProcess::Wait(std::chrono::milliseconds timeout, int& status)
{
    if (!WaitUntil([this] { return !Running(); }, timeout))
        return false;
    status = m_nStatus;
    return true;
}

void ChildProcess::Signal(int signo)
{
    if (m_pid > 0)
        kill(m_pid, signo);
}

void ChildProcess::Kill()
{
    if (m_pid > 0)
    {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
}

std::string ChildProcess::Stdout() const { return ReadFile(m_stdoutPath); }
std::string ChildProcess::Stderr() const { return ReadFile(m_stderrPath); }

} // namespace tq_test
