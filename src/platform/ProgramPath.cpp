#include "platform/ProgramPath.h"

#include <cstdlib>
#include <unistd.h>
#include <vector>

bool GetExecutablePath(std::string& path)
{
    std::vector<char> buffer(4096);
    for (;;)
    {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
        {
            return false;
        }
        if (static_cast<size_t>(length) < buffer.size())
        {
            path.assign(buffer.data(), static_cast<size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2); // cut off: try again with more room
    }
}

std::optional<std::string> GetEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
    {
        return std::nullopt;
    }
    return std::string(value);
}
