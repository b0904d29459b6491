// Message boxes with windows: the line on standard error always; the dialog, when
// shown from another thread, holds that thread until it is closed.
#include "client/qt/MessageBoxQt.h"
#include "platform/MessageBox.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace
{
QMessageBox* OpenBox()
{
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

// Serves the GUI thread's events until `condition` holds or 10 s have passed.
bool ProcessUntil(const std::function<bool()>& condition)
{
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!condition() && std::chrono::steady_clock::now() < end)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    return condition();
}
} // namespace

TEST(MessageBoxQtTest, WithoutDialogsOnlyTheLineIsWritten)
{
    EXPECT_TRUE(CMessageBoxQt::IsInvisiblePlatform());
    CMessageBoxQt::Install(false);
    testing::internal::CaptureStderr();
    ShowMessageBox("Ostrivel Tarvi*Qen Client", "Proxy session is no longer valid");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Ostrivel Tarvi*Qen Client: Proxy session is no longer valid\n");
    EXPECT_EQ(OpenBox(), nullptr);
    CMessageBoxQt::Uninstall();
}

TEST(MessageBoxQtTest, DialogFromTheLoopThreadHoldsItUntilClosed)
{
    CMessageBoxQt::Install(true);
    testing::internal::CaptureStderr();
    std::atomic<bool> returned{false};
    std::thread loop(
        [&]
        {
            ShowMessageBox("Ostrivel Tarvi*Qen Client", "checkForNewConnection() failed");
            returned = true;
        });
    // The box runs its own event loop on this thread; look at it from inside.
    std::string title;
    std::string text;
    bool onTop = false;
    bool returnedWhileOpen = true;
    QTimer inspector;
    QObject::connect(&inspector, &QTimer::timeout,
                     [&]
                     {
                         QMessageBox* box = OpenBox();
                         if (box == nullptr)
                             return;
                         title = box->windowTitle().toStdString();
                         text = box->text().toStdString();
                         onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
                         returnedWhileOpen = returned;
                         inspector.stop();
                         // A quit request closes the box as if the user had.
                         CMessageBoxQt::CloseAll();
                     });
    inspector.start(100);
    EXPECT_TRUE(ProcessUntil([&] { return returned.load(); }));
    loop.join();
    EXPECT_EQ(title, "Ostrivel Tarvi*Qen Client");
    EXPECT_EQ(text, "checkForNewConnection() failed");
    EXPECT_TRUE(onTop);
    EXPECT_FALSE(returnedWhileOpen) << "the loop waits for the user";
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Ostrivel Tarvi*Qen Client: checkForNewConnection() failed\n"),
              std::string::npos);
    CMessageBoxQt::Uninstall();
}
