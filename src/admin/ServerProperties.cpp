#include "admin/ServerProperties.h"

#include "admin/ServerConnection.h"
#include "admin/ServerList.h"
#include "tunnel/AdminProtocol.h"
#include "common/Assert.h"
#include "platform/TextConversion.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <vector>

namespace
{
struct Values
{
    std::string adminPassword;
    std::string logFile;
    int clientPort = 0;
    int clientIdleDisconnect = 0;
    int adminPort = 0;
    uint32_t maxLogLines = 0;
    int logLevel = 0;
};

// One setting of the apply sequence.
struct SetStep
{
    const char* name;
    bool changed;
    std::string value; // as sent
    bool sendable;
    const char* failure;
    std::function<void()> applied;
    std::function<void(ServerPropertyFields&)> restore;
};

bool ReadDigits(const std::u16string& text, size_t start, uint64_t limit, uint64_t& value)
{
    value = 0;
    if (start >= text.size())
        return false;
    for (size_t i = start; i < text.size(); ++i)
    {
        if (text[i] < u'0' || text[i] > u'9')
            return false;
        value = value * 10 + (text[i] - u'0');
        if (value > limit)
            return false;
    }
    return true;
}

bool ReadInteger(const std::u16string& text, int& number)
{
    const bool negative = !text.empty() && text[0] == u'-';
    uint64_t value = 0;
    if (!ReadDigits(text, negative ? 1 : 0, negative ? 2147483648ULL : INT_MAX, value))
        return false;
    number = negative ? static_cast<int>(-static_cast<int64_t>(value)) : static_cast<int>(value);
    return true;
}

// Fields are read in the dialog's order; the first one without a number stops Apply.
std::optional<std::string> ReadValues(const ServerPropertyFields& fields, Values& values)
{
    values.adminPassword = Utf16ToUtf8(fields.adminPassword);
    values.logFile = Utf16ToUtf8(fields.logFile);
    if (!ReadInteger(fields.clientPort, values.clientPort) ||
        !ReadInteger(fields.clientIdleDisconnect, values.clientIdleDisconnect) ||
        !ReadInteger(fields.adminPort, values.adminPort))
        return "Please enter an integer.";
    uint64_t lines = 0;
    if (!ReadDigits(fields.maxLogLines, 0, UINT32_MAX, lines))
        return "Please enter a positive integer.";
    values.maxLogLines = static_cast<uint32_t>(lines);
    TQ_ASSERT(fields.logLevelIndex >= 0 && fields.logLevelIndex <= 2);
    values.logLevel = fields.logLevelIndex + 1;
    return std::nullopt;
}

// A text that holds '=' or '"' is sent in double quotes (inner ones doubled), so
// that the server's splitter gives back exactly the text typed.
std::string SetText(const std::string& text)
{
    if (text.find_first_of("=\"") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text)
    {
        quoted.push_back(c);
        if (c == '"')
            quoted.push_back(c);
    }
    return quoted + "\"";
}

bool SendSet(CServerConnection& connection, const SetStep& step)
{
    const std::string line = std::string(AdminWord::SET) + " " + step.name + "=" + step.value;
    if (!step.sendable || line.size() > ADMIN_MAX_COMMAND_LENGTH)
        return false;
    connection.sendCommand(line + "\r");
    return connection.waitForReply(false) == 1 && connection.getReply(0) == "OK";
}

const char* Name(SettingId id)
{
    return ServerSetting(id).name;
}

std::u16string Number(long long value)
{
    return Utf8ToUtf16(std::to_string(value));
}
} // namespace

ServerPropertyFields FieldsFromSettings(const ServerSettingValues& cache)
{
    ServerPropertyFields fields;
    fields.adminPort = Number(cache.adminPort);
    fields.adminPassword = Utf8ToUtf16(cache.adminPassword);
    fields.clientPort = Number(cache.clientPort);
    fields.clientIdleDisconnect = Number(cache.clientIdleDisconnect);
    fields.logFile = Utf8ToUtf16(cache.logFile);
    fields.logLevelIndex = cache.logLevel - 1;
    fields.maxLogLines = Number(static_cast<uint32_t>(cache.maxLogLines));
    return fields;
}

namespace
{
// The seven settings in the order they are sent, each with its cache update.
std::vector<SetStep> BuildSteps(CServerConnection& connection, ServerSettingValues& cache,
                                CServerList& servers, const Values& v)
{
    const CServerDefinition* connected = connection.getServer();
    CServerDefinition* definition =
        connected != nullptr ? servers.findByName(connected->getName()) : nullptr;
    const auto store = [&servers, definition](const std::function<void(CServerDefinition&)>& f)
    {
        if (definition == nullptr)
            return;
        f(*definition);
        servers.save();
    };
    return {
        {Name(SettingId::AdminPort), v.adminPort != cache.adminPort, std::to_string(v.adminPort), true,
         "Set admin port failed.",
         [&cache, v, store]
         {
             cache.adminPort = v.adminPort;
             store([&v](CServerDefinition& d) { d.setPort(v.adminPort); });
         },
         [&cache](ServerPropertyFields& f) { f.adminPort = Number(cache.adminPort); }},
        {Name(SettingId::AdminPassword), v.adminPassword != cache.adminPassword, SetText(v.adminPassword),
         SettingHolds(ServerSetting(SettingId::AdminPassword), v.adminPassword),
         "Set admin password failed.",
         [&cache, v, store]
         {
             cache.adminPassword = v.adminPassword;
             store([&v](CServerDefinition& d) { d.setPassword(Utf8ToUtf16(v.adminPassword)); });
         },
         [&cache](ServerPropertyFields& f)
         { f.adminPassword = Utf8ToUtf16(cache.adminPassword); }},
        {Name(SettingId::ClientPort), v.clientPort != cache.clientPort, std::to_string(v.clientPort), true,
         "Set client port failed.", [&cache, v] { cache.clientPort = v.clientPort; },
         [&cache](ServerPropertyFields& f) { f.clientPort = Number(cache.clientPort); }},
        {Name(SettingId::ClientIdleDisconnect), v.clientIdleDisconnect != cache.clientIdleDisconnect,
         std::to_string(v.clientIdleDisconnect), true, "Set client idle disconnect failed.",
         [&cache, v] { cache.clientIdleDisconnect = v.clientIdleDisconnect; },
         [&cache](ServerPropertyFields& f)
         { f.clientIdleDisconnect = Number(cache.clientIdleDisconnect); }},
        {Name(SettingId::LogFile), v.logFile != cache.logFile, SetText(v.logFile), true,
         "Set log file failed.", [&cache, v] { cache.logFile = v.logFile; },
         [&cache](ServerPropertyFields& f) { f.logFile = Utf8ToUtf16(cache.logFile); }},
        {Name(SettingId::LogLevel), v.logLevel != cache.logLevel, std::to_string(v.logLevel), true,
         "Set log level failed.", [&cache, v] { cache.logLevel = v.logLevel; },
         [&cache](ServerPropertyFields& f) { f.logLevelIndex = cache.logLevel - 1; }},
        {Name(SettingId::MaxLogLines), v.maxLogLines != static_cast<uint32_t>(cache.maxLogLines),
         std::to_string(static_cast<int>(v.maxLogLines)), true, "Set max log lines failed.",
         [&cache, v] { cache.maxLogLines = static_cast<int>(v.maxLogLines); },
         [&cache](ServerPropertyFields& f)
         { f.maxLogLines = Number(static_cast<uint32_t>(cache.maxLogLines)); }},
    };
}
} // namespace

ServerPropertiesResult ApplyServerProperties(CServerConnection& connection, ServerSettingValues& cache,
                                             CServerList& servers,
                                             const ServerPropertyFields& fields)
{
    ServerPropertiesResult result{false, std::nullopt, fields};
    Values values;
    if ((result.error = ReadValues(fields, values)))
        return result;
    if (values.adminPort < 1 || values.adminPort > 65534)
        result.error = "Invalid admin port number.";
    else if (values.clientPort < 1 || values.clientPort > 65534)
        result.error = "Invalid client port number.";
    if (result.error)
        return result;
    for (const SetStep& step : BuildSteps(connection, cache, servers, values))
    {
        if (!step.changed)
            continue;
        if (!SendSet(connection, step))
        {
            result.error = step.failure;
            step.restore(result.fields);
            return result;
        }
        step.applied();
    }
    result.close = true;
    return result;
}
