#pragma once
// A real TarviQenServer in console mode (-debug) on loopback, with a registry and a
// program folder of its own under a temporary folder, and free ports.
#include "support/TestSupport.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace tq_test
{

struct ServerOptions
{
    int logLevel = 3;
    int clientIdleDisconnect = 0;
    int maxLogLines = 10000;
    std::string adminPassword = "5318";
    int adminLoginGrace = 30; // written to the key only when changed
    // When not 0: the server runs with this open-file limit, soft and hard.
    int openFileLimit = 0;
    // When set: a free loopback port for the metrics (MetricsPort).
    bool metrics = false;
};

class ServerProcess
{
public:
    explicit ServerProcess(const ServerOptions& options = {});
    ~ServerProcess();

    // Writes the settings (unless already written) and starts the server; waits until
    // its log says it started. False if it did not within the timeout.
    bool Start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // SIGINT, then waits for the exit; returns the exit status or -1 on timeout.
    int Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Writes the registry key file of the settings (called by Start).
    void WriteSettings();

    uint16_t ClientPort() const { return m_clientPort; }
    uint16_t AdminPort() const { return m_adminPort; }
    uint16_t MetricsPort() const { return m_metricsPort; }
    const std::string& LogPath() const { return m_logPath; }
    std::string Log() const { return ReadFile(m_logPath); }
    // Waits until the log holds `text`.
    bool WaitForLog(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    const std::string& RegistryDir() const { return m_registryDir; }
    std::string RegistryFile() const;
    const TempDir& Dir() const { return m_dir; }
    ChildProcess& Process() { return m_process; }

private:
    ServerOptions m_options;
    TempDir m_dir;
    std::string m_registryDir;
    std::string m_logPath;
    uint16_t m_clientPort;
    uint16_t m_adminPort;
    uint16_t m_metricsPort = 0;
    bool m_bSettingsWritten = false;
    ChildProcess m_process;
};

} // namespace tq_test
