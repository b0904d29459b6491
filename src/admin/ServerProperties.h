#pragma once
// The logic of the properties dialog: its fields filled from the console's settings
// cache, and Apply: the field checks, then one SET for each changed setting.
#include <optional>
#include <string>

class CServerConnection;
class CServerList;
struct ServerSettingValues;

// The dialog's fields: the edit controls as typed, the log level list's position
// (0 Error, 1 Info, 2 Debug).
struct ServerPropertyFields
{
    std::u16string adminPort;
    std::u16string adminPassword;
    std::u16string clientPort;
    std::u16string clientIdleDisconnect;
    std::u16string logFile;
    int logLevelIndex = 0;
    std::u16string maxLogLines;
    bool operator==(const ServerPropertyFields&) const = default;
};

// The limits of the edit controls.
inline constexpr size_t MAX_ADMIN_PASSWORD_LENGTH = 127;
inline constexpr size_t MAX_LOG_FILE_LENGTH = 259;

struct ServerPropertiesResult
{
    // True: every change was applied; close the dialog.
    bool close = false;
    // The text of the error box, if one is to be shown.
    std::optional<std::string> error;
    // What the fields show now (after a failed SET, that setting's cached value).
    ServerPropertyFields fields;
};

ServerPropertyFields FieldsFromSettings(const ServerSettingValues& cache);

// Apply with the dialog's fields. The connected server's definition in `servers`
// receives a changed admin port or password, and the list is saved.
ServerPropertiesResult ApplyServerProperties(CServerConnection& connection, ServerSettingValues& cache,
                                             CServerList& servers,
                                             const ServerPropertyFields& fields);
