#pragma once
// Whether the program runs on a desktop: a display server to connect to, or a Qt
// platform chosen explicitly (for example the offscreen platform of the tests).

// True when DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set and not empty.
bool HasDesktopDisplay();
// True when Qt will take the X11 platform: chosen as "xcb", or not chosen while
// DISPLAY is set.
bool UsesX11Platform();
