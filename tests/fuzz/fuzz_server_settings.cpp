// The server's settings key of any bytes: loading never trips an assertion, a key
// that loads holds values the server can use, and what Save writes loads back to
// the same values.
#include "FuzzSupport.h"

#include "common/Log.h"
#include "platform/Registry.h"
#include "server/ServerSettings.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace
{

constexpr std::array<const char*, 7> NAMES = {"AdminPassword", "AdminPort", "ClientIdleDisconnect",
                                              "ClientPort",    "LogFile",   "LogLevel",
                                              "MaxLogLines"};

std::array<std::string, 7> Values(const CServerSettings& settings)
{
    std::array<std::string, 7> values;
    for (size_t i = 0; i < NAMES.size(); ++i)
        FUZZ_CHECK(settings.GetValueText(NAMES[i], values[i]));
    return values;
}

CServerSettings& Fresh()
{
    CServerSettings::DestroyInstance();
    return *CServerSettings::GetInstance();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    static const std::string file = []
    {
        setenv("TARVIQEN_REGISTRY", tq_fuzz::ScratchFolder().c_str(), 1);
        const std::string path =
            CRegistryKey::KeyFilePath(RegistryHive::LocalMachine, CServerSettings::REGISTRY_KEY);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        return path;
    }();
    tq_fuzz::WriteWholeFile(file, {data, size});
    (void)Fresh().AnyValueStored();
    CServerSettings& settings = Fresh();
    if (!settings.Load(false))
    {
        CServerSettings::DestroyInstance();
        return 0;
    }
    FUZZ_CHECK(CLog::isValidLogLevel(settings.Values().logLevel));
    FUZZ_CHECK(!settings.Values().logFile.empty());
    FUZZ_CHECK(settings.Values().adminPassword.size() < CServerSettings::MAX_PASSWORD_LENGTH);
    const auto loaded = Values(settings);
    FUZZ_CHECK(settings.Save());
    CServerSettings& reloaded = Fresh();
    FUZZ_CHECK(reloaded.Load(false));
    FUZZ_CHECK(Values(reloaded) == loaded);
    CServerSettings::DestroyInstance();
    return 0;
}
