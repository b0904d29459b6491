#include "server/Service.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/ModulePath.h"
#include "common/MyString.h"
#include "platform/ConsoleKeyboard.h"
#include "platform/Event.h"
#include "platform/MessageBox.h"
#include "platform/ProgramPath.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"
#include "platform/SignalWatcher.h"
#include "platform/ThreadedHostResolver.h"
#include "platform/Time.h"
#include "server/ProxyServer.h"
#include "server/ServerSettings.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace
{
constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr uint32_t SERVICE_ACCEPT_STOP = 1;
constexpr uint32_t NO_ERROR = 0;
constexpr uint32_t START_WAIT_HINT_MS = 3000;
constexpr uint32_t STOP_POLL_MS = 1000;
constexpr size_t ERROR_TEXT_SIZE = 256;

// The status record as the service manager knows it.
struct ServiceStatus
{
    uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
    ServiceState currentState = ServiceState::Stopped;
    uint32_t controlsAccepted = 0;
    uint32_t win32ExitCode = NO_ERROR;
    uint32_t serviceSpecificExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
};

// Written by the service thread and by the control handler.
std::mutex g_statusMutex;
ServiceStatus g_status;
bool g_bStatusHandle = false;
uint32_t g_dwCheckPoint = 1;
constexpr uint32_t g_dwErr = NO_ERROR;

// The control handlers run on threads of their own: they reach the stop event and the
// log only under this lock, so that neither is destroyed under their feet.
std::mutex g_controlMutex;
std::unique_ptr<CEvent> g_pStopEvent;
bool g_bStopPending = false; // a stop request that came before the event existed
CLog* gpLog = nullptr;

std::atomic<bool> g_bDebug{false};
// The server's run failed (its listeners could not be opened, or one failed later):
// the process then ends with status 1, so that the service manager sees it.
std::atomic<bool> g_bServerFailed{false};
constexpr int SERVER_FAILED_STATUS = 1;
CConsoleKeyboard* g_pConsoleKeyboard = nullptr;

enum class Switch
{
    None,
    Install,
    Start,
    Stop,
    Remove,
    Debug,
    Help
};

// Only the first argument counts; '-' or '/' makes it a switch.
Switch ParseSwitch(int argc, char** argv)
{
    if (argc < 2 || argv[1] == nullptr || (argv[1][0] != '-' && argv[1][0] != '/'))
    {
        return Switch::None;
    }
    const std::string_view name(argv[1] + 1);
    const std::pair<const char*, Switch> switches[] = {{"install", Switch::Install},
                                                       {"start", Switch::Start},
                                                       {"stop", Switch::Stop},
                                                       {"remove", Switch::Remove},
                                                       {"debug", Switch::Debug}};
    for (const auto& [text, value] : switches)
    {
        if (EqualsNoCase(name, text))
        {
            return value;
        }
    }
    return Switch::Help;
}

void PrintLine(const char* text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void DestroySettingsAndLog()
{
    CServerSettings::DestroyInstance();
    std::lock_guard lock(g_controlMutex);
    gpLog = nullptr;
    CLog::DestroyInstance();
}

const char* StatusText(ServiceState state)
{
    switch (state)
    {
    case ServiceState::StartPending:
        return "STATUS=Start pending";
    case ServiceState::Running:
        return "READY=1\nSTATUS=Running";
    case ServiceState::StopPending:
        return "STOPPING=1\nSTATUS=Stop pending";
    case ServiceState::Stopped:
        break;
    }
    return "STATUS=Stopped";
}

// A text for a unit file line: '%' doubled (systemd expands specifiers), and quoted
// when it holds blanks, quotes or backslashes.
std::string UnitText(std::string_view text)
{
    std::string escaped;
    bool quote = false;
    for (const char c : text)
    {
        quote = quote || c == ' ' || c == '\t' || c == '"' || c == '\\';
        if (c == '%')
        {
            escaped += '%';
        }
        if (c == '"' || c == '\\')
        {
            escaped += '\\';
        }
        escaped += c;
    }
    if (!quote)
    {
        return escaped;
    }
    return '"' + escaped + '"';
}

// The service reads the registry and the program folder that install used.
std::vector<std::string> UnitEnvironment()
{
    std::vector<std::string> lines;
    for (const char* name : {"TARVIQEN_REGISTRY", "TARVIQEN_FOLDER"})
    {
        if (const auto value = GetEnvironment(name))
        {
            lines.push_back(UnitText(std::string(name) + "=" + *value));
        }
    }
    return lines;
}

// Runs systemctl; on failure `errorText` says which command failed and how.
bool RunSystemctl(const std::vector<std::string>& args, std::string& errorText)
{
    const int status = CServiceManager::Systemctl(args);
    if (status == 0)
    {
        return true;
    }
    std::string command = "systemctl";
    for (const std::string& arg : args)
    {
        command += " " + arg;
    }
    errorText = status < 0 ? command + " could not be run"
                           : command + " failed (exit status " + std::to_string(status) + ")";
    return false;
}

// Writes and enables the unit; a unit that already exists is an error. A unit that
// could not be enabled is taken away again, so that a later install can succeed.
bool CreateServiceUnit(const std::string& programPath, std::string& errorText)
{
    const ServiceUnit unit{SERVICE_NAME, SERVICE_DISPLAY_NAME, UnitText(programPath),
                           UnitEnvironment()};
    int error = 0;
    if (!CServiceManager::WriteUnit(unit, error))
    {
        errorText = FormatLastError(error);
        return false;
    }
    if (RunSystemctl({"daemon-reload"}, errorText) && RunSystemctl({"enable", SERVICE_NAME}, errorText))
    {
        return true;
    }
    CServiceManager::DeleteUnit(SERVICE_NAME, error);
    CServiceManager::Systemctl({"daemon-reload"});
    return false;
}

bool DeleteServiceUnit(std::string& errorText)
{
    if (!RunSystemctl({"disable", SERVICE_NAME}, errorText))
    {
        return false;
    }
    int error = 0;
    if (!CServiceManager::DeleteUnit(SERVICE_NAME, error))
    {
        errorText = FormatLastError(error);
        return false;
    }
    return RunSystemctl({"daemon-reload"}, errorText);
}

bool OpenServiceUnit()
{
    if (CServiceManager::UnitExists(SERVICE_NAME))
    {
        return true;
    }
    gpLog->Print(CLog::LEVEL_ERROR, "OpenService failed - %s", FormatLastError(ENOENT).c_str());
    return false;
}

// The stop control is accepted only by a service that runs (or is starting).
bool SendStopControl()
{
    const std::string state = CServiceManager::ActiveState(SERVICE_NAME);
    if (state != "active" && state != "activating" && state != "reloading")
    {
        return false;
    }
    return CServiceManager::Systemctl({"stop", SERVICE_NAME}) == 0;
}

// Stops the service and waits while it is stopping; true when it reached stopped.
// A refused stop control fails without a log line.
bool StopAndWait()
{
    if (!SendStopControl())
    {
        return false;
    }
    gpLog->Print(CLog::LEVEL_INFO, "Stopping %s.", SERVICE_DISPLAY_NAME);
    SleepMs(STOP_POLL_MS);
    std::string state = CServiceManager::ActiveState(SERVICE_NAME);
    while (state == "deactivating")
    {
        SleepMs(STOP_POLL_MS);
        state = CServiceManager::ActiveState(SERVICE_NAME);
    }
    if (state == "inactive" || state == "failed")
    {
        gpLog->Print(CLog::LEVEL_INFO, "%s stopped.", SERVICE_DISPLAY_NAME);
        return true;
    }
    gpLog->Print(CLog::LEVEL_ERROR, "%s failed to stop.", SERVICE_DISPLAY_NAME);
    return false;
}

bool CreateStopEvent()
{
    auto event = std::make_unique<CEvent>();
    if (!event->IsValid())
    {
        return false;
    }
    std::lock_guard lock(g_controlMutex);
    g_pStopEvent = std::move(event);
    if (g_bStopPending)
    {
        g_pStopEvent->Set();
    }
    return true;
}

void CloseStopEvent()
{
    std::lock_guard lock(g_controlMutex);
    g_pStopEvent.reset();
    g_bStopPending = false;
}

// Prints the switch's console line; the exit status is 1 on failure.
int ReportOutcome(bool succeeded, const char* success, const char* failure)
{
    PrintLine(succeeded ? success : failure);
    return succeeded ? 0 : 1;
}

// -debug without a settings key: where the key was looked for and how to create it.
int ReportMissingSettings()
{
    const std::string keyFile =
        CRegistryKey::KeyFilePath(RegistryHive::LocalMachine, CServerSettings::REGISTRY_KEY);
    std::fprintf(stderr,
                 "No settings found in %s (TARVIQEN_REGISTRY chooses the folder).\n"
                 "Run TarviQenServer -install to create them with their defaults.\n",
                 keyFile.c_str());
    std::fflush(stderr);
    return 1;
}

int RunSwitch(Switch command, int argc, char** argv)
{
    if (command == Switch::Help)
    {
        PrintUsage(); // needs no settings
        DestroySettingsAndLog();
        return 0;
    }
    int error = 0;
    if (command == Switch::Debug &&
        !CRegistryKey::Open(RegistryHive::LocalMachine, CServerSettings::REGISTRY_KEY, error))
    {
        DestroySettingsAndLog();
        return ReportMissingSettings();
    }
    CServerSettings* pSettings = CServerSettings::GetInstance();
    if (command == Switch::Install && !pSettings->AnyValueStored() && !pSettings->CreateDefaults())
    {
        const std::string display = SERVICE_DISPLAY_NAME;
        ShowMessageBox(SERVICE_DISPLAY_NAME,
                       "Installation of " + display +
                           " service failed. You need to have administrator privelegies to be "
                           "able to install the " +
                           display + " service.");
        DestroySettingsAndLog();
        return 0;
    }
    if (!pSettings->Load(true))
    {
        CServerSettings::DestroyInstance();
        return command == Switch::Install || command == Switch::Debug ? 1 : 0;
    }
    InitLogFromSettings();
    int status = 0;
    switch (command)
    {
    case Switch::Install:
        status = ReportOutcome(InstallServerService(), "Service installed.", "Failed to install service.");
        break;
    case Switch::Start:
        status = ReportOutcome(StartServerService(), "Service started.", "Failed to start service.");
        break;
    case Switch::Stop:
        status = ReportOutcome(StopServerService(), "Service stopped.", "Failed to stop service.");
        break;
    case Switch::Remove:
        status = ReportOutcome(RemoveServerService(), "Service removed.", "Failed to remove service.");
        break;
    case Switch::Debug:
        gpLog->SetEcho(true, stdout);
        g_bDebug = true;
        RunAsConsole(argc, argv);
        status = g_bServerFailed ? SERVER_FAILED_STATUS : 0;
        break;
    case Switch::Help:
    case Switch::None:
        break;
    }
    DestroySettingsAndLog();
    return status;
}

// The service control dispatcher: the service main function runs on a thread of its
// own while the stop control (SIGTERM; SIGINT too, for a start from a terminal) is
// taken on the signal watcher's thread.
int RunServiceDispatcher(int argc, char** argv)
{
    // Blocked before any thread starts, so that every thread inherits the mask and
    // only the watcher receives them.
    BlockSignals({SIGINT, SIGQUIT, SIGTERM});
    CSignalWatcher watcher({SIGINT, SIGTERM},
                           [](int) { ServiceControlHandler(SERVICE_CONTROL_STOP); });
    if (!watcher.IsValid())
    {
        return 1;
    }
    std::thread serviceThread(ServerServiceMain, argc, argv);
    serviceThread.join();
    return g_bServerFailed ? SERVER_FAILED_STATUS : 0;
}

int RunServiceMode(int argc, char** argv)
{
    if (!CServerSettings::GetInstance()->Load(false))
    {
        DestroySettingsAndLog();
        return 0;
    }
    PrintUsage();
    PrintLine("");
    PrintLine("StartServiceCtrlDispatcher being called.");
    PrintLine("This may take several seconds.  Please wait.");
    return RunServiceDispatcher(argc, argv);
}
} // namespace

int ServerMain(int argc, char** argv)
{
    CServerSettings* pSettings = CServerSettings::GetInstance();
    if (nullptr == pSettings)
    {
        AssertFailure("NULL != pSettings", __FILE__, __LINE__);
    }
    // A console or journal that went away must not end the server (or a switch's
    // line) with SIGPIPE; writes there fail and the echo stops.
    IgnoreBrokenPipeSignal();
    const Switch command = ParseSwitch(argc, argv);
    if (command == Switch::None)
    {
        return RunServiceMode(argc, argv);
    }
    return RunSwitch(command, argc, argv);
}

void InitLogFromSettings()
{
    CLog* pLog = CLog::GetInstance();
    {
        std::lock_guard lock(g_controlMutex);
        gpLog = pLog;
    }
    const CServerSettings* pSettings = CServerSettings::GetInstance();
    gpLog->SetFilename(pSettings->Values().logFile);
    gpLog->SetLogLevel(pSettings->Values().logLevel);
    gpLog->SetMaxLines(static_cast<uint32_t>(pSettings->Values().maxLogLines));
}

bool InstallServerService()
{
    if (!GetModulePath())
    {
        const int error = errno;
        gpLog->Print(CLog::LEVEL_ERROR, "Unable to install %s - GetModuleFileName failed: %s.",
                     SERVICE_DISPLAY_NAME, FormatLastError(error).c_str());
        return false;
    }
    std::string errorText;
    if (!CreateServiceUnit(GetModuleFilePath(), errorText))
    {
        gpLog->Print(CLog::LEVEL_ERROR, "CreateService failed - %s", errorText.c_str());
        return false;
    }
    gpLog->Print(CLog::LEVEL_INFO, "%s installed.", SERVICE_DISPLAY_NAME);
    return true;
}

bool StartServerService()
{
    if (!GetModulePath())
    {
        const int error = errno;
        gpLog->Print(CLog::LEVEL_ERROR, "Unable to start %s - GetModuleFileName failed: %s.",
                     SERVICE_DISPLAY_NAME, FormatLastError(error).c_str());
        return false;
    }
    if (!OpenServiceUnit())
    {
        return false;
    }
    if (CServiceManager::Systemctl({"start", SERVICE_NAME}) != 0)
    {
        gpLog->Print(CLog::LEVEL_ERROR, "%s start failed.", SERVICE_DISPLAY_NAME);
        return false;
    }
    gpLog->Print(CLog::LEVEL_INFO, "%s started.", SERVICE_DISPLAY_NAME);
    return true;
}

bool StopServerService() { return OpenServiceUnit() && StopAndWait(); }

bool RemoveServerService()
{
    if (!OpenServiceUnit())
    {
        return false;
    }
    StopAndWait(); // a service that does not run is deleted all the same
    std::string errorText;
    if (!DeleteServiceUnit(errorText))
    {
        gpLog->Print(CLog::LEVEL_ERROR, "DeleteService failed - %s", errorText.c_str());
        return false;
    }
    gpLog->Print(CLog::LEVEL_INFO, "%s removed.", SERVICE_DISPLAY_NAME);
    return true;
}

std::string FormatLastError(int error)
{
    const std::string text = std::strerror(error);
    if (text.empty() || ERROR_TEXT_SIZE < text.size() + 14)
    {
        return {};
    }
    char buffer[ERROR_TEXT_SIZE];
    std::snprintf(buffer, sizeof(buffer), "%s (0x%x)", text.c_str(), static_cast<unsigned>(error));
    return buffer;
}

void PrintUsage()
{
    std::printf("%s -install          to install the service\n", USAGE_PROGRAM_NAME);
    std::printf("%s -remove           to remove the service\n", USAGE_PROGRAM_NAME);
    std::printf("%s -start            to start the service\n", USAGE_PROGRAM_NAME);
    std::printf("%s -stop             to stop the service\n", USAGE_PROGRAM_NAME);
    std::printf("%s -debug <params>   to run as a console app for debugging\n", USAGE_PROGRAM_NAME);
    std::fflush(stdout);
}

void RunAsConsole(int argc, char** argv)
{
    gpLog->Print(CLog::LEVEL_DEBUG, "Debugging %s.", SERVICE_DISPLAY_NAME);
    CConsoleKeyboard keyboard; // gives the terminal back when the run ends
    // SIGTERM (kill, a session's end) stops the run as Ctrl+C does.
    CSignalWatcher watcher({SIGINT, SIGQUIT, SIGTERM}, [](int signo) {
        ConsoleControlHandler(signo == SIGQUIT ? CTRL_BREAK_EVENT : CTRL_C_EVENT);
    });
    g_pConsoleKeyboard = &keyboard;
    RunServer(argc, argv);
    g_pConsoleKeyboard = nullptr;
}

void ServerServiceMain(int argc, char** argv)
{
    {
        // The control handler is the dispatcher's signal watcher; registering it
        // cannot fail here.
        std::lock_guard lock(g_statusMutex);
        g_bStatusHandle = true;
        g_status.serviceType = SERVICE_WIN32_OWN_PROCESS;
        g_status.serviceSpecificExitCode = 0;
    }
    if (ReportServiceStatus(ServiceState::StartPending, NO_ERROR, START_WAIT_HINT_MS))
    {
        RunServer(argc, argv);
    }
    ReportServiceStatus(ServiceState::Stopped, g_dwErr, 0);
}

void ServiceControlHandler(uint32_t control)
{
    if (control == SERVICE_CONTROL_STOP)
    {
        ReportServiceStatus(ServiceState::StopPending, NO_ERROR, 0);
        RequestServerStop();
        return;
    }
    ServiceState current = ServiceState::Stopped;
    {
        std::lock_guard lock(g_statusMutex);
        current = g_status.currentState;
    }
    ReportServiceStatus(current, NO_ERROR, 0);
}

bool ConsoleControlHandler(uint32_t event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    {
        return false;
    }
    {
        std::lock_guard lock(g_controlMutex);
        if (gpLog != nullptr)
        {
            gpLog->Print(CLog::LEVEL_INFO, "Stopping %s.", SERVICE_DISPLAY_NAME);
        }
    }
    RequestServerStop();
    return true;
}

void RunServer(int /*argc*/, char** /*argv*/)
{
    CServerSettings* pSettings = CServerSettings::GetInstance();
    CThreadedHostResolver resolver;
    auto pServer = std::make_unique<CProxyServer>();
    if (ReportServiceStatus(ServiceState::StartPending, NO_ERROR, START_WAIT_HINT_MS) &&
        CreateStopEvent() && ReportServiceStatus(ServiceState::Running, NO_ERROR, 0) &&
        pSettings->Load(false))
    {
        InitLogFromSettings();
        pServer->SetStopEvent(g_pStopEvent.get());
        pServer->SetConsoleKeyboard(g_pConsoleKeyboard);
        pServer->SetHostResolver(&resolver);
        if (!g_bDebug)
            pServer->SetWatchdogInterval(CServiceManager::WatchdogIntervalMs());
        if (!pServer->Run())
            g_bServerFailed = true;
        // The server refers to both singletons: it goes first.
        pServer.reset();
        DestroySettingsAndLog();
    }
    CloseStopEvent();
}

void RequestServerStop()
{
    std::lock_guard lock(g_controlMutex);
    if (g_pStopEvent)
    {
        g_pStopEvent->Set();
    }
    else
    {
        g_bStopPending = true;
    }
}

bool ReportServiceStatus(ServiceState state, uint32_t exitCode, uint32_t waitHint)
{
    if (g_bDebug)
    {
        return true; // console mode: no service manager to tell
    }
    std::lock_guard lock(g_statusMutex);
    if (!g_bStatusHandle)
    {
        return false;
    }
    g_status.controlsAccepted = state == ServiceState::StartPending ? 0 : SERVICE_ACCEPT_STOP;
    g_status.currentState = state;
    g_status.win32ExitCode = exitCode;
    g_status.waitHint = waitHint;
    const bool settled = state == ServiceState::Running || state == ServiceState::Stopped;
    g_status.checkPoint = settled ? 0 : g_dwCheckPoint++;
    return CServiceManager::Notify(StatusText(state));
}
