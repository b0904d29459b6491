#include "server/ServerSettings.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/ModulePath.h"
#include "common/MyString.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"

#include <array>
#include <cstdint>

std::unique_ptr<CServerSettings> CServerSettings::m_pSettings;

namespace
{
constexpr const char* kLogFile = "LogFile";
constexpr const char* kClientPort = "ClientPort";
constexpr const char* kAdminPort = "AdminPort";
constexpr const char* kClientIdleDisconnect = "ClientIdleDisconnect";
constexpr const char* kAdminPassword = "AdminPassword";
constexpr const char* kLogLevel = "LogLevel";
constexpr const char* kMaxLogLines = "MaxLogLines";
constexpr const char* kMetricsPort = "MetricsPort";
constexpr const char* kMetricsAddress = "MetricsAddress";

constexpr std::array<const char*, 7> kSettingNames = {
    kAdminPassword, kAdminPort, kClientIdleDisconnect, kClientPort, kLogFile, kLogLevel, kMaxLogLines};

constexpr const char* kDefaultLogFileName = "/TarviQenServerLog.txt";
constexpr int kDefaultPort = 7000;
constexpr int kDefaultLogLevel = CLog::LEVEL_INFO;
constexpr int kDefaultMaxLogLines = 10000;
constexpr int kDefaultClientIdleDisconnect = 0;
constexpr const char* kDefaultAdminPassword = "5318";

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
    // An empty log file name or a password too long for SetAdminPassword is a value
    // the server cannot use: loading fails cleanly instead of tripping an assertion.
    const bool loaded = ReadText(*key, kLogFile, m_pszLogFile) && !m_pszLogFile.empty() &&
                        ReadNumber(*key, kClientPort, m_nClientPort) &&
                        ReadNumber(*key, kAdminPort, m_nAdminPort) &&
                        ReadNumber(*key, kClientIdleDisconnect, m_nClientIdleDisconnect) &&
                        ReadText(*key, kAdminPassword, m_pszAdminPassword) &&
                        m_pszAdminPassword.size() < MAX_PASSWORD_LENGTH &&
                        ReadNumber(*key, kLogLevel, m_nLogLevel) &&
                        CLog::isValidLogLevel(m_nLogLevel) &&
                        ReadNumber(*key, kMaxLogLines, m_nMaxLogLines);
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
    return ReadText(*key, kLogFile, m_pszLogFile) || ReadNumber(*key, kClientPort, m_nClientPort) ||
           ReadNumber(*key, kAdminPort, m_nAdminPort) ||
           ReadNumber(*key, kClientIdleDisconnect, m_nClientIdleDisconnect) ||
           ReadText(*key, kAdminPassword, m_pszAdminPassword) ||
           ReadNumber(*key, kMaxLogLines, m_nMaxLogLines);
}

bool CServerSettings::CreateDefaults()
{
    if (!GetModulePath())
    {
        return false;
    }
    const std::string logFile = GetModuleDirectory() + kDefaultLogFileName;
    // A default that Load could not read back would only make the next start fail.
    if (Utf8ToUtf16(logFile).size() * sizeof(char16_t) > MAX_TEXT_BYTES)
    {
        return false;
    }
    int error = 0;
    const std::unique_ptr<CRegistryKey> key =
        CRegistryKey::Create(RegistryHive::LocalMachine, REGISTRY_KEY, error);
    if (!key)
    {
        return false;
    }
    return WriteText(*key, kLogFile, logFile) && WriteNumber(*key, kClientPort, kDefaultPort) &&
           WriteNumber(*key, kLogLevel, kDefaultLogLevel) &&
           WriteNumber(*key, kMaxLogLines, kDefaultMaxLogLines) &&
           WriteNumber(*key, kAdminPort, kDefaultPort) &&
           WriteNumber(*key, kClientIdleDisconnect, kDefaultClientIdleDisconnect) &&
           WriteText(*key, kAdminPassword, kDefaultAdminPassword);
}

bool CServerSettings::Save()
{
    const std::unique_ptr<CRegistryKey> key = OpenSettingsKey();
    if (!key)
    {
        return false;
    }
    return WriteText(*key, kAdminPassword, m_pszAdminPassword) &&
           WriteNumber(*key, kAdminPort, m_nAdminPort) && WriteText(*key, kLogFile, m_pszLogFile) &&
           WriteNumber(*key, kLogLevel, m_nLogLevel) &&
           WriteNumber(*key, kClientPort, m_nClientPort) &&
           WriteNumber(*key, kClientIdleDisconnect, m_nClientIdleDisconnect) &&
           WriteNumber(*key, kMaxLogLines, m_nMaxLogLines);
}

bool CServerSettings::IsValidSetting(std::string_view name)
{
    for (const char* settingName : kSettingNames)
    {
        if (name == settingName)
        {
            return true;
        }
    }
    return false;
}

bool CServerSettings::GetValueText(std::string_view name, std::string& value) const
{
    if (name == kAdminPassword)
    {
        value = m_pszAdminPassword;
    }
    else if (name == kLogFile)
    {
        value = m_pszLogFile;
    }
    else if (name == kAdminPort)
    {
        value = std::to_string(m_nAdminPort);
    }
    else if (name == kClientIdleDisconnect)
    {
        value = std::to_string(m_nClientIdleDisconnect);
    }
    else if (name == kClientPort)
    {
        value = std::to_string(m_nClientPort);
    }
    else if (name == kLogLevel)
    {
        value = std::to_string(m_nLogLevel);
    }
    else if (name == kMaxLogLines)
    {
        value = std::to_string(m_nMaxLogLines);
    }
    else
    {
        return false;
    }
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
    pLog->Print(level, "AdminPort            = %d", m_nAdminPort);
    pLog->Print(level, "ClientIdleDisconnect = %d", m_nClientIdleDisconnect);
    pLog->Print(level, "ClientPort           = %d", m_nClientPort);
    pLog->Print(level, "LogFile              = %s", m_pszLogFile.c_str());
    pLog->Print(level, "LogLevel             = %s", CLog::GetLevelName(m_nLogLevel));
    pLog->Print(level, "MaxLogLines          = %d", m_nMaxLogLines);
    if (m_nMetricsPort != 0)
    {
        pLog->Print(level, "MetricsAddress       = %s", m_metricsAddress.c_str());
        pLog->Print(level, "MetricsPort          = %d", m_nMetricsPort);
    }
    pLog->Print(level, "%s", "");
    pLog->Print(level, "%s", kSeparator);
}

void CServerSettings::SetAdminPassword(const std::string& password)
{
    if (password.size() >= MAX_PASSWORD_LENGTH)
    {
        AssertFailure("strlen( pszAdminPassword ) < MAX_PASSWORD_LENGTH", __FILE__, __LINE__);
    }
    m_pszAdminPassword = password;
}

void CServerSettings::SetLogFile(const std::string& logFile) { m_pszLogFile = logFile; }

void CServerSettings::SetLogLevel(int level)
{
    if (!CLog::isValidLogLevel(level))
    {
        AssertFailure("TRUE == CLog::isValidLogLevel( nLogLevel )", __FILE__, __LINE__);
    }
    m_nLogLevel = level;
}
