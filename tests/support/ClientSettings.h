#pragma once
// The device client's settings file for tests: every key it requires, with usable
// values, as a list the test can change before writing it.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tq_test
{

using SettingList = std::vector<std::pair<std::string, std::string>>;

// All 32 keys; the log is <folder>/client.log, statistics go to `statisticsFolder`.
SettingList ClientSettings(const std::string& folder, const std::string& statisticsFolder,
                           uint16_t listenPort, const std::string& proxyServer1, uint16_t hostPort);
// Replaces the value of `name`, or appends it (ProxyServer2 and later).
void SetSetting(SettingList& list, const std::string& name, const std::string& value);
void RemoveSetting(SettingList& list, const std::string& name);
// Writes <folder>/TarviQenClientSettings.txt as name=value lines ended by CR LF.
void WriteClientSettings(const std::string& folder, const SettingList& list);

} // namespace tq_test
