#include "common/ModulePath.h"

#include "platform/ProgramPath.h"

namespace
{
// Written once at start-up, read afterwards.
std::string g_modulePath;
std::string g_moduleDirectory;
} // namespace

bool GetModulePath()
{
    std::string path;
    if (!GetExecutablePath(path))
    {
        return false;
    }
    g_modulePath = path;
    if (const auto folder = GetEnvironment("TARVIQEN_FOLDER"))
    {
        g_moduleDirectory = *folder;
    }
    else
    {
        g_moduleDirectory = path;
        StripFileName(g_moduleDirectory);
    }
    return true;
}

const std::string& GetModuleFilePath()
{
    return g_modulePath;
}

const std::string& GetModuleDirectory()
{
    return g_moduleDirectory;
}

void StripFileName(std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos)
    {
        path.erase(slash);
    }
}
