#include "tunnel/AdminProtocol.h"

#include "common/Log.h"
#include "common/MyString.h"

#include <array>
#include <climits>

namespace
{
using V = ServerSettingValues;
constexpr size_t ANY_LENGTH = SIZE_MAX;
constexpr int DEFAULT_PORT = 7000;

constexpr SettingDefinition Number(SettingId id, const char* name, int V::*field, int minimum,
                                   int maximum, int defaultNumber, bool optional = false)
{
    return {id,    name,  field,    nullptr,       minimum, maximum, 0,
            false, false, optional, defaultNumber, nullptr};
}

constexpr SettingDefinition Text(SettingId id, const char* name, std::string V::*field,
                                 size_t maxLength, bool needsText, bool secret,
                                 const char* defaultText)
{
    return {id, name, nullptr, field, 0, 0, maxLength, needsText, secret, false, 0, defaultText};
}

// Numbers the record can hold: any but a log level outside Error..Debug. A password
// is shorter than 128 bytes; a log file is named.
constexpr std::array<SettingDefinition, 9> SETTINGS = {
    Number(SettingId::ClientIdleDisconnect, "ClientIdleDisconnect", &V::clientIdleDisconnect,
           INT_MIN, INT_MAX, 0),
    Number(SettingId::AdminPort, "AdminPort", &V::adminPort, INT_MIN, INT_MAX, DEFAULT_PORT),
    Text(SettingId::AdminPassword, "AdminPassword", &V::adminPassword, 127, false, true, "5318"),
    Number(SettingId::ClientPort, "ClientPort", &V::clientPort, INT_MIN, INT_MAX, DEFAULT_PORT),
    Text(SettingId::LogFile, "LogFile", &V::logFile, ANY_LENGTH, true, false, nullptr),
    Number(SettingId::LogLevel, "LogLevel", &V::logLevel, CLog::LEVEL_ERROR, CLog::LEVEL_DEBUG,
           CLog::LEVEL_INFO),
    Number(SettingId::MaxLogLines, "MaxLogLines", &V::maxLogLines, INT_MIN, INT_MAX, 10000),
    // Seconds an admin connection may take to log in, and may stay silent once logged
    // in; 0 = no limit.
    Number(SettingId::AdminLoginGrace, "AdminLoginGrace", &V::adminLoginGrace, 0, INT_MAX, 30, true),
    Number(SettingId::AdminIdleTimeout, "AdminIdleTimeout", &V::adminIdleTimeout, 0, INT_MAX, 0, true),
};
} // namespace

std::string FormatAdminCommand(std::string_view word)
{
    std::string line(word);
    line += ADMIN_COMMAND_END;
    return line;
}

std::string FormatAdminCommand(std::string_view word, std::string_view argument)
{
    std::string line(word);
    line += ' ';
    line += argument;
    line += ADMIN_COMMAND_END;
    return line;
}

std::span<const SettingDefinition> ServerSettingDefinitions() { return SETTINGS; }

const SettingDefinition* FindServerSetting(std::string_view name)
{
    for (const SettingDefinition& setting : SETTINGS)
        if (name == setting.name)
            return &setting;
    return nullptr;
}

const SettingDefinition& ServerSetting(SettingId id)
{
    for (const SettingDefinition& setting : SETTINGS)
        if (setting.id == id)
            return setting;
    return SETTINGS[0]; // every id has its entry
}

std::string SettingValueText(const ServerSettingValues& values, const SettingDefinition& setting)
{
    if (setting.text != nullptr)
        return values.*setting.text;
    return std::to_string(values.*setting.number);
}

bool SettingHolds(const SettingDefinition& setting, int number)
{
    return number >= setting.minimum && number <= setting.maximum;
}

bool SettingHolds(const SettingDefinition& setting, std::string_view text)
{
    return text.size() <= setting.maxLength;
}

bool StoreSettingText(ServerSettingValues& values, const SettingDefinition& setting,
                      std::string_view text)
{
    if (setting.text != nullptr)
    {
        if (!SettingHolds(setting, text))
            return false;
        values.*setting.text = std::string(text);
        return true;
    }
    const int number = ReadDecimal(text);
    if (!SettingHolds(setting, number))
        return false;
    values.*setting.number = number;
    return true;
}
