#include "server/AdminSession.h"

#include "common/Assert.h"
#include "common/Log.h"
#include "common/MyString.h"
#include "server/AdminServer.h"
#include "server/ServerSettings.h"

#include <algorithm>
#include <cstddef>

namespace
{
constexpr size_t WORD_FIELD_SIZE = 512;
constexpr size_t OPTION_FIELD_SIZE = 512;
// "Error: No session with ID %s." was built in a 100-byte buffer: room for 72
// characters of the echoed argument.
constexpr size_t MAX_ECHOED_ID_LENGTH = 72;

constexpr std::string_view HELP_TEXT =
    "Valid commands are:\r\n"
    "\r\n"
    "help                     - This command\r\n"
    "login <password>         - Logs in\r\n"
    "logout                   - Logs out and ends admin session\r\n"
    "list                     - Lists client IDs\r\n"
    "show <client ID>         - Displays information about the client connection\r\n"
    "terminate <client ID>    - Terminates the client connection\r\n"
    "clearlog                 - Clears the server log.\r\n"
    "shutdown <password>      - Terminates all clients and stops the server\r\n"
    "get <name>               - Gets the option <name>\r\n"
    "set <name>=<value>       - Sets the option <name> to <value>\r\n";

// At most `limit` bytes of `text`, not cutting a UTF-8 sequence in two.
std::string_view CutText(std::string_view text, size_t limit)
{
    if (text.size() <= limit)
    {
        return text;
    }
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    {
        --cut;
    }
    return text.substr(0, cut);
}
} // namespace

const CAdminSession::CommandEntry CAdminSession::m_loggedOutCommands[] = {
    {AdminWord::HELP, &CAdminSession::CommandHelp},
    {AdminWord::LOGIN, &CAdminSession::CommandLogin},
};

const CAdminSession::CommandEntry CAdminSession::m_loggedInCommands[] = {
    {AdminWord::LOGOUT, &CAdminSession::CommandLogout},
    {AdminWord::SHUTDOWN, &CAdminSession::CommandShutdown},
    {AdminWord::LIST, &CAdminSession::CommandList},
    {AdminWord::SHOW, &CAdminSession::CommandShow},
    {AdminWord::TERMINATE, &CAdminSession::CommandTerminate},
    {AdminWord::SET, &CAdminSession::CommandSet},
    {AdminWord::GET, &CAdminSession::CommandGet},
    {AdminWord::CLEARLOG, &CAdminSession::CommandClearLog},
    {AdminWord::VIEWLOG, &CAdminSession::CommandViewLog},
};

CAdminSession::CAdminSession(IAdminServer* pServer, SOCKET socket, const SocketAddress& address,
                             ISocketLayer& sockets, IClock& clock)
    : m_sockets(sockets), m_clock(clock), m_pServer(pServer), m_sockConnection(socket),
      m_pszAddress(DottedAddressText(address.address)), m_nPort(NetToHost16(address.port)),
      m_pLog(CLog::GetInstance()), m_pSettings(CServerSettings::GetInstance()),
      m_dwConnectTick(clock.TickCount()), m_dwLastInputTick(m_dwConnectTick)
{
    TQ_ASSERT(INVALID_SOCKET != socket);
    TQ_ASSERT(NULL != pServer);
    TQ_ASSERT(NULL != m_pLog);
    TQ_ASSERT(NULL != m_pSettings);
    m_pLog->Print(CLog::LEVEL_INFO, "Admin session %s:%d connected.", m_pszAddress.c_str(),
                  m_nPort);
}

CAdminSession::~CAdminSession()
{
    if (m_sockConnection != INVALID_SOCKET)
    {
        m_sockets.Close(m_sockConnection);
        m_sockConnection = INVALID_SOCKET;
    }
}

bool CAdminSession::Poll()
{
    m_sockets.SetLastError(0);
    uint8_t byte = 0;
    const int received = m_sockets.Recv(m_sockConnection, std::span<uint8_t>(&byte, 1));
    if (received == 1)
    {
        m_dwLastInputTick = m_clock.TickCount();
        AppendByte(byte);
        return true;
    }
    const int error = m_sockets.GetLastError();
    if (error == WSAEWOULDBLOCK)
    {
        return false;
    }
    if (error == 0)
    {
        m_pLog->Print(CLog::LEVEL_INFO, "Admin session closed.");
    }
    else
    {
        m_pLog->Print(CLog::LEVEL_INFO, "Admin session connection lost, error: %d.", error);
    }
    m_nState = STATE_CLOSE_REQUESTED;
    return false;
}

void CAdminSession::AppendByte(uint8_t byte)
{
    if (byte == ADMIN_COMMAND_END)
    {
        if (!m_bOverlong)
        {
            Dispatch();
            return;
        }
        // Nothing of an over-long line runs: it is answered as a command not known.
        m_bOverlong = false;
        SendReply("Does not compute");
    }
    else if (m_bOverlong)
    {
        return;
    }
    else if (m_nCommandLength < MAX_COMMAND_LENGTH)
    {
        m_szCommand[m_nCommandLength++] = static_cast<char>(byte);
        m_szCommand[m_nCommandLength] = '\0';
    }
    else
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Admin command buffer overflow.");
        m_bOverlong = true;
        ResetCommand();
    }
}

void CAdminSession::Dispatch()
{
    // The command is a C string: a zero byte received ends it early.
    const std::string_view text(m_szCommand);
    std::string word;
    const std::string_view argument =
        SplitToken(text, ' ', word, WORD_FIELD_SIZE).value_or(std::string_view());

    for (const CommandEntry& entry : m_loggedOutCommands)
    {
        if (EqualsNoCase(word, entry.name))
        {
            (this->*entry.handler)(argument);
            return;
        }
    }
    if (!m_bLoggedIn)
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Admin command '%s' issued when not logged in.",
                      word.c_str());
        SendReply("Not logged in.");
        return;
    }
    for (const CommandEntry& entry : m_loggedInCommands)
    {
        if (EqualsNoCase(word, entry.name))
        {
            (this->*entry.handler)(argument);
            return;
        }
    }
    m_pLog->Print(CLog::LEVEL_ERROR, "Invalid admin command '%s' issued.", word.c_str());
    SendReply("Does not compute");
}

void CAdminSession::SendReply(std::string_view reply)
{
    std::string framed;
    framed.reserve(reply.size() + 2);
    framed += '{';
    framed += reply;
    framed += '}';
    Queue(std::move(framed));
    ResetCommand();
}

void CAdminSession::Queue(std::string bytes)
{
    m_nQueuedBytes += bytes.size();
    Output output;
    output.bytes = std::move(bytes);
    m_output.push_back(std::move(output));
    Flush();
    if (m_nQueuedBytes > MAX_QUEUED_BYTES && m_nState == STATE_OPEN)
    {
        m_pLog->Print(CLog::LEVEL_INFO,
                      "Admin session %s:%d disconnected: it left more than %zu bytes of replies "
                      "unread.",
                      m_pszAddress.c_str(), m_nPort, MAX_QUEUED_BYTES);
        m_nState = STATE_CLOSE_REQUESTED;
    }
}

bool CAdminSession::Flush()
{
    while (!m_output.empty())
    {
        if (!SendFront(m_output.front()))
        {
            return false;
        }
        m_output.pop_front();
    }
    return true;
}

// True once the whole piece is sent. A failed send is not reported here: a broken
// connection shows at the next receive.
bool CAdminSession::SendFront(Output& output)
{
    while (output.log || output.sent < output.bytes.size())
    {
        if (output.log && output.sent == output.bytes.size())
        {
            ReadLogBlock(output);
        }
        const auto rest = std::span<const uint8_t>(
            reinterpret_cast<const uint8_t*>(output.bytes.data()) + output.sent,
            output.bytes.size() - output.sent);
        const int sent = m_sockets.Send(m_sockConnection, rest);
        if (sent <= 0)
        {
            return false;
        }
        output.sent += static_cast<size_t>(sent);
        if (!output.stream)
        {
            m_nQueuedBytes -= static_cast<size_t>(sent);
        }
    }
    return true;
}

// Reads the next block of the log into `bytes`; at its end (or where the file ends
// early) the zero byte follows, and the piece becomes a plain one.
void CAdminSession::ReadLogBlock(Output& output)
{
    output.bytes.assign(static_cast<size_t>(std::min<uint64_t>(output.size, STREAM_BLOCK_SIZE)),
                        '\0');
    output.log->read(output.bytes.data(), static_cast<std::streamsize>(output.bytes.size()));
    output.bytes.resize(static_cast<size_t>(std::max<std::streamsize>(output.log->gcount(), 0)));
    output.size -= output.bytes.size();
    output.sent = 0;
    if (output.bytes.empty() || output.size == 0)
    {
        output.bytes.push_back('\0');
        output.log.reset();
    }
}

void CAdminSession::CheckTimeouts(uint32_t now)
{
    if (MsUntilDue(now) != 0)
    {
        return;
    }
    const ServerSettingValues& values = m_pSettings->Values();
    if (m_bLoggedIn)
    {
        Disconnect("sent nothing for", values.adminIdleTimeout);
    }
    else
    {
        Disconnect("did not log in within", values.adminLoginGrace);
    }
}

uint32_t CAdminSession::MsUntilDue(uint32_t now) const
{
    const ServerSettingValues& values = m_pSettings->Values();
    const int seconds = m_bLoggedIn ? values.adminIdleTimeout : values.adminLoginGrace;
    if (seconds <= 0 || m_nState != STATE_OPEN)
    {
        return NOT_DUE;
    }
    const uint32_t since = now - (m_bLoggedIn ? m_dwLastInputTick : m_dwConnectTick);
    const uint64_t limit = static_cast<uint64_t>(seconds) * 1000u;
    return since >= limit ? 0 : static_cast<uint32_t>(std::min<uint64_t>(limit - since, NOT_DUE - 1));
}

void CAdminSession::Disconnect(const char* reason, int seconds)
{
    m_pLog->Print(CLog::LEVEL_INFO, "Admin session %s:%d closed: it %s %d seconds.",
                  m_pszAddress.c_str(), m_nPort, reason, seconds);
    m_nState = STATE_CLOSE_REQUESTED;
}

void CAdminSession::ResetCommand()
{
    m_nCommandLength = 0;
    m_szCommand[0] = '\0';
}

void CAdminSession::CommandHelp(std::string_view)
{
    SendReply(HELP_TEXT);
    m_pLog->Print(CLog::LEVEL_INFO, "Admin command %s issued.", AdminWord::HELP);
}

void CAdminSession::CommandLogin(std::string_view argument)
{
    if (argument == m_pSettings->Values().adminPassword)
    {
        m_pLog->Print(CLog::LEVEL_INFO, "Admin command LOGIN issued with correct password.");
        m_bLoggedIn = true;
        SendReply("OK");
        return;
    }
    m_pLog->Print(CLog::LEVEL_ERROR, "Admin command LOGIN issued with incorrect password.");
    m_pServer->AdminLoginFailed();
    SendReply("Incorrect password.");
    m_nState = STATE_CLOSE_REQUESTED;
}

void CAdminSession::CommandLogout(std::string_view)
{
    m_pLog->Print(CLog::LEVEL_INFO, "Admin command LOGOUT issued.");
    SendReply("OK");
    m_nState = STATE_CLOSE_REQUESTED;
}

void CAdminSession::CommandShutdown(std::string_view argument)
{
    if (argument == m_pSettings->Values().adminPassword)
    {
        m_pLog->Print(CLog::LEVEL_INFO, "Admin command SHUTDOWN issued with correct password.");
        SendReply("OK");
        m_nState = STATE_SHUTDOWN_REQUESTED;
        return;
    }
    m_pLog->Print(CLog::LEVEL_ERROR, "Admin command SHUTDOWN issued with incorrect password.");
    SendReply("Incorrect password.");
}

void CAdminSession::CommandList(std::string_view)
{
    SendReply(m_pServer->GetSessionListText());
    m_pLog->Print(CLog::LEVEL_INFO, "Admin command LIST issued.");
}

bool CAdminSession::FindSessionArgument(const char* command, std::string_view argument)
{
    if (argument.empty())
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Admin command %s issued, missing argument.", command);
        SendReply("Error: Missing argument.");
        return false;
    }
    if (m_pServer->HasSession(argument))
    {
        return true;
    }
    const std::string id(argument);
    m_pLog->Print(CLog::LEVEL_ERROR, "Admin command %s issued with an invalid session ID (%s).",
                  command, id.c_str());
    SendReply("Error: No session with ID " + std::string(CutText(argument, MAX_ECHOED_ID_LENGTH)) +
              ".");
    return false;
}

void CAdminSession::CommandShow(std::string_view argument)
{
    if (FindSessionArgument(AdminWord::SHOW, argument))
    {
        SendReply(m_pServer->GetSessionStatisticsText(argument));
    }
}

void CAdminSession::CommandTerminate(std::string_view argument)
{
    if (FindSessionArgument(AdminWord::TERMINATE, argument))
    {
        const std::string id(argument);
        m_pLog->Print(CLog::LEVEL_INFO, "Admin command TERMINATE issued for session %s.",
                      id.c_str());
        m_pServer->TerminateSession(argument);
        SendReply("OK");
    }
}

void CAdminSession::CommandSet(std::string_view argument)
{
    std::string name;
    std::string value;
    const std::string_view rest =
        SplitToken(argument, '=', name, OPTION_FIELD_SIZE).value_or(std::string_view());
    SplitToken(rest, '=', value, OPTION_FIELD_SIZE);
    if (FindServerSetting(name) == nullptr)
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Admin command SET issued with invalid option.");
        SendReply("Invalid option.");
        return;
    }
    if (m_pServer->SetOption(name, value))
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Admin command SET (%s=%s) succeeded.", name.c_str(),
                      value.c_str());
        SendReply("OK");
        return;
    }
    m_pLog->Print(CLog::LEVEL_ERROR, "Admin command SET (%s=%s) failed.", name.c_str(),
                  value.c_str());
    SendReply("Set option failed.");
}

void CAdminSession::CommandGet(std::string_view argument)
{
    std::string value;
    if (!m_pSettings->GetValueText(argument, value))
    {
        m_pLog->Print(CLog::LEVEL_ERROR, "Admin command GET issued with invalid option.");
        SendReply("Invalid option.");
        return;
    }
    SendReply(value);
}

void CAdminSession::CommandClearLog(std::string_view)
{
    const bool cleared = m_pLog->Clear();
    m_pLog->Print(CLog::LEVEL_INFO, "Admin command CLEARLOG issued.");
    SendReply(cleared ? "OK" : "Unable to clear log.");
}

void CAdminSession::CommandViewLog(std::string_view)
{
    m_pLog->Print(CLog::LEVEL_INFO, "Admin command VIEWLOG issued.");
    ResetCommand();
    // The log travels unframed and ends with one zero byte; a log that cannot be opened
    // sends nothing. What is written after this point is not sent.
    auto file = std::make_unique<std::ifstream>(m_pLog->GetFilename(), std::ios::binary | std::ios::ate);
    if (!*file)
    {
        return;
    }
    Output output;
    output.size = static_cast<uint64_t>(std::max<std::streamoff>(file->tellg(), 0));
    file->seekg(0);
    output.log = std::move(file);
    output.stream = true;
    m_output.push_back(std::move(output));
    Flush();
}
