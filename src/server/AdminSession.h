#pragma once
// One operator's connection to the admin port: reads commands byte by byte (CR ends
// a command), carries them out and answers each in braces.
#include "platform/SocketLayer.h"
#include "tunnel/AdminProtocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CLog;
class IAdminServer;
class CServerSettings;

class CAdminSession
{
public:
    enum State
    {
        STATE_OPEN = 0,
        STATE_CLOSE_REQUESTED = 1,
        STATE_SHUTDOWN_REQUESTED = 2
    };
    static constexpr size_t MAX_COMMAND_LENGTH = ADMIN_MAX_COMMAND_LENGTH;

    CAdminSession(IAdminServer* server, SOCKET socket, const SocketAddress& address,
                  ISocketLayer& sockets = CSystemSocketLayer::Instance());
    ~CAdminSession();
    CAdminSession(const CAdminSession&) = delete;
    CAdminSession& operator=(const CAdminSession&) = delete;

    // Receives at most one byte; carries out a command that it completes. Always true.
    bool Poll();
    // Frames and sends one reply in blocking mode, then empties the command buffer.
    void SendReply(std::string_view reply);
    void ResetCommand();
    SOCKET GetSocket() const { return m_sockConnection; }

    int m_nState = STATE_OPEN;

private:
    using Handler = void (CAdminSession::*)(std::string_view argument);
    struct CommandEntry
    {
        const char* name;
        Handler handler;
    };

    void AppendByte(uint8_t byte);
    void Dispatch();
    void SendBytes(std::string_view bytes);

    void CommandHelp(std::string_view argument);
    void CommandLogin(std::string_view argument);
    void CommandLogout(std::string_view argument);
    void CommandShutdown(std::string_view argument);
    void CommandList(std::string_view argument);
    void CommandShow(std::string_view argument);
    void CommandTerminate(std::string_view argument);
    void CommandSet(std::string_view argument);
    void CommandGet(std::string_view argument);
    void CommandClearLog(std::string_view argument);
    void CommandViewLog(std::string_view argument);
    // True when a SHOW or TERMINATE argument names a session; else answers and logs
    // the error.
    bool FindSessionArgument(const char* command, std::string_view argument);

    static const CommandEntry m_loggedOutCommands[];
    static const CommandEntry m_loggedInCommands[];

    ISocketLayer& m_sockets;
    IAdminServer* m_pServer;
    SOCKET m_sockConnection;
    std::string m_pszAddress;
    int m_nPort;
    CLog* m_pLog;
    CServerSettings* m_pSettings;
    bool m_bLoggedIn = false;
    char m_szCommand[MAX_COMMAND_LENGTH + 1] = {};
    size_t m_nCommandLength = 0;
};
