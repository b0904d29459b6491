#pragma once
// The device client program: start-up from the settings file, the main loop that
// accepts application connections and runs one tunnel session at a time, and the
// shutdown.
#include "client/Indicator.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/SocketLayer.h"
#include "tunnel/ProxyStats.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CLog;
class CProxyClient;
class CProxyTCPListener;
class CSettings;

class CClientApplication
{
  public:
    static constexpr const char* PRODUCT_NAME = "Ostrivel Tarvi*Qen Client";
    static constexpr const char* VERSION = "1.0.9";
    static constexpr const char* SETTINGS_FILE = "TarviQenClientSettings.txt";
    static constexpr uint32_t STATISTICS_INTERVAL_MS = 10000;
    static constexpr uint32_t INVALID_SESSION_PAUSE_MS = 500;
    // The longest wait of one loop pass when nothing is due.
    static constexpr uint32_t MAX_WAIT_MS = 1000;
    // Host texts are kept as 8-bit text of at most this size, terminator included.
    static constexpr size_t HOST_TEXT_SIZE = 256;

    CClientApplication(std::unique_ptr<IIndicator> indicator, ISocketLayer& sockets, IClock& clock);
    ~CClientApplication();
    CClientApplication(const CClientApplication&) = delete;
    CClientApplication& operator=(const CClientApplication&) = delete;

    // Start-up, then (only if it succeeded) the main loop and the shutdown. Always 0.
    int Run();
    // False after the message box of the failure has been shown.
    bool Startup();
    // Returns on a quit request, or when the listener cannot be set up or fails.
    void MainLoop();
    void Shutdown();
    // Asks the main loop to end; may be called from any thread.
    void RequestQuit() { m_quitEvent.Set(); }
    // A line for the log once it is open (why the windows are missing, say).
    void SetStartNotice(std::string text) { m_pszStartNotice = std::move(text); }

  private:
    // The settings that the main loop reads, taken once at start-up.
    struct Config
    {
        int nListenPort = 0;
        std::string pszHostAddress;
        int nHostPort = 0;
        bool bProxyAware = false;
        bool bOutputStatistics = false;
        std::string pszStatisticsFolder;
        bool bIgnoreBindError = false;
        bool bSavePosition = false;
    };

    bool Fail(const std::string& message);
    bool FailAndRelease(const std::string& message);
    void ReleaseSingletons();
    bool LoadSettings();
    bool OpenLogFile();
    bool CheckRequiredSettings();
    bool ApplyLogSettings();
    void ReadConfig();
    std::string InProgramFolder(const std::string& path) const;

    bool OpenListener(CProxyTCPListener& listener);
    bool QuitRequested();
    void SaveIndicatorPosition();
    void StartSession(const CProxyTCPListener& listener);
    void DispatchReadiness();
    void ServeSession(uint32_t now);
    void EndSession();
    bool WriteStatistics();
    void WaitForWork(uint32_t now);

    std::unique_ptr<IIndicator> m_pIndicator;
    ISocketLayer& m_sockets;
    IClock& m_clock;
    CLog* m_pLog = nullptr;
    CSettings* m_pSettings = nullptr;
    std::string m_pszFolder;
    std::string m_pszStartNotice;
    Config m_config;
    CEvent m_quitEvent;
    CProxyStats m_stats;
    std::unique_ptr<CProxyClient> m_pSession;
    uint32_t m_dwStatisticsDue = 0;
    DateTime m_lastSessionStart; // names the last session's statistics file
    // Readiness from the last wait.
    std::vector<SocketReadiness> m_ready;
    bool m_bListenerPending = false; // a connection may wait in the listener
    bool m_bSessionReady = false;
    uint64_t m_nSessionToken = 14; // the current session's pair of watch tokens
};
