#include "support/ServerProcess.h"

#include <csignal>
#include <cstdio>
#include <filesystem>

namespace tq_test
{

namespace
{
std::string Hex8(unsigned value)
{
    char text[9];
    std::snprintf(text, sizeof(text), "%08x", value);
    return text;
}
} // namespace

ServerProcess::ServerProcess(const ServerOptions& options)
    : m_options(options), m_registryDir(m_dir.File("registry")), m_logPath(m_dir.File("server.log")),
      m_clientPort(FreeUdpPort()), m_adminPort(FreeTcpPort()),
      m_metricsPort(options.metrics ? FreeTcpPort() : 0)
{
}

ServerProcess::~ServerProcess() { m_process.Kill(); }

std::string ServerProcess::RegistryFile() const
{
    return m_registryDir + "/HKEY_LOCAL_MACHINE/SOFTWARE/Ostrivel/TarviQenServer.reg";
}

void ServerProcess::WriteSettings()
{
    std::filesystem::create_directories(m_registryDir + "/HKEY_LOCAL_MACHINE/SOFTWARE/Ostrivel");
    char numbers[256];
    std::snprintf(numbers, sizeof(numbers),
                  "\"ClientPort\"=dword:%08x\n\"AdminPort\"=dword:%08x\n"
                  "\"ClientIdleDisconnect\"=dword:%08x\n\"LogLevel\"=dword:%08x\n"
                  "\"MaxLogLines\"=dword:%08x\n",
                  m_clientPort, m_adminPort, static_cast<unsigned>(m_options.clientIdleDisconnect),
                  static_cast<unsigned>(m_options.logLevel),
                  static_cast<unsigned>(m_options.maxLogLines));
    std::string key = std::string(numbers) + "\"LogFile\"=\"" + m_logPath + "\"\n" +
                      "\"AdminPassword\"=\"" + m_options.adminPassword + "\"\n";
    if (m_options.adminLoginGrace != 30)
    {
        std::snprintf(numbers, sizeof(numbers), "\"AdminLoginGrace\"=dword:%08x\n",
                      static_cast<unsigned>(m_options.adminLoginGrace));
        key += numbers;
    }
    if (m_metricsPort != 0)
        key += "\"MetricsPort\"=dword:" + Hex8(m_metricsPort) + "\n";
    WriteFile(RegistryFile(), key);
    m_bSettingsWritten = true;
}

bool ServerProcess::Start(std::chrono::milliseconds timeout)
{
    if (!m_bSettingsWritten)
        WriteSettings();
    const std::map<std::string, std::string> env = {{"TARVIQEN_REGISTRY", m_registryDir},
                                                     {"TARVIQEN_FOLDER", m_dir.Path()},
                                                     {"NOTIFY_SOCKET", ""}};
    std::vector<std::string> argv = {BinDir() + "/TarviQenServer", "-debug"};
    if (m_options.openFileLimit != 0)
        argv = {"/bin/sh", "-c", "ulimit -n " + std::to_string(m_options.openFileLimit) + " && exec \"$0\" -debug",
                BinDir() + "/TarviQenServer"};
    if (!m_process.Start(argv, env, m_dir.Path()))
        return false;
    return WaitForLog(" started.", timeout);
}

int ServerProcess::Stop(std::chrono::milliseconds timeout)
{
    m_process.Signal(SIGINT);
    int status = -1;
    if (!m_process.Wait(timeout, status))
        return -1;
    return status;
}

bool ServerProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const
{
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout);
}

} // namespace tq_test
