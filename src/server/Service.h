#pragma once
// The server program's entry: the command-line switches, the service's registration
// with the service manager (systemd), service mode and console mode (-debug), and
// the start procedure shared by both running modes.
#include <cstdint>
#include <string>

inline constexpr const char* SERVICE_NAME = "TarviQenService";
inline constexpr const char* SERVICE_DISPLAY_NAME = "Ostrivel Tarvi*Qen Server";
inline constexpr const char* USAGE_PROGRAM_NAME = "TarviQen";

// Service states as reported to the service manager.
enum class ServiceState : uint32_t
{
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4
};

// Service control codes.
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// Console control events: Ctrl+C (SIGINT) and Ctrl+Break (SIGQUIT).
inline constexpr uint32_t CTRL_C_EVENT = 0;
inline constexpr uint32_t CTRL_BREAK_EVENT = 1;

// The whole program; returns the exit status.
int ServerMain(int argc, char** argv);

void InitLogFromSettings();
bool InstallServerService();
bool RemoveServerService();
bool StartServerService();
// True when the service reached the stopped state.
bool StopServerService();
void RunAsConsole(int argc, char** argv);
void ServerServiceMain(int argc, char** argv);
void ServiceControlHandler(uint32_t control);
bool ConsoleControlHandler(uint32_t event);
void RunServer(int argc, char** argv);
void RequestServerStop();
bool ReportServiceStatus(ServiceState state, uint32_t exitCode, uint32_t waitHint);
// "<system text> (0x<code>)" for an errno value; empty when no text fits 256 characters.
std::string FormatLastError(int error);
void PrintUsage();
