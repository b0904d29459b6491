#pragma once
// The service manager: systemd. Units go to /etc/systemd/system or
// $TARVIQEN_SYSTEMD_DIR; the command is systemctl or $TARVIQEN_SYSTEMCTL.
#include <cstdint>
#include <string>
#include <vector>

struct ServiceUnit
{
    std::string name; // without ".service"
    std::string description;
    std::string execStart;
    std::vector<std::string> environment; // NAME=value lines
};

class CServiceManager
{
public:
    static std::string UnitFolder();
    static std::string UnitPath(const std::string& name);
    static bool UnitExists(const std::string& name);
    // Writes the unit file (Type=notify, Restart=on-failure, multi-user target).
    // On failure `error` holds an errno value.
    static bool WriteUnit(const ServiceUnit& unit, int& error);
    static bool DeleteUnit(const std::string& name, int& error);
    // Runs systemctl with the arguments; returns its exit status (-1 if it could not run).
    static int Systemctl(const std::vector<std::string>& args, std::string* output = nullptr);
    // `systemctl is-active` of the unit: "active", "inactive", "deactivating", ...
    static std::string ActiveState(const std::string& name);
    // Sends a status line to systemd's notify socket when NOTIFY_SOCKET is set
    // ("READY=1", "STOPPING=1", "STATUS=..."); true when sent or not under systemd.
    static bool Notify(const std::string& state);
    // How often to send "WATCHDOG=1": a third of WATCHDOG_USEC (set by systemd with
    // WatchdogSec= for this process), in milliseconds; 0 when no watchdog waits.
    static uint32_t WatchdogIntervalMs();
};
