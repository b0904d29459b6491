#pragma once
// The console's client of the admin command protocol: the one TCP connection to one
// proxy server. The connect sequence (resolve, connect, LOGIN, the seven GETs, LIST) is
// a state machine stepped by the connect dialog's timer; afterwards the window sends
// one command at a time and reads the framed reply's elements.
#include "admin/ServerDefinition.h"
#include "platform/Socket.h"
#include "tunnel/AdminProtocol.h"

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

class ISocketLayer;
class IProgressOutput;
class IStatusOutput;
class IWaitHook;

class CServerConnection
{
public:
    enum State
    {
        ConnectStart = 0,
        ConnectWait = 1,
        LoginSend = 2,
        LoginWait = 3,
        SettingsGet = 4,
        ListSend = 5,
        ListRead = 6,
        Connected = 7,
        Aborting = 8,
        Failed = 9
    };

    static constexpr int MAX_TICKS = 300;
    static constexpr int MAX_POLLS = 50;
    static constexpr uint32_t POLL_INTERVAL_MS = 100;
    // The element accumulator holds at most this many characters; more are dropped.
    static constexpr size_t MAX_ELEMENT_LENGTH = 511;
    static constexpr size_t RECEIVE_BUFFER_SIZE = 2048;

    static CServerConnection* GetInstance();
    static void DestroyInstance();

    CServerConnection(ISocketLayer& sockets, ServerSettingValues& settings);
    ~CServerConnection();
    CServerConnection(const CServerConnection&) = delete;
    CServerConnection& operator=(const CServerConnection&) = delete;

    // Keeps a copy of the server to connect to; no attempt or connection may exist.
    void setServer(const CServerDefinition& definition);
    // The connection's copy: present exactly while an attempt or a connection exists.
    const CServerDefinition* getServer() const { return m_pServerDef.get(); }
    // Attaching the progress output sets its range to 0..300 and its position to 0.
    void setProgress(IProgressOutput* progress);
    void setStatusWnd(IStatusOutput* status);
    // Null: the blocking waits sleep 100 ms between polls.
    void setWaitHook(IWaitHook* hook) { m_pWaitHook = hook; }

    void start();
    // One timer tick of the connect sequence.
    void step();
    // Ends an attempt in progress at the next tick ("Aborted.").
    void abort();
    int getState() const { return m_nState; }
    bool isConnected() const { return m_bConnected; }
    // True while a blocking wait runs: a timer that fires meanwhile (through the wait
    // hook) must leave the connection alone.
    bool isBusy() const { return m_nBusy > 0; }

    // Sends one command line (ended by CR) and forgets the previous reply, with every
    // byte that arrived after it.
    void sendCommand(std::string_view line);
    // 1 when one more reply element was completed, else 0.
    int readReply(bool listMode);
    // Up to 50 attempts of readReply, 100 ms apart.
    int waitForReply(bool listMode);
    // "command argument\r" (or "command\r"), then waits; on 1 one element stands.
    int sendAndWait(std::string_view command, std::string_view argument = {});
    // The VIEWLOG stream (sent by the caller) into `file`, without its ending zero.
    int receiveToFile(std::ostream& file);
    // A GET of every setting into the settings record.
    int getSettings();
    // The record the GETs fill.
    ServerSettingValues& settings() { return m_settings; }
    // LIST, read whole into the reply elements.
    int refreshSessions();
    // Between commands, without sending: reads what arrived (dropped, as the next
    // command would drop it) and so notices a server that closed the connection,
    // which then fails with "Network error.". False once not connected.
    bool checkPeer();
    // Closes the connection (never with LOGOUT); `message` goes to the status line.
    void disconnect(std::string_view message = {});
    void fail(std::string_view message);

    int getCount() const { return static_cast<int>(m_aReplies.size()); }
    const std::string& getReply(int index) const;
    std::span<const std::string> getReplies() const { return m_aReplies; }

private:
    // Marks a blocking wait for isBusy().
    class CBusyScope
    {
    public:
        explicit CBusyScope(CServerConnection& connection) : m_connection(connection)
        {
            ++m_connection.m_nBusy;
        }
        ~CBusyScope() { --m_connection.m_nBusy; }
        CBusyScope(const CBusyScope&) = delete;
        CBusyScope& operator=(const CBusyScope&) = delete;

    private:
        CServerConnection& m_connection;
    };

    void stepConnectStart();
    void stepConnectWait();
    void stepLoginSend();
    void stepLoginWait();
    void stepSettingsGet();
    void stepListRead();
    void startConnect(uint32_t address);

    // Refills the receive buffer when it is empty: false when no byte is there (or the
    // connection failed with "Network error.").
    bool fillBuffer();
    int receiveByte();
    void discardArrived();
    // Drops the replies of commands whose wait expired, as far as they have arrived;
    // true once none is left.
    bool skipLateReplies();
    // A command whose reply (or stream) did not arrive in time: its late bytes, up to
    // `terminator`, must not be taken for the next command's reply.
    void expectLateReply(uint8_t terminator);
    void pause();
    void appendReply();
    void showStatus(std::string_view text);
    void showProgress(int position);
    void detachOutputs();

    ISocketLayer& m_sockets;
    ServerSettingValues& m_settings;
    SOCKET m_socket = INVALID_SOCKET;
    bool m_bConnected = false;
    int m_nTicks = 0;
    std::unique_ptr<CServerDefinition> m_pServerDef;
    IProgressOutput* m_pProgress = nullptr;
    IStatusOutput* m_pStatus = nullptr;
    IWaitHook* m_pWaitHook = nullptr;
    int m_nState = Failed;
    std::vector<std::string> m_aReplies;
    std::string m_szElement;
    std::array<uint8_t, RECEIVE_BUFFER_SIZE> m_abReceive{};
    size_t m_nReadPos = 0;
    size_t m_nUnread = 0;
    int m_nSessionCount = 0;
    // The immediate error of a connect that failed at once (Linux reports a refused
    // loopback connect there); shown at the next tick as a failed connect.
    int m_nConnectError = 0;
    std::deque<uint8_t> m_lateReplyEnds;
    int m_nBusy = 0;
    bool m_bStepping = false;

    static std::unique_ptr<CServerConnection> m_pSingleton;
};
