#pragma once
// The admin port's text protocol, as the server answers it and the console speaks it:
// the command words, the server's settings with their types and limits, and the order
// of the fields of a SHOW reply.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

// A command ends with CR; the server holds at most this many bytes of one.
inline constexpr char ADMIN_COMMAND_END = '\r';
inline constexpr size_t ADMIN_MAX_COMMAND_LENGTH = 511;

namespace AdminWord
{
inline constexpr const char* HELP = "HELP";
inline constexpr const char* LOGIN = "LOGIN";
inline constexpr const char* LOGOUT = "LOGOUT";
inline constexpr const char* SHUTDOWN = "SHUTDOWN";
inline constexpr const char* LIST = "LIST";
inline constexpr const char* SHOW = "SHOW";
inline constexpr const char* TERMINATE = "TERMINATE";
inline constexpr const char* SET = "SET";
inline constexpr const char* GET = "GET";
inline constexpr const char* CLEARLOG = "CLEARLOG";
inline constexpr const char* VIEWLOG = "VIEWLOG";
} // namespace AdminWord

// "WORD\r"; "WORD argument\r" (an empty argument still follows its space).
std::string FormatAdminCommand(std::string_view word);
std::string FormatAdminCommand(std::string_view word, std::string_view argument);

// The server's settings, one plain record: what the server loads from and saves to
// its registry key, and what the console reads with GET and changes with SET.
struct ServerSettingValues
{
    std::string adminPassword;
    int adminPort = 0;
    int clientIdleDisconnect = 0;
    int clientPort = 0;
    std::string logFile;
    int logLevel = 0;
    int maxLogLines = 10000;
    int adminLoginGrace = 30;
    int adminIdleTimeout = 0;
    // Not 0: a client's offer of the fast link is accepted. An optional registry value,
    // outside the console's table so that the console still reads older servers.
    int fastLink = 1;
};

enum class SettingId
{
    ClientIdleDisconnect,
    AdminPort,
    AdminPassword,
    ClientPort,
    LogFile,
    LogLevel,
    MaxLogLines,
    AdminLoginGrace,
    AdminIdleTimeout
};

// One setting: its name on the wire and in the registry, the record's field that holds
// it (a number or a text), the values the record can hold and its default.
struct SettingDefinition
{
    SettingId id;
    const char* name;
    int ServerSettingValues::*number; // null for a text
    std::string ServerSettingValues::*text; // null for a number
    int minimum;
    int maximum;
    size_t maxLength; // bytes of a text
    bool needsText; // an empty text cannot be used
    bool secret; // never written to the log
    // A later addition: a key without it loads its default, it is saved and logged only
    // when changed, and the console does not read it at connect.
    bool optional;
    int defaultNumber;
    const char* defaultText; // null: the program fills it in
};

// Every setting; the first ones in the order the console reads them at connect.
std::span<const SettingDefinition> ServerSettingDefinitions();
// Exact, case-sensitive; null for an unknown name.
const SettingDefinition* FindServerSetting(std::string_view name);
const SettingDefinition& ServerSetting(SettingId id);

// The value for GET: a text as it is, a number as "%d".
std::string SettingValueText(const ServerSettingValues& values, const SettingDefinition& setting);
// Stores a GET reply or a SET argument: a number is read as a decimal prefix (a text
// without digits reads as 0). False, and nothing stored, when the record cannot hold it.
bool StoreSettingText(ServerSettingValues& values, const SettingDefinition& setting,
                      std::string_view text);
// True when the record can hold the number (or text) of the setting.
bool SettingHolds(const SettingDefinition& setting, int number);
bool SettingHolds(const SettingDefinition& setting, std::string_view text);

// A SHOW reply: three times, then thirteen counters, separated by commas, in this order.
enum class ShowField
{
    ConnectTime,
    LastActivity,
    LastSeen,
    Timeouts,
    AckErrors1,
    AckErrors2,
    DuplicateData,
    OutOfSynchData,
    DataPacketsSent,
    DataPacketsReceived,
    AcksSent,
    AcksReceived,
    Pings,
    BytesSent,
    BytesReceived,
    LinkQuality,
    Count
};
inline constexpr size_t SHOW_TIME_FIELDS = 3;
inline constexpr size_t SHOW_COUNTERS = static_cast<size_t>(ShowField::Count) - SHOW_TIME_FIELDS;
// The position of a counter among the counters.
constexpr size_t ShowCounterIndex(ShowField field)
{
    return static_cast<size_t>(field) - SHOW_TIME_FIELDS;
}
