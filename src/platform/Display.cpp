#include "platform/Display.h"

#include "platform/ProgramPath.h"

bool HasDesktopDisplay()
{
    return GetEnvironment("DISPLAY") || GetEnvironment("WAYLAND_DISPLAY") ||
           GetEnvironment("QT_QPA_PLATFORM");
}

bool UsesX11Platform()
{
    const std::optional<std::string> platform = GetEnvironment("QT_QPA_PLATFORM");
    if (platform)
        return platform->starts_with("xcb");
    return GetEnvironment("DISPLAY").has_value();
}
