#include "admin/AdminCommandLine.h"

#include <charconv>

namespace
{
constexpr int MAX_ICON_SIZE = 1024;

bool ReadIconSize(const std::string& text, int& size)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size);
    return error == std::errc() && end == text.data() + text.size() && size >= 1 &&
           size <= MAX_ICON_SIZE;
}
} // namespace

AdminCommandLine ParseAdminCommandLine(const std::vector<std::string>& arguments)
{
    AdminCommandLine line;
    const auto invalid = [&line](std::string error)
    {
        line.action = AdminCommandLine::Invalid;
        line.error = std::move(error);
        return line;
    };
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::string& argument = arguments[i];
        const size_t left = arguments.size() - i - 1;
        if (argument == "--help" || argument == "-h")
            line.action = AdminCommandLine::Help;
        else if (argument == "--connect")
        {
            if (left < 1 || arguments[i + 1].empty())
                return invalid("--connect needs the name of a server.");
            line.connectName = arguments[++i];
        }
        else if (argument == "--export-icon")
        {
            if (left < 2 || !ReadIconSize(arguments[i + 1], line.iconSize) ||
                arguments[i + 2].empty())
                return invalid("--export-icon needs a size of 1 to 1024 pixels and a file name.");
            line.iconPath = arguments[i + 2];
            i += 2;
            if (line.action != AdminCommandLine::Help)
                line.action = AdminCommandLine::ExportIcon;
        }
        else
            return invalid("Unknown option: " + argument);
    }
    return line;
}

std::string AdminUsage()
{
    return "Usage: TarviAdmin [--connect NAME]\n"
           "       TarviAdmin --export-icon SIZE FILE\n"
           "       TarviAdmin --help\n"
           "\n"
           "The admin console of the Ostrivel Tarvi*Qen proxy server.\n"
           "\n"
           "  --connect NAME          select the server named NAME in the server list and\n"
           "                          connect to it at start\n"
           "  --export-icon SIZE FILE write the program's icon, SIZE by SIZE pixels, to the\n"
           "                          PNG file FILE and end (needs no display)\n"
           "  --help, -h              print this text and end\n"
           "\n"
           "Qt's own options (-platform, -style, ...) are accepted as well.\n";
}
