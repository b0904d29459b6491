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
// Spawn attributes: the child starts with no signal blocked, whatever this process
// blocks for its signal watcher, and with SIGPIPE's default action even where this
// process ignores it.
class CSpawnAttributes
{
  public:
    CSpawnAttributes()
    {
        m_bInitialized = posix_spawnattr_init(&m_attributes) == 0;
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        m_bValid = m_bInitialized && posix_spawnattr_setsigmask(&m_attributes, &none) == 0 &&
                   posix_spawnattr_setsigdefault(&m_attributes, &defaults) == 0 &&
                   posix_spawnattr_setflags(&m_attributes,
                                            POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
    ~CSpawnAttributes()
    {
        if (m_bInitialized)
        {
            posix_spawnattr_destroy(&m_attributes);
        }
    }
    CSpawnAttributes(const CSpawnAttributes&) = delete;
    CSpawnAttributes& operator=(const CSpawnAttributes&) = delete;
    bool IsValid() const { return m_bValid; }
    posix_spawnattr_t* Get() { return &m_attributes; }

  private:
    posix_spawnattr_t m_attributes{};
    bool m_bInitialized = false;
    bool m_bValid = false;
};

// posix_spawn file actions released on every path.
class CSpawnActions
{
  public:
    CSpawnActions() { m_bValid = posix_spawn_file_actions_init(&m_actions) == 0; }
    ~CSpawnActions()
    {
        if (m_bValid)
        {
            posix_spawn_file_actions_destroy(&m_actions);
        }
    }
    CSpawnActions(const CSpawnActions&) = delete;
    CSpawnActions& operator=(const CSpawnActions&) = delete;
    bool IsValid() const { return m_bValid; }
    posix_spawn_file_actions_t* Get() { return &m_actions; }

  private:
    posix_spawn_file_actions_t m_actions{};
    bool m_bValid = false;
};

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
    if (!actions.IsValid() || !attributes.IsValid() ||
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
