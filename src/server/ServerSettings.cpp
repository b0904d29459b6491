#include "server/ServerSettings.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/ModulePath.h"
#include "common/MyString.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

std::unique_ptr<CServerSettings> CServerSettings::m_pSettings;

namespace
{
constexpr const char* kDefaultLogFileName = "/TarviQenServerLog.txt";

// The order a fresh key has always had its lines in.
constexpr std::array<SettingId, 7> kCreateOrder = {
    SettingId::LogFile,   SettingId::ClientPort,           SettingId::LogLevel,
    SettingId::MaxLogLines, SettingId::AdminPort, SettingId::ClientIdleDisconnect,
    SettingId::AdminPassword};

constexpr const char* kMetricsPort = "MetricsPort";
constexpr const char* kMetricsAddress = "MetricsAddress";
constexpr const char* kFastLinkName = "FastLink";
constexpr const char* kSeparator = "---------------------------------------------------";

std::unique_ptr<CRegistryKey> OpenSettingsKey()
{
    int error = 0;
    return CRegistryKey::Open(RegistryHive::LocalMachine, CServerSettings::REGISTRY_KEY, error);
}

// A text value of at most 2048 bytes of UTF-16; the text ends at its first zero
// character, as a terminated buffer would.
bool ReadText(const CRegistryKey& key, const char* name, std::string& value)
{
    std::u16string wide;
    if (!key.QueryString(name, wide, CServerSettings::MAX_TEXT_BYTES))
    {
        return false;
    }
    const size_t end = wide.find(u'\0');
    if (end != std::u16string::npos)
    {
        wide.resize(end);
    }
    value = Utf16ToUtf8(wide);
    return true;
}

bool ReadNumber(const CRegistryKey& key, const char* name, int& value)
{
    uint32_t number = 0;
    if (!key.QueryDword(name, number))
    {
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

bool WriteText(CRegistryKey& key, const char* name, const std::string& value)
{
    return key.SetString(name, Utf8ToUtf16(value));
}

bool WriteNumber(CRegistryKey& key, const char* name, int value)
{
    return key.SetDword(name, static_cast<uint32_t>(value));
}
// A value as the registry holds it; Load checks it afterwards.
bool ReadValue(const CRegistryKey& key, const SettingDefinition& setting, ServerSettingValues& values)
{
    if (setting.text != nullptr)
        return ReadText(key, setting.name, values.*setting.text);
    return ReadNumber(key, setting.name, values.*setting.number);
}

bool WriteValue(CRegistryKey& key, const SettingDefinition& setting, const ServerSettingValues& values)
{
    if (setting.text != nullptr)
        return WriteText(key, setting.name, values.*setting.text);
    return WriteNumber(key, setting.name, values.*setting.number);
}

bool IsDefault(const SettingDefinition& setting, const ServerSettingValues& values)
{
    return setting.number != nullptr && values.*setting.number == setting.defaultNumber;
}

// A later setting that a key does not hold takes its default.
bool LoadValue(const CRegistryKey& key, const SettingDefinition& setting, ServerSettingValues& values)
{
    if (ReadValue(key, setting, values))
        return true;
    if (!setting.optional)
        return false;
    values.*setting.number = setting.defaultNumber;
    return true;
}

// A later setting is written once it differs from its default or the key holds it.
bool SaveValue(CRegistryKey& key, const SettingDefinition& setting, const ServerSettingValues& values)
{
    ServerSettingValues stored;
    if (setting.optional && IsDefault(setting, values) && !ReadValue(key, setting, stored))
        return true;
    return WriteValue(key, setting, values);
}

bool Usable(const SettingDefinition& setting, const ServerSettingValues& values)
{
    if (setting.text == nullptr)
        return SettingHolds(setting, values.*setting.number);
    const std::string& text = values.*setting.text;
    return SettingHolds(setting, text) && !(setting.needsText && text.empty());
}
} // namespace

CServerSettings* CServerSettings::GetInstance()
{
    if (!m_pSettings)
    {
        m_pSettings.reset(new CServerSettings());
        if (!m_pSettings)
        {
            AssertFailure("NULL != CServerSettings::m_pSettings", __FILE__, __LINE__);
        }
    }
    return m_pSettings.get();
}

void CServerSettings::DestroyInstance() { m_pSettings.reset(); }

bool CServerSettings::Load(bool showMessage)
{
    const std::unique_ptr<CRegistryKey> key = OpenSettingsKey();
    if (!key)
    {
        return false; // a missing key is never reported
    }
    // A value the record cannot hold fails cleanly instead of tripping an assertion.
    bool loaded = true;
    for (const SettingDefinition& setting : ServerSettingDefinitions())
    {
        loaded = loaded && LoadValue(*key, setting, m_values) && Usable(setting, m_values);
    }
    // Optional: a key without it accepts the offer.
    if (!ReadNumber(*key, kFastLinkName, m_values.fastLink))
        m_values.fastLink = 1;
    if (!loaded && showMessage)
    {
        ShowMessageBox(DISPLAY_NAME, "Failed to read settings.");
    }
    // Optional: a missing value keeps the metrics off, on the default address.
    if (!ReadNumber(*key, kMetricsPort, m_nMetricsPort))
    {
        m_nMetricsPort = 0;
    }
    if (!ReadText(*key, kMetricsAddress, m_metricsAddress) || m_metricsAddress.empty())
    {
        m_metricsAddress = DEFAULT_METRICS_ADDRESS;
    }
    return loaded;
}

bool CServerSettings::AnyValueStored()
{
    const std::unique_ptr<CRegistryKey> key = OpenSettingsKey();
    if (!key)
    {
        return false;
    }
    // The first value that can be read answers; LogLevel is not tried.
    for (const SettingDefinition& setting : ServerSettingDefinitions())
    {
        if (setting.id != SettingId::LogLevel && !setting.optional &&
            ReadValue(*key, setting, m_values))
        {
            return true;
        }
    }
    return false;
}

bool CServerSettings::CreateDefaults()
{
    if (!GetModulePath())
    {
        return false;
    }
    ServerSettingValues defaults;
    for (const SettingDefinition& setting : ServerSettingDefinitions())
    {
        if (setting.number != nullptr)
            defaults.*setting.number = setting.defaultNumber;
        else if (setting.defaultText != nullptr)
            defaults.*setting.text = setting.defaultText;
    }
    defaults.logFile = GetModuleDirectory() + kDefaultLogFileName;
    // A default that Load could not read back would only make the next start fail.
    if (Utf8ToUtf16(defaults.logFile).size() * sizeof(char16_t) > MAX_TEXT_BYTES)
    {
        return false;
    }
    int error = 0;
    const std::unique_ptr<CRegistryKey> key =
        CRegistryKey::Create(RegistryHive::LocalMachine, REGISTRY_KEY, error);
    bool written = key != nullptr;
    for (const SettingId id : kCreateOrder)
    {
        written = written && WriteValue(*key, ServerSetting(id), defaults);
    }
    return written;
}

bool CServerSettings::Save()
{
    const std::unique_ptr<CRegistryKey> key = OpenSettingsKey();
    bool saved = key != nullptr;
    for (const SettingDefinition& setting : ServerSettingDefinitions())
    {
        saved = saved && SaveValue(*key, setting, m_values);
    }
    return saved;
}

bool CServerSettings::GetValueText(std::string_view name, std::string& value) const
{
    const SettingDefinition* setting = FindServerSetting(name);
    if (setting == nullptr)
    {
        return false;
    }
    value = SettingValueText(m_values, *setting);
    return true;
}

void CServerSettings::Print()
{
    CLog* pLog = CLog::GetInstance();
    // Level Error, so that the block is written whatever level is configured.
    constexpr int level = CLog::LEVEL_ERROR;
    pLog->Print(level, "%s", kSeparator);
    pLog->Print(level, "%s", "");
    pLog->Print(level, "Server Settings");
    pLog->Print(level, "%s", "");
    std::vector<const SettingDefinition*> shown;
    for (const SettingDefinition& setting : ServerSettingDefinitions())
    {
        if (!setting.secret && !(setting.optional && IsDefault(setting, m_values)))
            shown.push_back(&setting);
    }
    std::sort(shown.begin(), shown.end(), [](const SettingDefinition* a, const SettingDefinition* b)
              { return std::string_view(a->name) < std::string_view(b->name); });
    for (const SettingDefinition* setting : shown)
    {
        const std::string value = setting->id == SettingId::LogLevel
                                      ? std::string(CLog::GetLevelName(m_values.logLevel))
                                      : SettingValueText(m_values, *setting);
        pLog->Print(level, "%-20s = %s", setting->name, value.c_str());
    }
    if (m_nMetricsPort != 0)
    {
        pLog->Print(level, "%-20s = %s", kMetricsAddress, m_metricsAddress.c_str());
        pLog->Print(level, "%-20s = %d", kMetricsPort, m_nMetricsPort);
    }
    pLog->Print(level, "%s", "");
    pLog->Print(level, "%s", kSeparator);
}
