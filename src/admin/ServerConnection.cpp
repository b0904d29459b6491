#include "admin/ServerConnection.h"

#include "admin/ProgressOutput.h"
#include "admin/StatusOutput.h"
#include "common/Assert.h"
#include "common/MyString.h"
#include "common/Network.h"
#include "platform/SocketLayer.h"

#include <algorithm>
#include <string>

std::unique_ptr<CServerConnection> CServerConnection::m_pSingleton;

CServerConnection* CServerConnection::GetInstance()
{
    static ServerSettingValues settings;
    if (!m_pSingleton)
        m_pSingleton = std::make_unique<CServerConnection>(CSystemSocketLayer::Instance(), settings);
    TQ_ASSERT_TEXT(nullptr != m_pSingleton, "NULL != m_pSingleton");
    return m_pSingleton.get();
}

void CServerConnection::DestroyInstance()
{
    m_pSingleton.reset();
}

CServerConnection::CServerConnection(ISocketLayer& sockets, ServerSettingValues& settings)
    : m_sockets(sockets), m_settings(settings)
{
}

CServerConnection::~CServerConnection()
{
    disconnect();
}

void CServerConnection::setServer(const CServerDefinition& definition)
{
    TQ_ASSERT_TEXT(nullptr == m_pServerDef, "NULL == m_pServerDef");
    m_pServerDef = std::make_unique<CServerDefinition>(definition);
}

void CServerConnection::setProgress(IProgressOutput* progress)
{
    m_pProgress = progress;
    if (m_pProgress != nullptr)
    {
        m_pProgress->setRange(0, MAX_TICKS);
        m_pProgress->setPosition(0);
    }
}

void CServerConnection::setStatusWnd(IStatusOutput* status)
{
    m_pStatus = status;
}

void CServerConnection::start()
{
    TQ_ASSERT_TEXT(nullptr != m_pServerDef, "NULL != m_pServerDef");
    showStatus("Resolving server address...");
    m_nTicks = 0;
    m_nState = ConnectStart;
}

void CServerConnection::abort()
{
    // Only an attempt in progress can be aborted; a connection or a failed attempt stays.
    if (m_nState < Connected)
        m_nState = Aborting;
}

void CServerConnection::step()
{
    // A tick that arrives while a blocking fetch of an earlier tick waits is dropped.
    if (m_bStepping)
        return;
    m_bStepping = true;
    switch (m_nState)
    {
    case ConnectStart:
        stepConnectStart();
        break;
    case ConnectWait:
        stepConnectWait();
        break;
    case LoginSend:
        stepLoginSend();
        break;
    case LoginWait:
        stepLoginWait();
        break;
    case SettingsGet:
        stepSettingsGet();
        break;
    case ListSend:
        showStatus("Retrieving client list...");
        sendCommand(FormatAdminCommand(AdminWord::LIST));
        m_nState = ListRead;
        break;
    case ListRead:
        stepListRead();
        break;
    case Aborting:
        fail("Aborted.");
        break;
    default:
        break;
    }
    m_bStepping = false;
}

void CServerConnection::stepConnectStart()
{
    TQ_ASSERT_TEXT(nullptr != m_pServerDef, "NULL != m_pServerDef");
    uint32_t address = 0;
    if (!m_sockets.ResolveAddress(Utf16ToUtf8(m_pServerDef->getAddress()), address))
    {
        fail("Unable to resolve server address.");
        return;
    }
    // A stored port that no socket can use would otherwise be cut to 16 bits.
    if (m_pServerDef->getPort() < 1 || m_pServerDef->getPort() > 65535)
    {
        fail("Invalid port number.");
        return;
    }
    m_socket = m_sockets.CreateTcpSocket();
    if (m_socket == INVALID_SOCKET || !m_sockets.SetNonBlocking(m_socket))
    {
        fail("Unable to create socket.");
        return;
    }
    startConnect(address);
    showStatus("Waiting for connect...");
    m_nState = ConnectWait;
}

void CServerConnection::startConnect(uint32_t address)
{
    const SocketAddress to =
        MakeSocketAddress(address, static_cast<uint16_t>(m_pServerDef->getPort()));
    m_nConnectError = 0;
    if (m_sockets.Connect(m_socket, to) != 0)
    {
        const int error = m_sockets.GetLastError();
        if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS)
            m_nConnectError = error;
    }
}

void CServerConnection::stepConnectWait()
{
    if (m_nTicks == MAX_TICKS)
    {
        fail("Connection timed out.");
        return;
    }
    int error = m_nConnectError;
    const int progress = error != 0 ? -1 : m_sockets.ConnectProgress(m_socket, error);
    if (progress < 0)
    {
        if (error == 0)
            fail("Network connect error.");
        else
            fail("Network connect error " + std::to_string(error) + " (" +
                 GetSocketErrorText(error) + ").");
        return;
    }
    m_bConnected = progress > 0;
    showProgress(++m_nTicks);
    if (m_bConnected)
        m_nState = LoginSend;
}

void CServerConnection::stepLoginSend()
{
    showStatus("Connected.");
    sendCommand(FormatAdminCommand(AdminWord::LOGIN, Utf16ToUtf8(m_pServerDef->getPassword())));
    showStatus("Logging in...");
    m_nTicks = 0;
    m_nState = LoginWait;
}

void CServerConnection::stepLoginWait()
{
    if (m_nTicks == MAX_TICKS)
    {
        fail("Login timed out.");
        return;
    }
    // The bar follows the wait for the answer as it followed the connect.
    showProgress(++m_nTicks);
    if (readReply(false) == 0)
        return;
    const std::string reply = m_aReplies.back();
    if (reply == "OK")
        m_nState = SettingsGet;
    else
        fail(reply);
}

void CServerConnection::stepSettingsGet()
{
    showStatus("Retrieving server settings...");
    // On 0 the state stays (the next tick fetches again) unless the fetch failed the
    // attempt itself.
    if (getSettings() == 1 && m_nState == SettingsGet)
        m_nState = ListSend;
}

void CServerConnection::stepListRead()
{
    while (m_nState == ListRead && readReply(true) == 1)
    {
        const int elements = getCount();
        if (elements == 1)
        {
            m_nSessionCount = ReadDecimal(m_aReplies[0]);
            if (m_pProgress != nullptr)
            {
                m_pProgress->setRange(0, std::max(m_nSessionCount, 0));
                m_pProgress->setPosition(0);
            }
        }
        if (static_cast<long long>(elements) == static_cast<long long>(m_nSessionCount) + 1)
        {
            m_nState = Connected;
            detachOutputs();
            return;
        }
        showProgress(elements - 1);
    }
}

// Integers are read as a decimal prefix (an error text reads as 0). A value the record
// cannot hold (a password of 128 bytes or more, a log level outside 1..3) refuses the
// connection.
int CServerConnection::getSettings()
{
    const CBusyScope busy(*this);
    for (const SettingDefinition& setting : ServerSettingDefinitions())
    {
        if (setting.optional)
            continue; // a server of an earlier version does not know it
        if (sendAndWait(AdminWord::GET, setting.name) == 0)
            return 0;
        if (!StoreSettingText(m_settings, setting, m_aReplies[0]))
        {
            fail(std::string("Invalid server setting ") + setting.name + ".");
            return 0;
        }
    }
    return 1;
}

void CServerConnection::disconnect(std::string_view message)
{
    if (!message.empty())
        showStatus(message);
    if (m_socket != INVALID_SOCKET)
        m_sockets.Close(m_socket);
    m_socket = INVALID_SOCKET;
    m_bConnected = false;
    detachOutputs();
    m_pServerDef.reset();
    m_nUnread = 0;
    m_szElement.clear();
    m_lateReplyEnds.clear();
    m_nConnectError = 0;
}

void CServerConnection::fail(std::string_view message)
{
    disconnect(message);
    m_nState = Failed;
}

void CServerConnection::showStatus(std::string_view text)
{
    if (m_pStatus != nullptr)
        m_pStatus->setText(std::string(text));
}

void CServerConnection::showProgress(int position)
{
    if (m_pProgress != nullptr)
        m_pProgress->setPosition(position);
}

void CServerConnection::detachOutputs()
{
    m_pStatus = nullptr;
    m_pProgress = nullptr;
}
