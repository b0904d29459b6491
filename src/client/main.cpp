// The device client program: runs until Ctrl+C (SIGINT) or SIGTERM asks it to end.
#include "client/HeadlessIndicator.h"
#include "client/TarviQenClient.h"
#include "platform/SignalWatcher.h"

#include <csignal>
#include <memory>

int main()
{
    // Blocked before any thread starts, so that only the watcher's thread sees them.
    BlockSignals({SIGINT, SIGTERM});
    // A closed standard error (the log's echo) must not end the client.
    IgnoreBrokenPipeSignal();
    CClientApplication application(std::make_unique<CHeadlessIndicator>(),
                                   CSystemSocketLayer::Instance(), CSystemClock::Instance());
    CSignalWatcher watcher({SIGINT, SIGTERM}, [&application](int) { application.RequestQuit(); });
    application.Run();
    return 0;
}
