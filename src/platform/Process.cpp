#include "platform/Process.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
// A posix_spawn object, initialised with the object and destroyed with it.
template <class T, auto INIT, auto DESTROY> class CSpawnObject
{
  public:
    CSpawnObject() : m_bValid(INIT(&m_object) == 0) {}
    ~CSpawnObject()
    {
        if (m_bValid)
        {
            DESTROY(&m_object);
        }
    }
    CSpawnObject(const CSpawnObject&) = delete;
    CSpawnObject& operator=(const CSpawnObject&) = delete;
    bool IsValid() const { return m_bValid; }
    T* Get() { return &m_object; }

  private:
    T m_object{};
    bool m_bValid;
};
using CSpawnActions = CSpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                   posix_spawn_file_actions_destroy>;
using CSpawnAttributes =
    CSpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

// The child starts with no signal blocked, whatever this process blocks for its signal
// watcher, and with SIGPIPE's default action even where this process ignores it.
bool SetChildSignals(CSpawnAttributes& attributes)
{
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    return attributes.IsValid() && posix_spawnattr_setsigmask(attributes.Get(), &none) == 0 &&
           posix_spawnattr_setsigdefault(attributes.Get(), &defaults) == 0 &&
           posix_spawnattr_setflags(attributes.Get(),
                                    POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
}

void ReadAll(int fd, std::string& output)
{
    char buffer[4096];
    for (;;)
    {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0)
        {
            output.append(buffer, static_cast<size_t>(n));
        }
        else if (n == 0 || errno != EINTR)
        {
            return;
        }
    }
}

int WaitForChild(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
    {
        if (errno != EINTR)
        {
            return -1;
        }
    }
    if (WIFEXITED(status))
    {
        return WEXITSTATUS(status);
    }
    // Killed by a signal: reported as the shell does.
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}
} // namespace

[[noreturn]] void TerminateProcessNow(int exitCode)
{
    _exit(exitCode);
}

int RunCommand(const std::vector<std::string>& argv, std::string* output)
{
    if (argv.empty())
    {
        return -1;
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv)
    {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    CSpawnActions actions;
    CSpawnAttributes attributes;
    int pipeFds[2] = {-1, -1};
    if (!actions.IsValid() || !SetChildSignals(attributes) ||
        (output != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0))
    {
        return -1;
    }
    if (output != nullptr)
    {
        posix_spawn_file_actions_adddup2(actions.Get(), pipeFds[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int spawnError =
        posix_spawnp(&pid, args[0], actions.Get(), attributes.Get(), args.data(), environ);
    if (output != nullptr)
    {
        close(pipeFds[1]);
        if (spawnError == 0)
        {
            output->clear();
            ReadAll(pipeFds[0], *output);
        }
        close(pipeFds[0]);
    }
    return spawnError == 0 ? WaitForChild(pid) : -1;
}
