#pragma once
// The console's copy of a proxy server's seven settings: a plain holder of the values
// that the connection reads with GET and the properties dialog changes with SET. It
// keeps the names and preconditions of the server's settings record but never touches
// the registry or a log; the inline namespace keeps it apart from the server's class
// of the same name at link level.
#include <cstddef>
#include <memory>
#include <string>

inline namespace admin_console
{

class CServerSettings
{
public:
    static constexpr size_t MAX_PASSWORD_LENGTH = 128;

    static CServerSettings* GetInstance();
    static void DestroyInstance();

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

private:
    static std::unique_ptr<CServerSettings> m_pSettings;

    std::string m_pszAdminPassword;
    std::string m_pszLogFile;
    int m_nLogLevel = 0;
    int m_nAdminPort = 0;
    int m_nClientIdleDisconnect = 0;
    int m_nClientPort = 0;
    int m_nMaxLogLines = 10000;
};

} // namespace admin_console
