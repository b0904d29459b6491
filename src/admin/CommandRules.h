#pragma once
// The console's commands and the rules that enable them: in the menu bar, and in the
// Servers view's menu on a server item.
#include <string>

enum class AdminCommand
{
    Connect,
    Disconnect,
    Add,
    Edit,
    Remove,
    ClearLog,
    ViewLog,
    Properties,
    Refresh,
    Terminate,
    About,
    Exit
};

// What the rules look at.
struct ConsoleState
{
    // The connection reports itself connected.
    bool connected = false;
    // The Servers view's current item names a listed server.
    bool serverSelected = false;
};

// The menu bar's rule for `command`.
bool IsCommandEnabled(AdminCommand command, const ConsoleState& state);

// The rule of the menu opened on the server item `itemName`: Connect, Edit and Remove
// while not connected; Disconnect, Clear Log, View Log and Properties while connected
// to exactly that server (`connectedName`, the connection's own copy).
bool IsServerItemCommandEnabled(AdminCommand command, bool connected,
                                const std::u16string& itemName,
                                const std::u16string& connectedName);

// The status-bar prompt of a command of the menu bar (empty for none).
const char* CommandPrompt(AdminCommand command);
