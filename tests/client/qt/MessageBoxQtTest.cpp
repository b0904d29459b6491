// Message boxes with windows: the line on standard error always; the dialog, when
// shown from another thread, does not hold that thread.
#include "client/qt/MessageBoxQt.h"
#include "platform/MessageBox.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
QMessageBox* OpenBox()
{
    return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

std::vector<QMessageBox*> VisibleBoxes()
{
    std::vector<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible())
            boxes.push_back(box);
    return boxes;
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

// The loop thread goes on at once; the same message opens one box however often it
// comes while that box is open; a quit request closes them all.
TEST(MessageBoxQtTest, DialogsFromTheLoopThreadDoNotHoldItAndRepeatsMerge)
{
    CMessageBoxQt::Install(true);
    testing::internal::CaptureStderr();
    const std::string notRunning = "Error: Proxy server 127.0.0.1:17600 not running.";
    std::thread loop(
        [&]
        {
            for (int i = 0; i < 9; ++i)
                ShowMessageBox("Ostrivel Tarvi*Qen Client", notRunning);
            ShowMessageBox("Ostrivel Tarvi*Qen Client", "checkForNewConnection() failed");
        });
    loop.join(); // returns without a single event served here
    std::vector<QMessageBox*> boxes;
    EXPECT_TRUE(ProcessUntil(
        [&]
        {
            boxes = VisibleBoxes();
            return boxes.size() == 2;
        }));
    QApplication::processEvents();
    boxes = VisibleBoxes();
    ASSERT_EQ(boxes.size(), 2u) << "nine equal messages, one box";
    std::vector<std::string> texts;
    for (QMessageBox* box : boxes)
    {
        EXPECT_EQ(box->windowTitle().toStdString(), "Ostrivel Tarvi*Qen Client");
        EXPECT_TRUE(box->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        // Wide enough for the whole title next to the title bar's buttons.
        EXPECT_GE(box->width(), QFontMetrics(box->font()).horizontalAdvance(box->windowTitle()) + 60);
        texts.push_back(box->text().toStdString());
    }
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts, (std::vector<std::string>{notRunning, "checkForNewConnection() failed"}));
    // Once closed, the same message opens a box again.
    boxes.front()->done(0);
    std::thread(
        [&]
        {
            ShowMessageBox("Ostrivel Tarvi*Qen Client", "checkForNewConnection() failed");
            ShowMessageBox("Ostrivel Tarvi*Qen Client", notRunning);
        })
        .join();
    EXPECT_TRUE(ProcessUntil([] { return VisibleBoxes().size() == 2; }));
    CMessageBoxQt::CloseAll();
    EXPECT_TRUE(ProcessUntil([] { return VisibleBoxes().empty(); }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_NE(lines.find("Ostrivel Tarvi*Qen Client: " + notRunning + "\n"), std::string::npos);
    CMessageBoxQt::Uninstall();
}
