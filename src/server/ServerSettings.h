#pragma once
// The proxy server's seven settings, kept in the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Ostrivel\TarviQenServer, and the optional metrics
// values there (read at start only; not among the admin port's settings).
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class CServerSettings
{
public:
    static constexpr size_t MAX_PASSWORD_LENGTH = 128;
    static constexpr size_t MAX_TEXT_BYTES = 2048;
    static constexpr const char* REGISTRY_KEY = "SOFTWARE\\Ostrivel\\TarviQenServer";
    static constexpr const char* DISPLAY_NAME = "Ostrivel Tarvi*Qen Server";

    static CServerSettings* GetInstance();
    static void DestroyInstance();

    // Reads every value; on failure shows "Failed to read settings." when asked (not
    // for a missing key). A stored AdminPassword of 128 characters or more fails.
    bool Load(bool showMessage);
    bool AnyValueStored();
    // Creates the key with the defaults (LogFile in the program folder).
    bool CreateDefaults();
    bool Save();
    static constexpr const char* DEFAULT_METRICS_ADDRESS = "127.0.0.1";

    // Exact, case-sensitive: one of the seven value names.
    static bool IsValidSetting(std::string_view name);
    // The value for GET: texts as they are, numbers as "%d". False for an unknown name.
    bool GetValueText(std::string_view name, std::string& value) const;
    // Writes the settings block to the log at the Error level (never the password).
    void Print();

    void SetAdminPassword(const std::string& password); // asserts length < 128
    void SetLogFile(const std::string& logFile);
    void SetLogLevel(int level); // asserts a valid level
    void SetAdminPort(int port) { m_nAdminPort = port; }
    void SetClientPort(int port) { m_nClientPort = port; }
    void SetClientIdleDisconnect(int seconds) { m_nClientIdleDisconnect = seconds; }
    void SetMaxLogLines(int lines) { m_nMaxLogLines = lines; }

    const std::string& GetAdminPassword() const { return m_pszAdminPassword; }
    const std::string& GetLogFile() const { return m_pszLogFile; }
    int GetLogLevel() const { return m_nLogLevel; }
    int GetAdminPort() const { return m_nAdminPort; }
    int GetClientPort() const { return m_nClientPort; }
    int GetClientIdleDisconnect() const { return m_nClientIdleDisconnect; }
    int GetMaxLogLines() const { return m_nMaxLogLines; }
    // The HTTP port of the metrics (0: none) and the address it listens on.
    int GetMetricsPort() const { return m_nMetricsPort; }
    const std::string& GetMetricsAddress() const { return m_metricsAddress; }
    void SetMetrics(int port, const std::string& address)
    {
        m_nMetricsPort = port;
        m_metricsAddress = address;
    }

private:
    CServerSettings() = default;
    static std::unique_ptr<CServerSettings> m_pSettings;

    std::string m_pszAdminPassword;
    std::string m_pszLogFile;
    int m_nLogLevel = 0;
    int m_nAdminPort = 0;
    int m_nClientIdleDisconnect = 0;
    int m_nClientPort = 0;
    int m_nMaxLogLines = 10000;
    int m_nMetricsPort = 0;
    std::string m_metricsAddress = DEFAULT_METRICS_ADDRESS;
};
