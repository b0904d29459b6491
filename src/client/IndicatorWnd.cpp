#include "client/IndicatorWnd.h"

#include "client/Settings.h"
#include "client/TarviQenClient.h"
#include "common/Assert.h"

#include <algorithm>

CIndicatorWnd::CIndicatorWnd(IIndicatorView& view, IClock& clock, CSettings* settings)
    : m_view(view), m_clock(clock), m_pSettings(settings)
{
}

// ---- Operations of the main loop -------------------------------------------

bool CIndicatorWnd::Create()
{
    ReadSettings(m_pSettings ? *m_pSettings : *CSettings::GetInstance());
    if (!m_view.CreateIndicatorWindow(m_nLeft, m_nTop, m_nWidth, m_nHeight, m_nAlpha))
    {
        return false;
    }
    m_bCreated = true;
    m_bVisible = false;
    sessionEnded();
    return true;
}

// The settings in the order in which the window is made of them.
void CIndicatorWnd::ReadSettings(const CSettings& settings)
{
    m_nOrientation = settings.GetSwitch("IndicatorOrientation") ? 1 : 0;
    StorePosition(settings.GetNumber("IndicatorXPos"), settings.GetNumber("IndicatorYPos"));
    m_nWidth = settings.GetNumber("IndicatorWidth");
    m_nHeight = settings.GetNumber("IndicatorHeight");
    m_nTextAreaSize = settings.GetNumber("IndicatorTextAreaSize");
    m_nMargin = settings.GetNumber("IndicatorMargin");
    m_pszFontName = settings.GetText("IndicatorFontName");
    m_nFontSize = settings.GetNumber("IndicatorFontSize");
    m_crBorder = settings.GetColor("IndicatorBorderColor");
    m_crBackground = settings.GetColor("IndicatorBackgroundColor");
    m_crText = settings.GetColor("IndicatorTextColor");
    m_crOff = settings.GetColor("IndicatorOffColor");
    m_crOn = settings.GetColor("IndicatorOnColor");
    // The window's opacity: 0 transparent to 255 opaque.
    m_nAlpha = std::clamp(settings.GetNumber("IndicatorAlphaBlending"), 0, 255);
    m_bAllowExit = settings.GetSwitch("AllowExit");
    m_bAllowMove = settings.GetSwitch("IndicatorAllowMove");
    m_bAutoShowAndHide = settings.GetSwitch("IndicatorAutoShowAndHide");
    m_nListenPort = settings.GetNumber("ListenPort");
}

void CIndicatorWnd::Destroy()
{
    if (m_bTrayIconAdded)
    {
        m_view.RemoveTrayIcon();
        m_bTrayIconAdded = false;
    }
    if (m_bCreated)
    {
        m_view.SetAutoHideTimer(std::nullopt);
        m_autoHideArmed.reset();
        m_view.DestroyIndicatorWindow();
        m_bCreated = false;
        m_bVisible = false;
    }
}

void CIndicatorWnd::sessionStarted()
{
    m_bSessionActive = true;
    UpdateTrayIcon(m_nLinkQuality / 10);
    m_view.Repaint();
}

void CIndicatorWnd::sessionEnded()
{
    m_nLinkQuality = 0;
    m_bSessionActive = false;
    if (m_bAutoShowAndHide && m_bVisible)
    {
        hide();
    }
    UpdateTrayIcon(-1);
    m_view.Repaint();
    ScheduleAutoHide();
}

void CIndicatorWnd::show()
{
    TQ_ASSERT_TEXT(m_bCreated, "NULL != getWindow()");
    m_bVisible = true;
    m_view.ShowIndicatorWindow();
    ScheduleAutoHide();
}

void CIndicatorWnd::hide()
{
    TQ_ASSERT_TEXT(m_bCreated, "NULL != getWindow()");
    m_bVisible = false;
    m_view.HideIndicatorWindow();
    ScheduleAutoHide();
}

void CIndicatorWnd::setLinkQuality(int percent)
{
    // Outside 0..100 the value is ignored as a whole: it neither shows the window
    // nor reaches the tray image.
    if (percent < 0 || percent > 100)
    {
        return;
    }
    if (m_bAutoShowAndHide && m_nLinkQuality == 100 && percent == 100 && m_bVisible &&
        TickReached(m_clock.TickCount(), m_dwAutoHideTime))
    {
        hide();
    }
    if (percent == m_nLinkQuality)
    {
        return;
    }
    if (m_bAutoShowAndHide && percent != 100 && !m_bVisible)
    {
        show();
    }
    if (m_bAutoShowAndHide && percent == 100)
    {
        m_dwAutoHideTime = m_clock.TickCount() + AUTO_HIDE_DELAY_MS;
    }
    m_nLinkQuality = percent;
    m_bSessionActive = true;
    const int index = percent / 10;
    TQ_ASSERT_TEXT(index >= 0 && index <= 10, "(nTrayIconIndex >= 0) && (nTrayIconIndex <= 10)");
    UpdateTrayIcon(index);
    m_view.Repaint();
    ScheduleAutoHide();
}

void CIndicatorWnd::keepOnTop()
{
    if (m_bVisible && !m_view.IsTopmost())
    {
        m_view.MakeTopmost();
    }
}

bool CIndicatorWnd::takeMovedFlag()
{
    return m_bMoved.exchange(false);
}

int CIndicatorWnd::GetLeft() const
{
    std::lock_guard lock(m_positionMutex);
    return m_nLeft;
}

int CIndicatorWnd::GetTop() const
{
    std::lock_guard lock(m_positionMutex);
    return m_nTop;
}

void CIndicatorWnd::StorePosition(int left, int top)
{
    std::lock_guard lock(m_positionMutex);
    m_nLeft = left;
    m_nTop = top;
}

void CIndicatorWnd::UpdateTrayIcon(int index)
{
    m_nTrayImage = m_bSessionActive ? FIRST_TRAY_IMAGE + index : IDLE_TRAY_IMAGE;
    if (m_bTrayIconAdded)
    {
        m_view.ChangeTrayImage(m_nTrayImage);
        return;
    }
    m_view.AddTrayIcon(m_nTrayImage, TRAY_TIP);
    m_bTrayIconAdded = true;
}

// ---- The user's actions ----------------------------------------------------

void CIndicatorWnd::OnLeftButtonDown(int x, int y)
{
    if (!m_bAllowMove)
    {
        return;
    }
    // Client coordinates arrive as signed 16-bit numbers.
    m_nPressX = static_cast<int16_t>(x);
    m_nPressY = static_cast<int16_t>(y);
    m_bDragging = true;
}

void CIndicatorWnd::OnMouseMove(int x, int y)
{
    x = static_cast<int16_t>(x);
    y = static_cast<int16_t>(y);
    if (!m_bDragging || (m_nPressX == 0 && m_nPressY == 0) || (x == m_nPressX && y == m_nPressY))
    {
        return;
    }
    m_dwAutoHideTime = m_clock.TickCount() + USER_HIDE_DELAY_MS;
    const int left = x + m_view.WindowLeft() - m_nPressX;
    const int top = y + m_view.WindowTop() - m_nPressY;
    m_view.MoveIndicatorWindow(left, top);
    StorePosition(left, top);
    ScheduleAutoHide();
}

void CIndicatorWnd::OnLeftButtonUp()
{
    // Whether or not the window was dragged: the main loop saves the position.
    m_bDragging = false;
    m_bMoved = true;
}

void CIndicatorWnd::OnCommand(int id)
{
    if (id == ID_INDICATOR_TOGGLE)
    {
        ToggleWindow();
    }
    else if (id == ID_INDICATOR_EXIT)
    {
        ConfirmExit();
    }
}

void CIndicatorWnd::ToggleWindow()
{
    if (m_bVisible)
    {
        hide();
        return;
    }
    show();
    m_dwAutoHideTime = m_clock.TickCount() + USER_HIDE_DELAY_MS;
    ScheduleAutoHide();
}

void CIndicatorWnd::ConfirmExit()
{
    // Exit is greyed when not allowed; a second request while asking is ignored.
    if (!m_bAllowExit || m_bConfirmOpen)
    {
        return;
    }
    m_bConfirmOpen = true;
    const std::string product = CClientApplication::PRODUCT_NAME;
    const bool yes = m_view.AskYesNo(product, "Are you really sure you want to exit " + product + "?");
    m_bConfirmOpen = false;
    if (yes)
    {
        m_view.RequestExit();
    }
}

// ---- Auto hide ---------------------------------------------------------------

// The main loop's repeated setLinkQuality(100) hid the window once the auto-hide
// time had come; here the view's timer stands in for those repeated calls.
void CIndicatorWnd::OnAutoHideTimer()
{
    m_autoHideArmed.reset();
    if (AutoHidePending() && TickReached(m_clock.TickCount(), m_dwAutoHideTime))
    {
        hide();
        return;
    }
    ScheduleAutoHide();
}

bool CIndicatorWnd::AutoHidePending() const
{
    return m_bCreated && m_bAutoShowAndHide && m_bVisible && m_nLinkQuality == 100;
}

void CIndicatorWnd::ScheduleAutoHide()
{
    if (!AutoHidePending())
    {
        if (m_autoHideArmed)
        {
            m_view.SetAutoHideTimer(std::nullopt);
            m_autoHideArmed.reset();
        }
        return;
    }
    if (m_autoHideArmed == m_dwAutoHideTime)
    {
        return;
    }
    m_autoHideArmed = m_dwAutoHideTime;
    m_view.SetAutoHideTimer(TickRemaining(m_clock.TickCount(), m_dwAutoHideTime));
}

// ---- Menu and painting -------------------------------------------------------

std::vector<IndicatorMenuItem> CIndicatorWnd::MenuItems() const
{
    return BuildIndicatorMenu(m_nListenPort, m_bVisible, m_bAllowExit);
}

CIndicatorWnd::PaintPlan CIndicatorWnd::Paint(const IndicatorRect& client) const
{
    const IndicatorLayout layout =
        ComputeIndicatorLayout(client, IsHorizontal(), m_nMargin, m_nTextAreaSize);
    PaintPlan plan;
    plan.client = client;
    plan.background = m_crBackground;
    plan.border = m_crBorder;
    plan.bar = SplitIndicatorBar(layout.bar, IsHorizontal(), m_nLinkQuality);
    plan.offColor = m_crOff;
    plan.onColor = m_crOn;
    plan.textArea = layout.text;
    // Between sessions there is no link to measure: "Idle", as the tray's idle image.
    plan.text = m_bSessionActive ? LinkQualityText(m_nLinkQuality) : std::string(IDLE_TEXT);
    plan.textColor = m_crText;
    return plan;
}
