// The device client program: runs until Ctrl+C (SIGINT), SIGTERM or the tray menu's
// Exit asks it to end. With a desktop it shows the tray icon and the indicator
// window; without one (no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM) it runs
// headless.
#include "client/HeadlessIndicator.h"
#include "client/TarviQenClient.h"
#include "client/qt/ClientGui.h"
#include "platform/Display.h"
#include "platform/ProgramPath.h"
#include "platform/SignalWatcher.h"
#include "platform/X11Display.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace
{
void PrintUsage()
{
    std::printf("Usage: TarviQenClient\n"
                "Runs the Ostrivel Tarvi*Qen Client: applications connect to 127.0.0.1:ListenPort\n"
                "and reach their host through the proxy server. The settings are read from\n"
                "TarviQenClientSettings.txt in the program folder ($TARVIQEN_FOLDER when set,\n"
                "else the folder of the program). The tray menu's Exit, Ctrl+C or SIGTERM end it.\n");
}

bool AsksForHelp(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-help") == 0 ||
            std::strcmp(argv[i], "-h") == 0)
        {
            return true;
        }
    }
    return false;
}

int RunHeadless(std::string notice = {})
{
    CClientApplication application(std::make_unique<CHeadlessIndicator>(),
                                   CSystemSocketLayer::Instance(), CSystemClock::Instance());
    application.SetStartNotice(std::move(notice));
    CSignalWatcher watcher({SIGINT, SIGTERM}, [&application](int) { application.RequestQuit(); });
    return application.Run();
}
} // namespace

int main(int argc, char** argv)
{
    if (AsksForHelp(argc, argv))
    {
        PrintUsage();
        return 0;
    }
    // Blocked before any thread starts, so that only the watcher's thread sees them.
    BlockSignals({SIGINT, SIGTERM});
    // A closed standard error (the log's echo) must not end the client.
    IgnoreBrokenPipeSignal();
    if (HasDesktopDisplay())
    {
        // Qt would abort on an X display it cannot open; the tunnel runs without windows.
        const std::string display = GetEnvironment("DISPLAY").value_or("");
        if (UsesX11Platform() && !CanOpenX11Display())
        {
            const std::string notice = "Cannot open display '" + display +
                                       "': running without tray icon and indicator.";
            std::fprintf(stderr, "%s\n", notice.c_str());
            return RunHeadless(notice);
        }
        return RunClientWithWindows(argc, argv);
    }
    return RunHeadless();
}
