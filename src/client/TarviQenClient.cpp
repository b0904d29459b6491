#include "client/TarviQenClient.h"

#include "client/ProxyClient.h"
#include "client/Settings.h"
#include "client/StatisticsFile.h"
#include "common/Log.h"
#include "common/ModulePath.h"
#include "common/MyString.h"
#include "common/ProxyTCPListener.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <array>

namespace
{
// Every key the client needs, in the order in which they are tested.
constexpr std::array<const char*, 32> REQUIRED_SETTINGS = {"ListenPort",
                                                           "ProxyServer1",
                                                           "HostAddress",
                                                           "HostPort",
                                                           "ProxyAwareApplication",
                                                           "LogFile",
                                                           "LogLevel",
                                                           "MaxLogLines",
                                                           "AllowExit",
                                                           "UseOutputDebugString",
                                                           "OutputStatistics",
                                                           "StatisticsFolder",
                                                           "IndicatorAllowMove",
                                                           "IndicatorAutoShowAndHide",
                                                           "IndicatorXPos",
                                                           "IndicatorYPos",
                                                           "IndicatorWidth",
                                                           "IndicatorHeight",
                                                           "IndicatorMargin",
                                                           "IndicatorTextAreaSize",
                                                           "IndicatorFontName",
                                                           "IndicatorFontSize",
                                                           "IndicatorBorderColor",
                                                           "IndicatorBackgroundColor",
                                                           "IndicatorTextColor",
                                                           "IndicatorOffColor",
                                                           "IndicatorOnColor",
                                                           "IndicatorAlphaBlending",
                                                           "IndicatorOrientation",
                                                           "IndicatorSavePosition",
                                                           "ConnectRetries",
                                                           "IgnoreBindError"};

std::string MakeHostText(const std::string& value)
{
    return NarrowCopy(Utf8ToUtf16(value), CClientApplication::HOST_TEXT_SIZE);
}

bool IsFinished(int state)
{
    return state == CProxyClient::STATE_EXIT || state == CProxyClient::STATE_INVALID;
}

// Watch tokens: the listener, the quit request, then two per session (its UDP socket
// and its application), numbered on so that a late report of an ended session's
// socket never reaches the next one (the first session gets 16 and 17).
constexpr uint64_t TOKEN_LISTENER = 1;
constexpr uint64_t TOKEN_QUIT = 2;
} // namespace

CClientApplication::CClientApplication(std::unique_ptr<IIndicator> indicator, ISocketLayer& sockets,
                                       IClock& clock)
    : m_pIndicator(std::move(indicator)), m_sockets(sockets), m_clock(clock)
{
}

CClientApplication::~CClientApplication() = default;

int CClientApplication::Run()
{
    if (Startup())
    {
        MainLoop();
        Shutdown();
    }
    return 0;
}

// ---- Start-up --------------------------------------------------------------

bool CClientApplication::Startup()
{
    if (!GetModulePath())
    {
        return Fail("Error: Could not setup application path.");
    }
    m_pszFolder = GetModuleDirectory();
    m_pLog = CLog::GetInstance();
    m_pSettings = CSettings::GetInstance();
    m_pSettings->SetFolder(m_pszFolder);
    if (!LoadSettings() || !OpenLogFile() || !CheckRequiredSettings() || !ApplyLogSettings())
    {
        return false;
    }
    // Sockets need no start-up here.
    ReadConfig();
    m_pLog->Print(CLog::LEVEL_INFO, "%s v%s (client) started on port %d.", PRODUCT_NAME, VERSION,
                  m_config.nListenPort);
    if (!m_pszStartNotice.empty())
    {
        m_pLog->Print(CLog::LEVEL_INFO, "%s", m_pszStartNotice.c_str());
    }
    if (!m_pIndicator->Create())
    {
        return FailAndRelease("Failed to create indicator window.");
    }
    return true;
}

bool CClientApplication::Fail(const std::string& message)
{
    ShowMessageBox(PRODUCT_NAME, message);
    return false;
}

bool CClientApplication::FailAndRelease(const std::string& message)
{
    Fail(message);
    ReleaseSingletons();
    return false;
}

void CClientApplication::ReleaseSingletons()
{
    CLog::DestroyInstance();
    CSettings::DestroyInstance();
    m_pLog = nullptr;
    m_pSettings = nullptr;
}

bool CClientApplication::LoadSettings()
{
    if (!m_pSettings->Load(SETTINGS_FILE))
    {
        return FailAndRelease(std::string("Error, failed to open settings file '") + SETTINGS_FILE +
                              "'");
    }
    return true;
}

bool CClientApplication::OpenLogFile()
{
    const std::string logFile = m_pSettings->GetText("LogFile");
    if (logFile.empty())
    {
        return FailAndRelease("Error, No log file name provided");
    }
    m_pLog->SetFilename(InProgramFolder(MakeHostText(logFile)));
    if (!m_pLog->CanWrite())
    {
        return FailAndRelease("Error, failed to open logfile " + logFile);
    }
    return true;
}

bool CClientApplication::CheckRequiredSettings()
{
    std::string problem;
    for (const char* name : REQUIRED_SETTINGS)
    {
        const auto value = m_pSettings->GetValue(name);
        if (!value)
        {
            problem = std::string("Error, setting '") + name + "' is missing.";
        }
        else if (value->empty())
        {
            problem = std::string("Error, setting '") + name + "' must not be empty.";
        }
        if (!problem.empty())
        {
            break;
        }
    }
    // A session cannot reach a host on port 0; refuse it here rather than later.
    if (problem.empty() && m_pSettings->GetNumber("HostPort") == 0)
    {
        problem = "Error, setting 'HostPort' must not be 0.";
    }
    if (problem.empty())
    {
        return true;
    }
    m_pLog->Print(CLog::LEVEL_ERROR, "%s", problem.c_str());
    return FailAndRelease(problem);
}

bool CClientApplication::ApplyLogSettings()
{
    m_pLog->SetMaxLines(static_cast<uint32_t>(m_pSettings->GetNumber("MaxLogLines")));
    const int level = m_pSettings->GetNumber("LogLevel");
    if (!CLog::isValidLogLevel(level))
    {
        return FailAndRelease("Error, invalid loglevel selected");
    }
    m_pLog->SetLogLevel(level);
    if (m_pSettings->GetSwitch("UseOutputDebugString"))
    {
        // The device's debug output is standard error here.
        m_pLog->SetEcho(true, stderr);
    }
    return true;
}

void CClientApplication::ReadConfig()
{
    const CSettings& settings = *m_pSettings;
    m_config.nListenPort = settings.GetNumber("ListenPort");
    m_config.pszHostAddress = MakeHostText(settings.GetText("HostAddress"));
    m_config.nHostPort = settings.GetNumber("HostPort");
    m_config.bProxyAware = settings.GetSwitch("ProxyAwareApplication");
    m_config.bOutputStatistics = settings.GetSwitch("OutputStatistics");
    m_config.pszStatisticsFolder = InProgramFolder(settings.GetText("StatisticsFolder"));
    m_config.bIgnoreBindError = settings.GetSwitch("IgnoreBindError");
    m_config.bSavePosition = settings.GetSwitch("IndicatorSavePosition");
}

std::string CClientApplication::InProgramFolder(const std::string& path) const
{
    // Relative paths name places in the program folder, wherever the client was started.
    if (path.empty() || path.front() == '/')
    {
        return path;
    }
    return m_pszFolder + "/" + path;
}

// ---- Main loop -------------------------------------------------------------

void CClientApplication::MainLoop()
{
    CProxyTCPListener listener(m_sockets);
    if (!OpenListener(listener))
    {
        return;
    }
    m_stats.Reset();
    m_stats.SetOutputFlag(m_config.bOutputStatistics ? 1 : 0);
    // Watched once: the listener reports each new connection (edge), the quit request
    // stays readable once set.
    m_sockets.Watch(listener.GetListenSocket(), TOKEN_LISTENER, WatchMode::Edge);
    m_sockets.Watch(m_quitEvent.Handle(), TOKEN_QUIT, WatchMode::Level);
    m_bListenerPending = true;
    for (;;)
    {
        if (QuitRequested())
        {
            break;
        }
        const uint32_t now = m_clock.TickCount();
        DispatchReadiness();
        if (m_bListenerPending && !listener.checkForNewConnection())
        {
            Fail("checkForNewConnection() failed");
            listener.Close();
            return;
        }
        if (listener.m_bConnected)
        {
            StartSession(listener);
        }
        else
        {
            m_bListenerPending = false; // nothing waited any more
        }
        listener.ResetConnection();
        ServeSession(now);
        m_pLog->Trim();
        m_pIndicator->keepOnTop();
        WaitForWork(now);
    }
    m_pLog->Print(CLog::LEVEL_INFO, "Shutdown initiated by user.");
    EndSession();
    listener.Close();
}

bool CClientApplication::OpenListener(CProxyTCPListener& listener)
{
    listener.SetLocalOnly();
    if (listener.init(m_config.nListenPort))
    {
        return true;
    }
    if (!m_config.bIgnoreBindError)
    {
        Fail("Error: listener.init() failed");
    }
    listener.Close();
    return false;
}

// Stands for the window-message step: a moved indicator, then the quit request. The
// flag is read first so that a drag just before Exit is saved on the way out.
bool CClientApplication::QuitRequested()
{
    if (m_pIndicator->takeMovedFlag() && m_config.bSavePosition)
    {
        SaveIndicatorPosition();
    }
    return m_quitEvent.IsSet();
}

void CClientApplication::SaveIndicatorPosition()
{
    m_pSettings->SetValue("IndicatorXPos", std::to_string(m_pIndicator->GetLeft()));
    m_pSettings->SetValue("IndicatorYPos", std::to_string(m_pIndicator->GetTop()));
    m_pSettings->Save(SETTINGS_FILE);
}

void CClientApplication::StartSession(const CProxyTCPListener& listener)
{
    if (m_pSession)
    {
        m_pLog->Print(CLog::LEVEL_INFO, "Client aborted");
        EndSession();
    }
    const SocketAddress& peer = listener.m_addrPeer;
    m_pLog->Print(CLog::LEVEL_INFO, "Client %s:%d connected.",
                  DottedAddressText(peer.address).c_str(), NetToHost16(peer.port));
    m_pSession =
        std::make_unique<CProxyClient>(&m_stats, listener.GetAcceptedSocket(), peer,
                                       m_config.bProxyAware, m_pszFolder, m_sockets, m_clock);
    m_pSession->StartAfter(m_lastSessionStart);
    m_lastSessionStart = m_pSession->GetStartTime();
    m_nSessionToken += 2;
    m_pSession->WatchSockets(m_nSessionToken, m_nSessionToken + 1);
    m_bSessionReady = false;
    m_pSession->SetHostAddress(m_config.pszHostAddress);
    m_pSession->SetHostPort(m_config.nHostPort);
    m_pIndicator->sessionStarted();
    m_pIndicator->show();
    if (!WriteStatistics())
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Error: Couldn't write to statistics file in folder '%s'.",
                      m_config.pszStatisticsFolder.c_str());
    }
    m_dwStatisticsDue = m_clock.TickCount() + STATISTICS_INTERVAL_MS;
}

void CClientApplication::DispatchReadiness()
{
    for (const SocketReadiness& ready : m_ready)
    {
        if (ready.token == TOKEN_LISTENER)
        {
            m_bListenerPending = true;
        }
        else if (m_pSession && (ready.token == m_nSessionToken || ready.token == m_nSessionToken + 1))
        {
            m_pSession->SetReady(ready.token, ready.readable, ready.writable);
            m_bSessionReady = true;
        }
    }
    m_ready.clear();
}

// Steps the session when one of its sockets is ready or its deadline is due; a step
// without either has nothing to do.
void CClientApplication::ServeSession(uint32_t now)
{
    if (!m_pSession)
    {
        return;
    }
    const int state = m_pSession->GetState();
    if (IsFinished(state))
    {
        EndSession();
        m_pIndicator->sessionEnded();
        m_pIndicator->hide();
        if (state == CProxyClient::STATE_INVALID)
        {
            SleepMs(INVALID_SESSION_PAUSE_MS);
            Fail("Proxy session is no longer valid");
        }
        return;
    }
    if (m_bSessionReady || m_pSession->MsUntilDue(now) == 0)
    {
        m_pSession->Step(now);
    }
    m_bSessionReady = false;
    m_pIndicator->setLinkQuality(m_stats.m_nLinkQuality);
    if (TickReached(now, m_dwStatisticsDue))
    {
        WriteStatistics();
        m_dwStatisticsDue = now + STATISTICS_INTERVAL_MS;
    }
}

// Writes the statistics file one last time and ends the session; the server is not told.
void CClientApplication::EndSession()
{
    if (m_pSession)
    {
        WriteStatistics();
        m_pSession.reset();
    }
}

bool CClientApplication::WriteStatistics()
{
    return CStatisticsFile::Write(m_stats, m_config.pszStatisticsFolder, m_pSession->GetStartTime(),
                                  m_clock.LocalTime());
}

// Waits until the listener, the quit request or the session has something to do,
// the session's next deadline or the next statistics write is due, or MAX_WAIT_MS
// have passed.
void CClientApplication::WaitForWork(uint32_t now)
{
    uint32_t timeout = m_bListenerPending ? 0 : MAX_WAIT_MS;
    if (m_pSession)
    {
        if (IsFinished(m_pSession->GetState()))
        {
            timeout = 0;
        }
        else
        {
            timeout = std::min({timeout, m_pSession->MsUntilDue(now),
                                TickRemaining(now, m_dwStatisticsDue)});
        }
    }
    m_sockets.WaitReady(timeout, m_ready);
}

// ---- Shutdown --------------------------------------------------------------

void CClientApplication::Shutdown()
{
    // A loop that ended on a listener failure may still hold a session.
    EndSession();
    m_pIndicator->Destroy();
    m_pLog->Print(CLog::LEVEL_INFO, "%s v%s (client) stopped.", PRODUCT_NAME, VERSION);
    ReleaseSingletons();
}
