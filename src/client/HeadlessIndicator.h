#pragma once
// An indicator without a window: it keeps the state that the main loop drives
// (visibility, link quality, session activity, position) and shows nothing. It
// stands in where no tray or window is available.
#include "client/Indicator.h"

class CSettings;

class CHeadlessIndicator : public IIndicator
{
  public:
    // Reads the position from `settings` at Create; null means the process's store.
    explicit CHeadlessIndicator(CSettings* settings = nullptr);

    bool Create() override;
    void Destroy() override;
    void sessionStarted() override { m_bSessionActive = true; }
    void sessionEnded() override;
    void show() override { m_bVisible = true; }
    void hide() override { m_bVisible = false; }
    void setLinkQuality(int percent) override;
    void keepOnTop() override {}
    bool takeMovedFlag() override { return false; } // no window to drag
    int GetLeft() const override { return m_nLeft; }
    int GetTop() const override { return m_nTop; }

    bool IsCreated() const { return m_bCreated; }
    bool IsVisible() const { return m_bVisible; }
    bool IsSessionActive() const { return m_bSessionActive; }
    int GetLinkQuality() const { return m_nLinkQuality; }

  private:
    CSettings* m_pSettings;
    bool m_bCreated = false;
    bool m_bVisible = false;
    bool m_bSessionActive = false;
    int m_nLinkQuality = 0;
    int m_nLeft = 0;
    int m_nTop = 0;
};
