#include "admin/ServerSettings.h"

#include "common/Assert.h"
#include "common/Log.h"

inline namespace admin_console
{

std::unique_ptr<CServerSettings> CServerSettings::m_pSettings;

CServerSettings* CServerSettings::GetInstance()
{
    if (!m_pSettings)
        m_pSettings = std::make_unique<CServerSettings>();
    TQ_ASSERT_TEXT(nullptr != m_pSettings, "NULL != CServerSettings::m_pSettings");
    return m_pSettings.get();
}

void CServerSettings::DestroyInstance()
{
    m_pSettings.reset();
}

void CServerSettings::SetAdminPassword(const std::string& password)
{
    TQ_ASSERT_TEXT(password.size() < MAX_PASSWORD_LENGTH,
                   "strlen( pszAdminPassword ) < MAX_PASSWORD_LENGTH");
    m_pszAdminPassword = password;
}

void CServerSettings::SetLogFile(const std::string& logFile)
{
    m_pszLogFile = logFile;
}

void CServerSettings::SetLogLevel(int level)
{
    TQ_ASSERT_TEXT(CLog::isValidLogLevel(level), "TRUE == CLog::isValidLogLevel( nLogLevel )");
    m_nLogLevel = level;
}

} // namespace admin_console
