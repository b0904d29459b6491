#include "admin/ConsoleCommands.h"

#include "admin/ServerConnection.h"
#include "admin/SessionList.h"
#include "platform/TempFile.h"
#include "platform/TextConversion.h"
#include "platform/Time.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

std::string ConnectedTitle(const CServerDefinition& server)
{
    return std::string(PROGRAM_TITLE) + " - Connected to " + Utf16ToUtf8(server.getName()) + " (" +
           Utf16ToUtf8(server.getAddress()) + ":" + std::to_string(server.getPort()) + ")";
}

std::string AboutTitle()
{
    return std::string("About ") + PROGRAM_TITLE;
}

std::string AboutLine()
{
    return std::string(PROGRAM_TITLE) + " v" + PROGRAM_VERSION;
}

bool TerminateSessions(CServerConnection& connection, CSessionList& sessions,
                       std::span<const int> selectedRows, IConsolePrompts& prompts)
{
    if (selectedRows.empty())
        return false;
    if (selectedRows.size() >= 2 &&
        !prompts.ask("Are you sure you want to terminate the selected sessions?"))
        return false;
    for (const int row : selectedRows)
    {
        // The server ends a command at its CR: an ID that holds one (only a broken
        // server lists such a thing) must not send the rest as a command of its own.
        const std::u16string listed = sessions.getSessionID(row);
        const std::string sessionId = Utf16ToUtf8(listed.substr(0, listed.find(u'\r')));
        if (selectedRows.size() == 1 &&
            !prompts.ask("Are you sure you want to terminate the session " + sessionId + "?"))
            return false;
        connection.sendCommand(FormatAdminCommand(AdminWord::TERMINATE, sessionId));
        if (connection.waitForReply(false) == 0)
        {
            prompts.showError("Terminate session failed.");
            return false;
        }
        if (connection.getReply(0) != "OK")
        {
            prompts.showError(connection.getReply(0));
            return false;
        }
    }
    std::vector<int> rows(selectedRows.begin(), selectedRows.end());
    std::sort(rows.rbegin(), rows.rend());
    for (const int row : rows)
        sessions.removeSession(row);
    return true;
}

void ClearServerLog(CServerConnection& connection, IConsolePrompts& prompts)
{
    if (!prompts.ask("Are you sure you want to clear the server's log?"))
        return;
    connection.sendCommand(FormatAdminCommand(AdminWord::CLEARLOG));
    if (connection.waitForReply(false) == 0)
        prompts.showError("Clear log command failed.");
    else if (connection.getReply(0) != "OK")
        prompts.showError(connection.getReply(0));
}

LogDownload DownloadServerLog(CServerConnection& connection, const std::string& folder)
{
    LogDownload download;
    int error = 0;
    std::string path;
    const std::string cannotCreate = "Could not create a temporary file in " + folder + ".";
    if (!CreateTempFile(folder, "TQ1", static_cast<uint16_t>(GetTickCount()), path, error))
    {
        download.error = cannotCreate;
        return download;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file)
    {
        std::remove(path.c_str());
        download.error = cannotCreate;
        return download;
    }
    connection.sendCommand(FormatAdminCommand(AdminWord::VIEWLOG));
    const bool received = connection.receiveToFile(file) == 1;
    file.close();
    if (!received || file.fail())
    {
        std::remove(path.c_str());
        download.error = "View log command failed.";
        return download;
    }
    download.path = path;
    return download;
}
