// TarviAdmin: the admin console of the proxy server.
#include "admin/AdminCommandLine.h"
#include "admin/ServerConnection.h"
#include "admin/ServerList.h"
#include "admin/SessionList.h"
#include "admin/qt/AdminIcon.h"
#include "admin/qt/MainFrm.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace
{
// Help and the icon export need no window system: they are answered before one is
// opened. Everything else goes through QApplication, which takes its own options out.
bool NeedsNoWindowSystem(const std::vector<std::string>& arguments)
{
    for (const std::string& argument : arguments)
        if (argument == "--help" || argument == "-h" || argument == "--export-icon")
            return true;
    return false;
}

int RunWithoutWindows(const AdminCommandLine& line)
{
    switch (line.action)
    {
    case AdminCommandLine::Help:
        std::fputs(AdminUsage().c_str(), stdout);
        return 0;
    case AdminCommandLine::ExportIcon:
        if (ExportAdminIcon(line.iconSize, QString::fromStdString(line.iconPath)))
            return 0;
        std::fprintf(stderr, "TarviAdmin: cannot write %s.\n", line.iconPath.c_str());
        return 1;
    default:
        std::fprintf(stderr, "TarviAdmin: %s\n\n%s", line.error.c_str(), AdminUsage().c_str());
        return 1;
    }
}

int RunConsole(QApplication& application, const std::string& connectName)
{
    // A fatal assertion shows its box as well as its line on standard error.
    SetMessageBoxHandler(
        [](std::string_view caption, std::string_view text)
        {
            std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                         static_cast<int>(text.size()), text.data());
            QMessageBox::critical(nullptr, QString::fromUtf8(caption.data(), caption.size()),
                                  QString::fromUtf8(text.data(), text.size()));
        });
    CServerList::GetInstance()->load();
    int status = 0;
    {
        CMainFrame frame(*CServerList::GetInstance(), *CServerConnection::GetInstance(),
                         *CSessionList::GetInstance(), CServerConnection::GetInstance()->settings());
        frame.show();
        if (!connectName.empty())
            QTimer::singleShot(0, &frame,
                               [&frame, &connectName]
                               { frame.connectToServer(QString::fromStdString(connectName)); });
        status = application.exec();
    }
    SetMessageBoxHandler({});
    // The connection closes its socket (no LOGOUT) before the records it used go.
    CServerConnection::DestroyInstance();
    CSessionList::DestroyInstance();
    CServerList::DestroyInstance();
    return status;
}
} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> raw(argv + 1, argv + argc);
    if (NeedsNoWindowSystem(raw))
        return RunWithoutWindows(ParseAdminCommandLine(raw));
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TarviAdmin"));
    QApplication::setWindowIcon(AdminIcon());
    std::vector<std::string> arguments;
    for (const QString& argument : QApplication::arguments().mid(1))
        arguments.push_back(argument.toStdString());
    const AdminCommandLine line = ParseAdminCommandLine(arguments);
    if (line.action != AdminCommandLine::Run)
        return RunWithoutWindows(line);
    return RunConsole(application, line.connectName);
}
