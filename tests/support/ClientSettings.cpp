#include "support/ClientSettings.h"

#include "support/TestSupport.h"

#include <algorithm>

namespace tq_test
{

SettingList ClientSettings(const std::string& folder, const std::string& statisticsFolder,
                           uint16_t listenPort, const std::string& proxyServer1, uint16_t hostPort)
{
    return {{"ListenPort", std::to_string(listenPort)},
            {"ProxyServer1", proxyServer1},
            {"HostAddress", "127.0.0.1"},
            {"HostPort", std::to_string(hostPort)},
            {"ProxyAwareApplication", "0"},
            {"LogFile", folder + "/client.log"},
            {"LogLevel", "3"},
            {"MaxLogLines", "1000000"},
            {"AllowExit", "1"},
            {"UseOutputDebugString", "0"},
            {"OutputStatistics", "1"},
            {"StatisticsFolder", statisticsFolder},
            {"IndicatorAllowMove", "1"},
            {"IndicatorAutoShowAndHide", "0"},
            {"IndicatorXPos", "100"},
            {"IndicatorYPos", "200"},
            {"IndicatorWidth", "40"},
            {"IndicatorHeight", "60"},
            {"IndicatorMargin", "2"},
            {"IndicatorTextAreaSize", "14"},
            {"IndicatorFontName", "Tahoma"},
            {"IndicatorFontSize", "8"},
            {"IndicatorBorderColor", "0,0,0"},
            {"IndicatorBackgroundColor", "255,255,255"},
            {"IndicatorTextColor", "0,0,0"},
            {"IndicatorOffColor", "128,128,128"},
            {"IndicatorOnColor", "0,200,0"},
            {"IndicatorAlphaBlending", "255"},
            {"IndicatorOrientation", "0"},
            {"IndicatorSavePosition", "0"},
            {"ConnectRetries", "2"},
            {"IgnoreBindError", "0"}};
}

void SetSetting(SettingList& list, const std::string& name, const std::string& value)
{
    const auto it = std::find_if(list.begin(), list.end(),
                                 [&](const auto& entry) { return entry.first == name; });
    if (it != list.end())
        it->second = value;
    else
        list.emplace_back(name, value);
}

void RemoveSetting(SettingList& list, const std::string& name)
{
    std::erase_if(list, [&](const auto& entry) { return entry.first == name; });
}

void WriteClientSettings(const std::string& folder, const SettingList& list)
{
    std::string text;
    for (const auto& [name, value] : list)
        text += name + "=" + value + "\r\n";
    WriteFile(folder + "/TarviQenClientSettings.txt", text);
}

} // namespace tq_test
