#pragma once
// What the indicator logic asks of the window system: the indicator window, the tray
// icon, the exit confirmation and a timer. The Qt layer implements it on the GUI
// thread; tests record the calls instead.
#include <cstdint>
#include <optional>
#include <string>

class IIndicatorView
{
  public:
    virtual ~IIndicatorView() = default;

    // Creates the indicator window hidden, at the position and size, with the opacity
    // of `alpha` (255 opaque); false on failure.
    virtual bool CreateIndicatorWindow(int left, int top, int width, int height, int alpha) = 0;
    virtual void DestroyIndicatorWindow() = 0;
    // The logic's visible flag already tells the new state when these are called.
    virtual void ShowIndicatorWindow() = 0;
    virtual void HideIndicatorWindow() = 0;
    // Paints the window again from the logic's state.
    virtual void Repaint() = 0;
    // The window's left and top in screen coordinates.
    virtual int WindowLeft() const = 0;
    virtual int WindowTop() const = 0;
    virtual void MoveIndicatorWindow(int left, int top) = 0;
    virtual bool IsTopmost() const = 0;
    // Puts the window on top again without moving, sizing or activating it.
    virtual void MakeTopmost() = 0;

    // Adds the tray icon with its tip and image.
    virtual void AddTrayIcon(int imageId, const std::string& tip) = 0;
    virtual void ChangeTrayImage(int imageId) = 0;
    virtual void RemoveTrayIcon() = 0;

    // A modal Yes/No question; true on Yes.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
    // Ends the program the way Ctrl+C does.
    virtual void RequestExit() = 0;
    // Arms a one-shot timer that calls CIndicatorWnd::OnAutoHideTimer after the given
    // time, or stops it (nullopt).
    virtual void SetAutoHideTimer(std::optional<uint32_t> milliseconds) = 0;
};
