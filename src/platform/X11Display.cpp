#include "platform/X11Display.h"

#include <X11/Xlib.h>

bool CanOpenX11Display()
{
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return false;
    XCloseDisplay(display);
    return true;
}
