#include "client/qt/ClientGui.h"

#include "client/QueuedIndicator.h"
#include "client/TarviQenClient.h"
#include "client/qt/IndicatorQt.h"
#include "client/qt/MessageBoxQt.h"
#include "client/qt/TrayImages.h"
#include "platform/ProgramPath.h"
#include "platform/SignalWatcher.h"

#include <QApplication>

#include <atomic>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace
{
// Queued to `context`'s thread; dropped if the object is gone by then.
CQueuedIndicator::Poster PosterFor(QObject* context)
{
    return [context](CQueuedIndicator::Task task)
    { QMetaObject::invokeMethod(context, std::move(task), Qt::QueuedConnection); };
}

// The main loop on its own thread while this thread serves the windows. The loop
// ends on a quit request (the menu's Exit, SIGINT, SIGTERM) or a listener failure,
// and then ends Qt's event loop: at once on a quit request, else once the user has
// read the open message boxes.
void RunMainLoop(QApplication& application, CClientApplication& client,
                 const std::atomic<bool>& quitRequested)
{
    std::atomic<bool> loopDone{false};
    std::thread loop(
        [&]
        {
            client.MainLoop();
            loopDone = true;
            const bool closeOpen = quitRequested;
            QMetaObject::invokeMethod(
                &application, [closeOpen] { CMessageBoxQt::QuitWhenClosed(closeOpen); },
                Qt::QueuedConnection);
        });
    QApplication::exec();
    // Should the event loop have ended first, the main loop is asked to end, and
    // its message boxes are still served until it has.
    client.RequestQuit();
    while (!loopDone)
    {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    loop.join();
}
} // namespace

int RunClientWithWindows(int argc, char** argv)
{
    // Wayland lets no program place its own window or keep it on top; where X is
    // there as well, the indicator uses it unless a platform was chosen.
    if (!GetEnvironment("QT_QPA_PLATFORM") && GetEnvironment("DISPLAY"))
    {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The program's icon in the window system: the tray picture of a perfect link.
    QApplication::setWindowIcon(MakeTrayIcon(CIndicatorWnd::FIRST_TRAY_IMAGE + 10));
    CMessageBoxQt::Install(!CMessageBoxQt::IsInvisiblePlatform());
    IClock& clock = CSystemClock::Instance();
    CIndicatorQt indicator(clock);
    CClientApplication client(
        std::make_unique<CQueuedIndicator>(indicator.Logic(), PosterFor(&indicator), clock),
        CSystemSocketLayer::Instance(), clock);
    // The launcher's first-start hint, where a user started from the menu sees it.
    if (const std::optional<std::string> notice = GetEnvironment("TARVIQEN_NOTICE"))
    {
        client.SetStartNotice(*notice);
        if (!CMessageBoxQt::IsInvisiblePlatform())
        {
            CMessageBoxQt::Open(QString::fromUtf8(CClientApplication::PRODUCT_NAME),
                                QString::fromStdString(*notice));
        }
    }
    // The menu's Exit, SIGINT and SIGTERM end the program alike, and close the open
    // message boxes.
    std::atomic<bool> quitRequested{false};
    const auto requestExit = [&client, &application, &quitRequested]
    {
        quitRequested = true;
        client.RequestQuit();
        QMetaObject::invokeMethod(&application, [] { CMessageBoxQt::CloseAll(); },
                                  Qt::QueuedConnection);
    };
    indicator.SetExitHandler(requestExit);
    CSignalWatcher watcher({SIGINT, SIGTERM}, [&requestExit](int) { requestExit(); });
    if (client.Startup())
    {
        RunMainLoop(application, client, quitRequested);
        client.Shutdown();
    }
    // Boxes still open when the program ends go with it.
    CMessageBoxQt::CloseAll();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    CMessageBoxQt::Uninstall();
    return 0;
}
