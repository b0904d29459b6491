#include "platform/TempFile.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

bool CreateTempFile(const std::string& folder, std::string_view prefix, uint16_t seed,
                    std::string& path, int& error)
{
    uint16_t unique = seed;
    for (int attempt = 0; attempt < 0xFFFF; ++attempt, ++unique)
    {
        if (unique == 0)
            unique = 1;
        char digits[8];
        std::snprintf(digits, sizeof(digits), "%04X", static_cast<unsigned>(unique));
        std::string candidate = folder;
        if (candidate.empty() || candidate.back() != '/')
            candidate += '/';
        candidate.append(prefix).append(digits).append(".tmp");
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
        {
            close(fd);
            path = std::move(candidate);
            return true;
        }
        if (errno != EEXIST)
        {
            error = errno;
            return false;
        }
    }
    error = EEXIST;
    return false;
}
