#pragma once
// The main window's commands that talk to the server, as plain sequences: the window
// answers their questions and shows their error boxes through IConsolePrompts.
#include <span>
#include <string>

class CServerConnection;
class CServerDefinition;
class CSessionList;

inline constexpr const char* PROGRAM_TITLE = "Ostrivel Tarvi*Qen Admin";
inline constexpr const char* PROGRAM_VERSION = "1.0.9";

// The operator, as the commands see it.
class IConsolePrompts
{
public:
    virtual ~IConsolePrompts() = default;
    // A Yes/No question; true for Yes.
    virtual bool ask(const std::string& question) = 0;
    // An error box with an OK button.
    virtual void showError(const std::string& text) = 0;
};

// "Ostrivel Tarvi*Qen Admin - Connected to NAME (ADDRESS:PORT)".
std::string ConnectedTitle(const CServerDefinition& server);
// The About dialog's title and its line.
std::string AboutTitle();
std::string AboutLine();

// Terminate for the selected rows (ascending): the question(s), one TERMINATE per row
// from the top, and when every one was answered OK the rows leave the list, the
// highest first. True when rows were removed (the view is to be redrawn).
bool TerminateSessions(CServerConnection& connection, CSessionList& sessions,
                       std::span<const int> selectedRows, IConsolePrompts& prompts);

// Clear Log: the question, CLEARLOG, and the error box of anything but OK.
void ClearServerLog(CServerConnection& connection, IConsolePrompts& prompts);

struct LogDownload
{
    // The file to open; empty when the download failed.
    std::string path;
    // The error box's text when it failed.
    std::string error;
};

// View Log's download: a new file TQ1XXXX.tmp in `folder` receives the VIEWLOG stream.
// The file is created before VIEWLOG is sent, so a folder that takes no file leaves
// no stream in flight; a failed download removes its partial file.
LogDownload DownloadServerLog(CServerConnection& connection, const std::string& folder);
