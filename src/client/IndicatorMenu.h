#pragma once
// The popup menu of the tray icon: two information lines, the item that shows or
// hides the indicator, and Exit.
#include <string>
#include <vector>

struct IndicatorMenuItem
{
    std::string text; // empty for a separator
    int id = 0;       // 0: an information line that does nothing
    bool enabled = true;
    bool separator = false;
};

constexpr int ID_INDICATOR_TOGGLE = 32869;
constexpr int ID_INDICATOR_EXIT = 32870;

std::vector<IndicatorMenuItem> BuildIndicatorMenu(int listenPort, bool windowVisible,
                                                  bool exitAllowed);
