#include "platform/ServiceManager.h"

#include "platform/AtomicFile.h"
#include "platform/Process.h"
#include "platform/ProgramPath.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
std::string UnitText(const ServiceUnit& unit)
{
    std::string text = "[Unit]\nDescription=" + unit.description + "\n\n[Service]\nType=notify\n" +
                       "ExecStart=" + unit.execStart + "\n";
    for (const std::string& line : unit.environment)
    {
        text += "Environment=" + line + "\n";
    }
    text += "Restart=on-failure\n\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

// The notify socket's address; a leading '@' names the abstract namespace.
bool NotifyAddress(const std::string& path, sockaddr_un& address, socklen_t& length)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
    {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    if (path[0] == '@')
    {
        address.sun_path[0] = '\0';
    }
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                    (path[0] == '@' ? 0 : 1));
    return true;
}
} // namespace

std::string CServiceManager::UnitFolder()
{
    return GetEnvironment("TARVIQEN_SYSTEMD_DIR").value_or("/etc/systemd/system");
}

std::string CServiceManager::UnitPath(const std::string& name)
{
    return UnitFolder() + "/" + name + ".service";
}

bool CServiceManager::UnitExists(const std::string& name)
{
    struct stat info
    {
    };
    return stat(UnitPath(name).c_str(), &info) == 0;
}

bool CServiceManager::WriteUnit(const ServiceUnit& unit, int& error)
{
    return CreateFileAtomically(UnitPath(unit.name), UnitText(unit), error);
}

bool CServiceManager::DeleteUnit(const std::string& name, int& error)
{
    if (unlink(UnitPath(name).c_str()) != 0)
    {
        error = errno;
        return false;
    }
    error = 0;
    return true;
}

int CServiceManager::Systemctl(const std::vector<std::string>& args, std::string* output)
{
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(GetEnvironment("TARVIQEN_SYSTEMCTL").value_or("systemctl"));
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, output);
}

std::string CServiceManager::ActiveState(const std::string& name)
{
    std::string output;
    Systemctl({"is-active", name}, &output); // non-zero for every state but "active"
    std::string line = output.substr(0, output.find('\n'));
    const size_t first = line.find_first_not_of(" \t\r");
    const size_t last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos)
    {
        return "unknown";
    }
    return line.substr(first, last - first + 1);
}

bool CServiceManager::Notify(const std::string& state)
{
    const auto path = GetEnvironment("NOTIFY_SOCKET");
    if (!path)
    {
        return true;
    }
    sockaddr_un address{};
    socklen_t length = 0;
    if (!NotifyAddress(*path, address, length))
    {
        return false;
    }
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
    {
        return false;
    }
    const ssize_t sent = sendto(s, state.data(), state.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), length);
    close(s);
    return sent == static_cast<ssize_t>(state.size());
}

uint32_t CServiceManager::WatchdogIntervalMs()
{
    const auto usec = GetEnvironment("WATCHDOG_USEC");
    const auto pid = GetEnvironment("WATCHDOG_PID");
    if (!usec || !GetEnvironment("NOTIFY_SOCKET") ||
        (pid && std::strtoll(pid->c_str(), nullptr, 10) != static_cast<long long>(getpid())))
    {
        return 0;
    }
    const unsigned long long micro = std::strtoull(usec->c_str(), nullptr, 10);
    return static_cast<uint32_t>(std::min<unsigned long long>(micro / 3000, UINT32_MAX));
}
