#pragma once
// TarviAdmin's command line: its own options, after the window system has taken its
// (-platform, -style, ...) out.
#include <string>
#include <vector>

struct AdminCommandLine
{
    enum Action
    {
        // Open the console (on the server named `connectName` when it is set).
        Run,
        // Print the usage and end with status 0.
        Help,
        // Write the program's icon as a PNG file of `iconSize` pixels to `iconPath`.
        ExportIcon,
        // Print `error` and the usage, end with status 1.
        Invalid
    };
    Action action = Run;
    std::string connectName;
    int iconSize = 0;
    std::string iconPath;
    std::string error;
};

// The arguments without the program name.
AdminCommandLine ParseAdminCommandLine(const std::vector<std::string>& arguments);

// The usage text, ended by a line feed.
std::string AdminUsage();
