#pragma once
// The proxy server's settings, kept in the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Ostrivel\TarviQenServer.
#include "tunnel/AdminProtocol.h"

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
    // for a missing key). A value the record cannot hold (a password of 128 characters
    // or more, a log level outside 1..3, an empty log file) fails.
    bool Load(bool showMessage);
    // True once one value other than LogLevel can be read (it stays in memory).
    bool AnyValueStored();
    // Creates the key with the defaults (LogFile in the program folder).
    bool CreateDefaults();
    bool Save();
    // The value for GET. False for an unknown name (exact, case-sensitive).
    bool GetValueText(std::string_view name, std::string& value) const;
    // Writes the settings block to the log at the Error level (never the password).
    void Print();

    static constexpr const char* DEFAULT_METRICS_ADDRESS = "127.0.0.1";
    // The HTTP port of the metrics (0: none) and the address it listens on: optional
    // values read at start, not among the admin port's settings.
    int GetMetricsPort() const { return m_nMetricsPort; }
    const std::string& GetMetricsAddress() const { return m_metricsAddress; }
    void SetMetrics(int port, const std::string& address)
    {
        m_nMetricsPort = port;
        m_metricsAddress = address;
    }

    ServerSettingValues& Values() { return m_values; }
    const ServerSettingValues& Values() const { return m_values; }

private:
    CServerSettings() = default;
    static std::unique_ptr<CServerSettings> m_pSettings;

    ServerSettingValues m_values;
    int m_nMetricsPort = 0;
    std::string m_metricsAddress = DEFAULT_METRICS_ADDRESS;
};
