#include "client/qt/MessageBoxQt.h"

#include "common/qt/TitleFit.h"
#include "platform/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <vector>

namespace
{
// The boxes open at the moment, for CloseAll and merging; used on the GUI thread only.
std::vector<QPointer<QMessageBox>>& OpenBoxes()
{
    static std::vector<QPointer<QMessageBox>> boxes;
    return boxes;
}

// Set by QuitWhenClosed: Qt's event loop ends when the last open box is closed.
bool g_quitWhenClosed = false;

void Forget(const QMessageBox* box)
{
    std::erase_if(OpenBoxes(), [box](const QPointer<QMessageBox>& open)
                  { return open.isNull() || open.data() == box; });
    if (g_quitWhenClosed && OpenBoxes().empty())
    {
        QCoreApplication::quit();
    }
}

int Run(QMessageBox& box)
{
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    FitTitle(box);
    OpenBoxes().emplace_back(&box);
    const int result = box.exec();
    Forget(&box);
    return result;
}

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void ShowDialog(std::string_view caption, std::string_view text)
{
    const QString captionText = FromUtf8(caption);
    const QString messageText = FromUtf8(text);
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr)
    {
        return;
    }
    if (QThread::currentThread() == application->thread())
    {
        CMessageBoxQt::Show(captionText, messageText);
        return;
    }
    // A fatal error ends the process once the box returns, so that box waits for
    // the user. Any other box leaves the main loop serving every connection.
    if (caption == "Fatal Error")
    {
        QMetaObject::invokeMethod(
            application, [captionText, messageText] { CMessageBoxQt::Show(captionText, messageText); },
            Qt::BlockingQueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(
        application, [captionText, messageText] { CMessageBoxQt::Open(captionText, messageText); },
        Qt::QueuedConnection);
}

QMessageBox::Icon IconFor(const QString& caption, const QString& text)
{
    // The boxes of a failed start-up or a fatal error carry the stop sign.
    const bool fatal = caption == QLatin1String("Fatal Error") ||
                       text.startsWith(QLatin1String("Failed to create"));
    return fatal ? QMessageBox::Critical : QMessageBox::NoIcon;
}
} // namespace

void CMessageBoxQt::Install(bool dialogs)
{
    SetMessageBoxHandler(
        [dialogs](std::string_view caption, std::string_view text)
        {
            WriteMessageBoxLine(caption, text);
            if (dialogs)
            {
                ShowDialog(caption, text);
            }
        });
}

void CMessageBoxQt::Uninstall()
{
    SetMessageBoxHandler(nullptr);
}

void CMessageBoxQt::Show(const QString& caption, const QString& text)
{
    QMessageBox box(IconFor(caption, text), caption, text, QMessageBox::Ok);
    Run(box);
}

QMessageBox* CMessageBoxQt::Open(const QString& caption, const QString& text)
{
    // The same message while its box is still open: that box stays the only one.
    for (const QPointer<QMessageBox>& open : OpenBoxes())
    {
        if (!open.isNull() && open->windowTitle() == caption && open->text() == text)
        {
            open->raise();
            return open.data();
        }
    }
    auto* box = new QMessageBox(IconFor(caption, text), caption, text, QMessageBox::Ok);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->setModal(false);
    FitTitle(*box);
    QObject::connect(box, &QDialog::finished, box,
                     [box]
                     {
                         Forget(box);
                         box->deleteLater();
                     });
    OpenBoxes().emplace_back(box);
    box->show();
    return box;
}

void CMessageBoxQt::QuitWhenClosed(bool closeOpen)
{
    if (closeOpen)
    {
        CloseAll();
    }
    g_quitWhenClosed = true;
    Forget(nullptr);
}

bool CMessageBoxQt::AskYesNo(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::No);
    return Run(box) == QMessageBox::Yes;
}

void CMessageBoxQt::CloseAll()
{
    const auto boxes = OpenBoxes();
    for (const QPointer<QMessageBox>& box : boxes)
    {
        if (!box.isNull())
        {
            box->done(0);
        }
    }
}

bool CMessageBoxQt::IsInvisiblePlatform()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}
