#include "admin/CommandRules.h"

bool IsCommandEnabled(AdminCommand command, const ConsoleState& state)
{
    switch (command)
    {
    case AdminCommand::Connect:
    case AdminCommand::Edit:
    case AdminCommand::Remove:
        return state.serverSelected && !state.connected;
    case AdminCommand::Add:
        return !state.connected;
    case AdminCommand::Disconnect:
    case AdminCommand::ClearLog:
    case AdminCommand::ViewLog:
    case AdminCommand::Properties:
    case AdminCommand::Refresh:
        return state.connected;
    case AdminCommand::Terminate:
    case AdminCommand::About:
    case AdminCommand::Exit:
        return true;
    }
    return false;
}

bool IsServerItemCommandEnabled(AdminCommand command, bool connected,
                                const std::u16string& itemName, const std::u16string& connectedName)
{
    switch (command)
    {
    case AdminCommand::Connect:
    case AdminCommand::Edit:
    case AdminCommand::Remove:
        return !connected;
    case AdminCommand::Disconnect:
    case AdminCommand::ClearLog:
    case AdminCommand::ViewLog:
    case AdminCommand::Properties:
        return connected && itemName == connectedName;
    default:
        return false;
    }
}

const char* CommandPrompt(AdminCommand command)
{
    switch (command)
    {
    case AdminCommand::Connect:
        return "Connect to the currently selected server.";
    case AdminCommand::Disconnect:
        return "Disconnect from the currently connected server.";
    case AdminCommand::Add:
        return "Add a new server definition";
    case AdminCommand::Edit:
        return "Edits the currently selected server definition.";
    case AdminCommand::Remove:
        return "Removes the currently selected server definition.";
    case AdminCommand::ClearLog:
        return "Clears the connected server's log.";
    case AdminCommand::ViewLog:
        return "View the connected server's log.";
    case AdminCommand::Properties:
        return "Display the connected server's properties.";
    case AdminCommand::Refresh:
        return "Refreshes the session list.";
    case AdminCommand::Terminate:
        return "Terminates the selected sessions.";
    case AdminCommand::About:
        return "Display program information";
    case AdminCommand::Exit:
        return "Quit the application";
    }
    return "";
}
