#pragma once
// What the main loop asks of the link-quality indicator and tray icon.
class IIndicator
{
public:
    virtual ~IIndicator() = default;
    // Creates the windows from the indicator settings; false on failure.
    virtual bool Create() = 0;
    virtual void Destroy() = 0;
    virtual void sessionStarted() = 0;
    virtual void sessionEnded() = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void setLinkQuality(int percent) = 0;
    virtual void keepOnTop() = 0;
    // True once after the user released the mouse on the window.
    virtual bool takeMovedFlag() = 0;
    virtual int GetLeft() const = 0;
    virtual int GetTop() const = 0;
};
