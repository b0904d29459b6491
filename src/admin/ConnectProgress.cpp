#include "admin/ConnectProgress.h"

#include "admin/ServerConnection.h"
#include "common/Assert.h"
#include "platform/TextConversion.h"

std::string CConnectProgress::title() const
{
    const CServerDefinition* server = m_connection.getServer();
    TQ_ASSERT_TEXT(nullptr != server, "NULL != m_pServerDef");
    return "Connecting to " + Utf16ToUtf8(server->getName());
}

void CConnectProgress::open(IStatusOutput* status, IProgressOutput* progress)
{
    m_bFailed = false;
    m_nLoginTicks = 0;
    m_connection.setStatusWnd(status);
    m_connection.setProgress(progress);
    m_connection.start();
}

CConnectProgress::Outcome CConnectProgress::tick()
{
    if (m_bFailed)
        return Failed;
    m_connection.step();
    if (m_connection.getState() == CServerConnection::LoginWait)
        ++m_nLoginTicks;
    if (m_connection.getState() == CServerConnection::Connected)
        return Succeeded;
    m_bFailed = m_connection.getState() == CServerConnection::Failed;
    return m_bFailed ? Failed : Running;
}

bool CConnectProgress::cancel()
{
    if (m_bFailed)
        return true;
    m_connection.abort();
    return false;
}
