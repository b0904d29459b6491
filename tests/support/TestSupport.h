#pragma once
// Helpers for tests: temporary folders, files, free loopback ports, bounded waits and
// child processes that are always cleaned up.
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/types.h>

namespace tq_test
{

// A fresh folder under /tmp, removed with its contents on destruction.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// A loopback port that was free a moment ago (bound to port 0, then released).
uint16_t FreeTcpPort();
uint16_t FreeUdpPort();

// 127.0.0.1:port as a socket address.
sockaddr_in LoopbackSockaddr(uint16_t port);
// A socket of `type` bound to 127.0.0.1 on a free port, returned in `port`.
int BindLoopback(int type, uint16_t& port);
// A blocking TCP connection to 127.0.0.1:port, or -1.
int ConnectLoopback(uint16_t port);
// How often `what` occurs in `text`.
int CountOf(const std::string& text, const std::string& what);
// The value of the metrics page's sample line for `series` ("missing" when none).
std::string MetricValue(const std::string& page, const std::string& series);

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// The folder of the programs under test ($TQ_BIN_DIR, set by CTest).
std::string BinDir();

// A child process with its own environment additions; standard output and error go
// to files that the test can read. Killed (SIGKILL) on destruction if still running.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // `env` adds or replaces variables; an empty value removes one.
    bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
               const std::string& outputDir);
    bool Running();
    // Waits for the end; false on timeout. `status` is the exit code (128+signal if killed).
    bool Wait(std::chrono::milliseconds timeout, int& status);
    void Signal(int signo);
    void Kill();
    // Standard input and output of the next Start: these descriptors instead of
    // /dev/null and the output file (-1 keeps the default).
    void SetStdio(int stdinFd, int stdoutFd)
    {
        m_stdinFd = stdinFd;
        m_stdoutFd = stdoutFd;
    }
    pid_t Pid() const { return m_pid; }
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t m_pid = -1;
    int m_nStatus = -1;
    int m_stdinFd = -1;
    int m_stdoutFd = -1;
    std::string m_stdoutPath;
    std::string m_stderrPath;
};

} // namespace tq_test
