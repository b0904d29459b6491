#include "platform/Display.h"

#include "platform/ProgramPath.h"

bool HasDesktopDisplay()
{
    return GetEnvironment("DISPLAY") || GetEnvironment("WAYLAND_DISPLAY") ||
           GetEnvironment("QT_QPA_PLATFORM");
}
