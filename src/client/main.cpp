// The device client program: runs until Ctrl+C (SIGINT), SIGTERM or the tray menu's
// Exit asks it to end. With a desktop it shows the tray icon and the indicator
// window; without one (no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM) it runs
// headless.
#include "client/HeadlessIndicator.h"
#include "client/TarviQenClient.h"
#include "client/qt/ClientGui.h"
#include "platform/Display.h"
#include "platform/SignalWatcher.h"

#include <csignal>
#include <memory>

namespace
{
int RunHeadless()
{
    CClientApplication application(std::make_unique<CHeadlessIndicator>(),
                                   CSystemSocketLayer::Instance(), CSystemClock::Instance());
    CSignalWatcher watcher({SIGINT, SIGTERM}, [&application](int) { application.RequestQuit(); });
    return application.Run();
}
} // namespace

int main(int argc, char** argv)
{
    // Blocked before any thread starts, so that only the watcher's thread sees them.
    BlockSignals({SIGINT, SIGTERM});
    // A closed standard error (the log's echo) must not end the client.
    IgnoreBrokenPipeSignal();
    if (HasDesktopDisplay())
    {
        return RunClientWithWindows(argc, argv);
    }
    return RunHeadless();
}
