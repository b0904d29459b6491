#pragma once
// One operator's connection to the admin port: reads commands byte by byte (CR ends
// a command), carries them out and answers each in braces. Replies wait in a bounded
// queue until the socket takes them; VIEWLOG streams the log from the file.
#include "platform/Clock.h"
#include "platform/SocketLayer.h"
#include "tunnel/AdminProtocol.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
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
    // Replies a peer may leave unread before it is disconnected (a log stream does not
    // count).
    static constexpr size_t MAX_QUEUED_BYTES = 256 * 1024;
    static constexpr size_t STREAM_BLOCK_SIZE = 16 * 1024;
    static constexpr uint32_t NOT_DUE = UINT32_MAX;

    CAdminSession(IAdminServer* server, SOCKET socket, const SocketAddress& address,
                  ISocketLayer& sockets = CSystemSocketLayer::Instance(),
                  IClock& clock = CSystemClock::Instance());
    ~CAdminSession();
    CAdminSession(const CAdminSession&) = delete;
    CAdminSession& operator=(const CAdminSession&) = delete;

    // Receives at most one byte; carries out a command that it completes. False when
    // nothing was there to read (the socket would block) or the connection ended.
    bool Poll();
    // Frames and queues one reply, sends what the socket takes, then empties the
    // command buffer.
    void SendReply(std::string_view reply);
    // Sends queued output as far as the socket takes it. False once it would block
    // with output left.
    bool Flush();
    // Closes a connection that did not log in within AdminLoginGrace seconds, or, logged
    // in, sent nothing for AdminIdleTimeout seconds.
    void CheckTimeouts(uint32_t now);
    // Milliseconds until CheckTimeouts has something to do, or NOT_DUE.
    uint32_t MsUntilDue(uint32_t now) const;
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

    // One piece of output: reply bytes, or (with `log`) the log file from `sent` to
    // `size` and then its zero byte.
    struct Output
    {
        std::string bytes;
        std::unique_ptr<std::ifstream> log;
        uint64_t size = 0;
        size_t sent = 0;
        bool stream = false; // a log stream: not counted in m_nQueuedBytes
    };

    void AppendByte(uint8_t byte);
    void Dispatch();
    void Queue(std::string bytes);
    // Sends the front of the queue; false when the socket would block (or failed).
    bool SendFront(Output& output);
    void ReadLogBlock(Output& output);
    void Disconnect(const char* reason, int seconds);

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
    IClock& m_clock;
    IAdminServer* m_pServer;
    SOCKET m_sockConnection;
    std::string m_pszAddress;
    int m_nPort;
    CLog* m_pLog;
    CServerSettings* m_pSettings;
    bool m_bLoggedIn = false;
    char m_szCommand[MAX_COMMAND_LENGTH + 1] = {};
    size_t m_nCommandLength = 0;
    bool m_bOverlong = false; // bytes are dropped up to the next CR
    std::deque<Output> m_output;
    size_t m_nQueuedBytes = 0;
    uint32_t m_dwConnectTick;
    uint32_t m_dwLastInputTick;
};
