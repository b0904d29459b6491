#pragma once
// The link-quality indicator and tray icon, without a window system: the settings it
// is made of, the tray image of the link quality, the auto show and hide rule, the
// menu and its commands, dragging, and what a paint draws. The window system behind
// IIndicatorView carries it out.
//
// Threads: everything runs on the GUI thread, except takeMovedFlag, GetLeft and GetTop,
// which the main loop may call from its own thread.
#include "client/Indicator.h"
#include "client/IndicatorLayout.h"
#include "client/IndicatorMenu.h"
#include "client/IndicatorView.h"
#include "platform/Clock.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CSettings;

class CIndicatorWnd : public IIndicator
{
  public:
    static constexpr const char* TRAY_TIP = "Ostrivel Tarvi*Qen Client";
    // Tray images: FIRST_TRAY_IMAGE + quality / 10 while a session runs, else IDLE_TRAY_IMAGE.
    static constexpr int FIRST_TRAY_IMAGE = 129;
    static constexpr int IDLE_TRAY_IMAGE = 140;
    // The indicator's text while no session runs.
    static constexpr const char* IDLE_TEXT = "Idle";
    // A perfect link hides the window after this time ...
    static constexpr uint32_t AUTO_HIDE_DELAY_MS = 3000;
    // ... or after this one once the user has shown or moved it.
    static constexpr uint32_t USER_HIDE_DELAY_MS = 10000;

    // What one paint draws: the window in the background colour, a 1-pixel border
    // around the client rectangle, the bar's off and on parts, and the text centred
    // in the text rectangle.
    struct PaintPlan
    {
        IndicatorRect client;
        uint32_t background = 0;
        uint32_t border = 0;
        IndicatorBarSplit bar;
        uint32_t offColor = 0;
        uint32_t onColor = 0;
        IndicatorRect textArea;
        std::string text;
        uint32_t textColor = 0;
    };

    // Reads the settings from `settings` at Create; null means the process's store.
    CIndicatorWnd(IIndicatorView& view, IClock& clock, CSettings* settings = nullptr);

    bool Create() override;
    void Destroy() override;
    void sessionStarted() override;
    void sessionEnded() override;
    void show() override;
    void hide() override;
    void setLinkQuality(int percent) override;
    void keepOnTop() override;
    bool takeMovedFlag() override;
    int GetLeft() const override;
    int GetTop() const override;

    // The user's actions on the window, in client coordinates.
    void OnLeftButtonDown(int x, int y);
    void OnMouseMove(int x, int y);
    void OnLeftButtonUp();
    // A menu command (ID_INDICATOR_TOGGLE, ID_INDICATOR_EXIT; 0 does nothing).
    void OnCommand(int id);
    // The timer armed through IIndicatorView::SetAutoHideTimer has run out.
    void OnAutoHideTimer();

    std::vector<IndicatorMenuItem> MenuItems() const;
    PaintPlan Paint(const IndicatorRect& client) const;
    // The font height for the screen's vertical dots per inch (negative: character height).
    int FontHeight(int dotsPerInch) const { return IndicatorFontHeight(m_nFontSize, dotsPerInch); }
    const std::string& GetFontName() const { return m_pszFontName; }

    bool IsCreated() const { return m_bCreated; }
    bool IsVisible() const { return m_bVisible; }
    bool IsHorizontal() const { return m_nOrientation != 0; }
    bool IsSessionActive() const { return m_bSessionActive; }
    bool IsExitAllowed() const { return m_bAllowExit; }
    int GetLinkQuality() const { return m_nLinkQuality; }
    int GetTrayImage() const { return m_nTrayImage; }
    int GetAlpha() const { return m_nAlpha; }
    int GetListenPort() const { return m_nListenPort; }

  private:
    void ReadSettings(const CSettings& settings);
    // index -1 or 0..10; the image is chosen by the session-active flag.
    void UpdateTrayIcon(int index);
    void ToggleWindow();
    void ConfirmExit();
    // Arms the view's timer for the next auto-hide check, or stops it.
    void ScheduleAutoHide();
    bool AutoHidePending() const;
    void StorePosition(int left, int top);

    IIndicatorView& m_view;
    IClock& m_clock;
    CSettings* m_pSettings;

    int m_nOrientation = 0;
    int m_nLinkQuality = 0;
    bool m_bSessionActive = false;
    int m_nLeft = 0;
    int m_nTop = 0;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nMargin = 0;
    int m_nTextAreaSize = 0;
    std::string m_pszFontName;
    int m_nFontSize = 0;
    uint32_t m_crText = 0;
    uint32_t m_crBackground = 0;
    uint32_t m_crBorder = 0;
    uint32_t m_crOff = 0;
    uint32_t m_crOn = 0;
    int m_nAlpha = 255;
    int m_nTrayImage = 0;
    bool m_bTrayIconAdded = false;
    int m_nPressX = 0;
    int m_nPressY = 0;
    bool m_bDragging = false;
    bool m_bAllowExit = false;
    bool m_bAllowMove = false;
    bool m_bAutoShowAndHide = false;
    uint32_t m_dwAutoHideTime = 0;
    int m_nListenPort = 0;
    std::atomic<bool> m_bMoved{false};
    bool m_bVisible = false;

    bool m_bCreated = false;
    bool m_bConfirmOpen = false;
    // The deadline the view's timer is armed for, if any.
    std::optional<uint32_t> m_autoHideArmed;
    // Guards m_nLeft and m_nTop, which the main loop reads from its thread.
    mutable std::mutex m_positionMutex;
};
