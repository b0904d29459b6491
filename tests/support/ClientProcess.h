#pragma once
// A real TarviQenClient with a settings file of all its keys in a program folder of
// its own, and an application connection to its listen port.
#include "support/ClientSettings.h"
#include "support/TestSupport.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tq_test
{

class ClientProcess
{
  public:
    // Statistics go to <folder>/stats; ConnectRetries is 5.
    ClientProcess(const std::string& proxyServer1, uint16_t hostPort);
    // Replaces a value or appends a setting (ProxyServer2 and later).
    void Set(const std::string& name, const std::string& value);
    // The tray icon and indicator on Qt's offscreen platform instead of headless.
    void UseOffscreenWindows() { m_env["QT_QPA_PLATFORM"] = "offscreen"; }
    // An X display instead of headless, Qt's platform left to the client.
    void UseDisplay(const std::string& display) { m_env["DISPLAY"] = display; }
    void SetEnvironment(const std::string& name, const std::string& value) { m_env[name] = value; }
    // Writes the settings, starts the program and waits for its start line.
    bool Start();
    // SIGINT and the exit status, -1 if it did not end in time.
    int Stop();
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout,
                    int count = 1) const;
    std::string Log() const { return ReadFile(m_dir.File("client.log")); }
    std::string Stderr() const { return m_process.Stderr(); }
    uint16_t ListenPort() const { return m_listenPort; }
    const TempDir& Dir() const { return m_dir; }
    ChildProcess& Process() { return m_process; }
    std::vector<std::string> StatisticsFiles() const;

  private:
    TempDir m_dir;
    uint16_t m_listenPort = FreeTcpPort();
    SettingList m_settings;
    // Headless unless asked otherwise, whatever desktop the tests run on.
    std::map<std::string, std::string> m_env{
        {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}};
    ChildProcess m_process;
};

// An application connection to the client's listen port.
class Application
{
  public:
    Application() = default;
    ~Application() { Close(); }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;
    bool Connect(uint16_t port);
    // Sends `data` while reading; returns once `expected` bytes came back or on timeout.
    std::string Exchange(const std::string& data, size_t expected,
                         std::chrono::milliseconds timeout);
    std::string Echo(const std::string& data,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        return Exchange(data, data.size(), timeout);
    }
    // True once the client has closed the connection (within the timeout).
    bool WaitForClose(std::chrono::milliseconds timeout);
    void Close();

  private:
    int m_fd = -1;
};

// `size` bytes from a generator seeded with `seed`.
std::string RandomBytes(size_t size, uint32_t seed);

} // namespace tq_test
