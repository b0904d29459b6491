#pragma once
// The indicator on a Qt desktop: owns the indicator logic and carries out what it asks
// of the window system with a CIndicatorWidget, a QSystemTrayIcon with its menu, a
// Yes/No box and a timer. Lives on the GUI thread; the main loop reaches it through a
// CQueuedIndicator that posts to this object.
#include "client/IndicatorView.h"
#include "client/IndicatorWnd.h"

#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <optional>

class CIndicatorWidget;
class CSettings;
class QAction;
class QMenu;

class CIndicatorQt : public QObject, public IIndicatorView
{
  public:
    static constexpr int TRAY_CHECK_INTERVAL_MS = 2000;
    // `settings` null: the process's settings store.
    explicit CIndicatorQt(IClock& clock, CSettings* settings = nullptr);
    ~CIndicatorQt() override;

    CIndicatorWnd& Logic() { return m_indicator; }
    // Called when the user confirms Exit; it ends the program the way Ctrl+C does.
    void SetExitHandler(std::function<void()> handler) { m_exitHandler = std::move(handler); }

    CIndicatorWidget* Window() const { return m_pWindow.get(); }
    QMenu* Menu() const { return m_pMenu.get(); }
    QSystemTrayIcon* TrayIcon() const { return m_pTrayIcon.get(); }
    // The image the tray icon shows (129..140), also where no tray exists.
    int TrayImage() const { return m_nTrayImage; }
    // The tray icon's tip: the client's name, then its listen port and the link.
    QString TrayTip() const;
    // Whether the desktop has a tray, checked every TRAY_CHECK_INTERVAL_MS: without one
    // the indicator's right click opens the menu. `probe` stands in for Qt's answer.
    void SetTrayProbe(std::function<bool()> probe) { m_trayProbe = std::move(probe); }
    void CheckTray();

    bool CreateIndicatorWindow(int left, int top, int width, int height, int alpha) override;
    void DestroyIndicatorWindow() override;
    void ShowIndicatorWindow() override;
    void HideIndicatorWindow() override;
    void Repaint() override;
    int WindowLeft() const override;
    int WindowTop() const override;
    void MoveIndicatorWindow(int left, int top) override;
    bool IsTopmost() const override;
    void MakeTopmost() override;
    void AddTrayIcon(int imageId, const std::string& tip) override;
    void ChangeTrayImage(int imageId) override;
    void RemoveTrayIcon() override;
    bool AskYesNo(const std::string& caption, const std::string& text) override;
    void RequestExit() override;
    void SetAutoHideTimer(std::optional<uint32_t> milliseconds) override;

  private:
    void createActions();
    void createMenu();
    void createTimer();
    void createTrayIcon(const std::string& tip);
    void updateTrayTip();
    // Texts and states of the menu's actions from the indicator's menu model.
    void RefreshMenu();
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
    const QIcon& IconFor(int imageId);

    CIndicatorWnd m_indicator;
    std::unique_ptr<CIndicatorWidget> m_pWindow;
    std::unique_ptr<QMenu> m_pMenu;
    QAction* m_pVersionAction = nullptr;
    QAction* m_pPortAction = nullptr;
    QAction* m_pToggleAction = nullptr;
    QAction* m_pExitAction = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_pTrayIcon;
    int m_nTrayImage = 0;
    std::array<QIcon, 12> m_icons;
    QTimer m_autoHideTimer;
    QTimer m_trayTimer;
    std::function<bool()> m_trayProbe = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    std::optional<bool> m_trayAvailable;
    std::string m_strTip;
    std::function<void()> m_exitHandler;
};
