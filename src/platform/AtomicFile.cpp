#include "platform/AtomicFile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
bool WriteAll(int fd, std::string_view content)
{
    while (!content.empty())
    {
        const ssize_t n = write(fd, content.data(), content.size());
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            errno = n == 0 ? EIO : errno;
            return false;
        }
        content.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Opens a fresh temporary file next to `path`; a stale one left by a crash is never reused.
int CreateTempFile(const std::string& path, std::string& tempPath)
{
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt)
    {
        tempPath = path + ".tmp" + std::to_string(getpid()) + "." +
                   std::to_string(counter.fetch_add(1)) + "." + std::to_string(random() % 100000);
        const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
        {
            return fd;
        }
    }
    return -1;
}

// Writes the temporary file completely, with `mode` or the mode of the file it replaces.
// The mode is set before any content is written.
bool WriteTempFile(const std::string& path, std::string_view content, std::string& tempPath,
                   int& error, int mode)
{
    const int fd = CreateTempFile(path, tempPath);
    if (fd < 0)
    {
        error = errno;
        return false;
    }
    struct stat old
    {
    };
    const bool modeSet = mode != KEEP_FILE_MODE ? fchmod(fd, static_cast<mode_t>(mode)) == 0
                                                : stat(path.c_str(), &old) != 0 ||
                                                      fchmod(fd, old.st_mode & 07777) == 0;
    bool ok = modeSet && WriteAll(fd, content) && fsync(fd) == 0;
    error = ok ? 0 : errno;
    if (close(fd) != 0 && ok)
    {
        ok = false;
        error = errno;
    }
    if (!ok)
    {
        unlink(tempPath.c_str());
    }
    return ok;
}
} // namespace

bool ReadWholeFile(const std::string& path, std::string& content, int& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        error = errno;
        return false;
    }
    content.clear();
    error = 0;
    char buffer[8192];
    for (;;)
    {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0)
        {
            content.append(buffer, static_cast<size_t>(n));
        }
        else if (n == 0 || errno != EINTR)
        {
            error = n == 0 ? 0 : errno;
            break;
        }
    }
    close(fd);
    return error == 0;
}

bool WriteFileAtomically(const std::string& path, std::string_view content, int& error, int mode)
{
    std::string tempPath;
    if (!WriteTempFile(path, content, tempPath, error, mode))
    {
        return false;
    }
    if (rename(tempPath.c_str(), path.c_str()) != 0)
    {
        error = errno;
        unlink(tempPath.c_str());
        return false;
    }
    return true;
}

bool CreateFileAtomically(const std::string& path, std::string_view content, int& error, int mode)
{
    std::string tempPath;
    if (!WriteTempFile(path, content, tempPath, error, mode))
    {
        return false;
    }
    // link() fails with EEXIST instead of replacing a file that is already there.
    const bool ok = link(tempPath.c_str(), path.c_str()) == 0;
    error = ok ? 0 : errno;
    unlink(tempPath.c_str());
    return ok;
}
