#include "client/qt/IndicatorQt.h"

#include "client/qt/IndicatorWidget.h"
#include "client/qt/MessageBoxQt.h"
#include "client/qt/TrayImages.h"
#include "common/Log.h"

#include <QAction>
#include <QCursor>
#include <QMenu>

#include <algorithm>
#include <limits>

namespace
{
// Larger windows than this are settings gone wrong; the window system refuses them.
constexpr int MAX_WINDOW_SIZE = 16384;
} // namespace

CIndicatorQt::CIndicatorQt(IClock& clock, CSettings* settings)
    : m_indicator(*this, clock, settings)
{
    createActions();
    createMenu();
    createTimer();
}

CIndicatorQt::~CIndicatorQt() = default;

void CIndicatorQt::createActions()
{
    m_pVersionAction = new QAction(this);
    m_pVersionAction->setStatusTip(QStringLiteral("The client's name and version"));
    m_pPortAction = new QAction(this);
    m_pPortAction->setStatusTip(QStringLiteral("The local TCP port on which applications connect"));
    m_pToggleAction = new QAction(this);
    m_pToggleAction->setStatusTip(QStringLiteral("Shows or hides the link-quality indicator"));
    connect(m_pToggleAction, &QAction::triggered, this,
            [this] { m_indicator.OnCommand(ID_INDICATOR_TOGGLE); });
    m_pExitAction = new QAction(this);
    m_pExitAction->setStatusTip(QStringLiteral("Ends the client and its tunnel session"));
    connect(m_pExitAction, &QAction::triggered, this,
            [this] { m_indicator.OnCommand(ID_INDICATOR_EXIT); });
}

void CIndicatorQt::createMenu()
{
    m_pMenu = std::make_unique<QMenu>();
    m_pMenu->addAction(m_pVersionAction);
    m_pMenu->addAction(m_pPortAction);
    m_pMenu->addSeparator();
    m_pMenu->addAction(m_pToggleAction);
    m_pMenu->addSeparator();
    m_pMenu->addAction(m_pExitAction);
    connect(m_pMenu.get(), &QMenu::aboutToShow, this, [this] { RefreshMenu(); });
    RefreshMenu();
}

void CIndicatorQt::createTimer()
{
    m_autoHideTimer.setSingleShot(true);
    connect(&m_autoHideTimer, &QTimer::timeout, this, [this] { m_indicator.OnAutoHideTimer(); });
    // The desktop's tray may go away and come back while the client runs.
    m_trayTimer.setInterval(TRAY_CHECK_INTERVAL_MS);
    connect(&m_trayTimer, &QTimer::timeout, this, [this] { CheckTray(); });
}

void CIndicatorQt::CheckTray()
{
    if (!m_pWindow)
    {
        return;
    }
    const bool available = m_trayProbe();
    if (m_trayAvailable == available)
    {
        return;
    }
    m_trayAvailable = available;
    if (available)
    {
        CLog::GetInstance()->Print(CLog::LEVEL_INFO,
                                   "System tray available: the tray icon carries the menu.");
        m_pWindow->SetContextMenu(nullptr);
        return;
    }
    CLog::GetInstance()->Print(CLog::LEVEL_INFO,
                               "No system tray available: the indicator window's right-click "
                               "menu stands in for the tray menu.");
    m_pWindow->SetContextMenu(m_pMenu.get());
}

void CIndicatorQt::RefreshMenu()
{
    const std::array<QAction*, 4> actions{m_pVersionAction, m_pPortAction, m_pToggleAction,
                                          m_pExitAction};
    size_t next = 0;
    for (const IndicatorMenuItem& item : m_indicator.MenuItems())
    {
        if (item.separator || next == actions.size())
        {
            continue;
        }
        QAction* action = actions[next++];
        action->setText(QString::fromStdString(item.text));
        action->setEnabled(item.enabled);
        action->setData(item.id);
    }
}

// ---- The indicator window ----------------------------------------------------

bool CIndicatorQt::CreateIndicatorWindow(int left, int top, int width, int height, int alpha)
{
    m_pWindow = std::make_unique<CIndicatorWidget>(m_indicator);
    m_pWindow->setWindowTitle(QString::fromUtf8(CIndicatorWnd::TRAY_TIP));
    m_pWindow->setFixedSize(std::clamp(width, 1, MAX_WINDOW_SIZE),
                            std::clamp(height, 1, MAX_WINDOW_SIZE));
    m_pWindow->move(left, top);
    m_pWindow->setWindowOpacity(alpha / 255.0);
    // A tray that is there at start is not logged; a missing one is.
    m_trayAvailable = true;
    CheckTray();
    m_trayTimer.start();
    RefreshMenu();
    return true;
}

void CIndicatorQt::DestroyIndicatorWindow()
{
    m_autoHideTimer.stop();
    m_trayTimer.stop();
    m_trayAvailable.reset();
    m_pMenu->hide();
    m_pWindow.reset();
}

void CIndicatorQt::ShowIndicatorWindow()
{
    m_pWindow->show();
    RefreshMenu();
}

void CIndicatorQt::HideIndicatorWindow()
{
    m_pWindow->hide();
    RefreshMenu();
}

void CIndicatorQt::Repaint()
{
    if (m_pWindow)
    {
        m_pWindow->update();
    }
    updateTrayTip();
}

int CIndicatorQt::WindowLeft() const
{
    return m_pWindow->x();
}

int CIndicatorQt::WindowTop() const
{
    return m_pWindow->y();
}

void CIndicatorQt::MoveIndicatorWindow(int left, int top)
{
    m_pWindow->move(left, top);
}

bool CIndicatorQt::IsTopmost() const
{
    return m_pWindow->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

void CIndicatorQt::MakeTopmost()
{
    // Changing a window's flags hides it; show it again without activating it.
    m_pWindow->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    m_pWindow->show();
}

// ---- The tray icon -------------------------------------------------------------

const QIcon& CIndicatorQt::IconFor(int imageId)
{
    const int first = CIndicatorWnd::FIRST_TRAY_IMAGE;
    const auto index = static_cast<size_t>(std::clamp(imageId - first, 0, 11));
    if (m_icons[index].isNull())
    {
        m_icons[index] = MakeTrayIcon(first + static_cast<int>(index));
    }
    return m_icons[index];
}

void CIndicatorQt::AddTrayIcon(int imageId, const std::string& tip)
{
    m_nTrayImage = imageId;
    m_strTip = tip;
    // Platforms without a screen have no tray; Qt would only warn there.
    if (!CMessageBoxQt::IsInvisiblePlatform())
    {
        createTrayIcon(tip);
    }
}

QString CIndicatorQt::TrayTip() const
{
    const QString link = m_indicator.IsSessionActive()
                             ? QStringLiteral("link quality %1%").arg(m_indicator.GetLinkQuality())
                             : QStringLiteral("idle");
    return QStringLiteral("%1\nPort %2, %3")
        .arg(QString::fromStdString(m_strTip))
        .arg(m_indicator.GetListenPort())
        .arg(link);
}

void CIndicatorQt::updateTrayTip()
{
    if (m_pTrayIcon)
    {
        const QString tip = TrayTip();
        if (m_pTrayIcon->toolTip() != tip)
        {
            m_pTrayIcon->setToolTip(tip);
        }
    }
}

void CIndicatorQt::createTrayIcon(const std::string& tip)
{
    m_pTrayIcon = std::make_unique<QSystemTrayIcon>(IconFor(m_nTrayImage));
    // Several clients on one desktop are told apart by their port.
    m_strTip = tip;
    m_pTrayIcon->setToolTip(TrayTip());
    // The right click opens the menu through the tray; the left click here.
    m_pTrayIcon->setContextMenu(m_pMenu.get());
    connect(m_pTrayIcon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnTrayActivated(reason); });
    m_pTrayIcon->show();
}

void CIndicatorQt::OnTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    // A second click while the menu is open is ignored.
    if (reason == QSystemTrayIcon::Trigger && !m_pMenu->isVisible())
    {
        m_pMenu->popup(QCursor::pos());
    }
}

void CIndicatorQt::ChangeTrayImage(int imageId)
{
    m_nTrayImage = imageId;
    if (m_pTrayIcon)
    {
        m_pTrayIcon->setIcon(IconFor(imageId));
    }
    updateTrayTip();
}

void CIndicatorQt::RemoveTrayIcon()
{
    if (m_pTrayIcon)
    {
        m_pTrayIcon->hide();
        m_pTrayIcon.reset();
    }
}

// ---- Exit and the timer --------------------------------------------------------

bool CIndicatorQt::AskYesNo(const std::string& caption, const std::string& text)
{
    return CMessageBoxQt::AskYesNo(m_pWindow.get(), QString::fromStdString(caption),
                                   QString::fromStdString(text));
}

void CIndicatorQt::RequestExit()
{
    if (m_exitHandler)
    {
        m_exitHandler();
    }
}

void CIndicatorQt::SetAutoHideTimer(std::optional<uint32_t> milliseconds)
{
    if (!milliseconds)
    {
        m_autoHideTimer.stop();
        return;
    }
    m_autoHideTimer.start(static_cast<int>(std::min<uint32_t>(*milliseconds, std::numeric_limits<int>::max())));
}
