// A real CAdminSession (with a server core that is not started) over the fake socket
// layer, fed an operator's byte stream in chunks. A model of the command buffer (511
// characters, CR ends a command, the byte after a full buffer is dropped and empties
// it) tells which polls complete a command; checked: only those polls write, each
// writes exactly one reply in braces of a form the command may answer (VIEWLOG: the
// log file followed by one zero byte), nothing but HELP's, LOGIN's and "Not logged
// in." answers before a LOGIN with the right password, the session asks to close
// exactly after a wrong LOGIN, LOGOUT or the peer's end, and to shut down exactly
// after SHUTDOWN with the right password; nothing is read after that.
//
// Settings, the registry and the log live in the scratch folder; a SET LogFile
// command is rewritten to name a scratch file (or a missing folder, or nothing), so
// that no file outside it is touched.
//
// Input: one byte of flags (bit 0: "LOGIN <password>" CR goes first; bit 1: the peer
// closes after the last chunk; bit 2: its connection breaks instead; bit 3: the log
// takes Info lines too, else only errors), then chunks [length][bytes], each
// delivered whole before the session is polled until it has read them.
#include "FuzzSupport.h"

#include "common/Log.h"
#include "common/MyString.h"
#include "platform/TextConversion.h"
#include "server/AdminSession.h"
#include "server/ProxyServer.h"
#include "server/ServerSettings.h"
#include "support/FakeClock.h"
#include "support/FakeSocketLayer.h"

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using tq_test::FakeClock;
using tq_test::FakeSocketLayer;

namespace
{

const std::string PASSWORD = "5318";
constexpr size_t MAX_COMMAND = CAdminSession::MAX_COMMAND_LENGTH;
constexpr size_t FIELD_SIZE = 512;
constexpr size_t MAX_ECHOED_ID = 72;

struct Paths
{
    std::string log;
    std::string otherLog;
    std::string missingLog;
};

const Paths& Scratch()
{
    static const Paths paths = []
    {
        const std::string& folder = tq_fuzz::ScratchFolder();
        setenv("TARVIQEN_REGISTRY", (folder + "/registry").c_str(), 1);
        setenv("TARVIQEN_FOLDER", folder.c_str(), 1);
        return Paths{folder + "/admin.log", folder + "/other.log", folder + "/missing/admin.log"};
    }();
    return paths;
}

void ResetSettings(int logLevel)
{
    CServerSettings& settings = *CServerSettings::GetInstance();
    settings.Values().adminPassword = PASSWORD;
    settings.Values().adminPort = 7000;
    settings.Values().clientPort = 7001;
    settings.Values().clientIdleDisconnect = 0;
    settings.Values().maxLogLines = 10000;
    settings.Values().logLevel = logLevel;
    settings.Values().logFile = Scratch().log;
    // Every run starts with empty logs, so that none grows from run to run.
    (void)truncate(Scratch().log.c_str(), 0);
    (void)truncate(Scratch().otherLog.c_str(), 0);
    CLog& log = *CLog::GetInstance();
    log.SetFilename(Scratch().log);
    log.SetLogLevel(logLevel);
    log.SetMaxLines(10000);
}

struct Command
{
    std::string word;
    std::string argument;
};

// The command as the session splits it: a C string, word and argument at the first
// unquoted blank.
Command Parse(std::string_view text)
{
    text = text.substr(0, text.find('\0'));
    Command command;
    command.argument = SplitToken(text, ' ', command.word, FIELD_SIZE).value_or(std::string_view());
    return command;
}

bool IsSetLogFile(std::string_view text)
{
    const Command command = Parse(text);
    std::string name;
    SplitToken(command.argument, '=', name, FIELD_SIZE);
    return EqualsNoCase(command.word, "SET") && name == "LogFile";
}

// The command that replaces a SET LogFile command: one that names a scratch file,
// a file in a missing folder, or nothing.
std::string SafeSetLogFile(size_t choice)
{
    const std::string value = choice % 3 == 0   ? Scratch().otherLog
                              : choice % 3 == 1 ? Scratch().missingLog
                                                : std::string();
    return "SET LogFile=" + value;
}

// The byte stream (chunk after chunk) with every SET LogFile command, as the buffer
// rules cut commands, replaced; the chunk ends move with the change.
void Rewrite(std::vector<std::string>& chunks)
{
    std::string stream;
    std::vector<size_t> ends;
    for (const std::string& chunk : chunks)
        ends.push_back((stream += chunk).size());
    size_t start = 0; // where the command being received began
    for (size_t i = 0; i < stream.size(); ++i)
    {
        if (stream[i] != '\r')
            continue;
        const std::string_view held(stream.data() + start, i - start);
        // An over-long line never runs.
        if (held.size() <= MAX_COMMAND && IsSetLogFile(held))
        {
            const std::string safe = SafeSetLogFile(held.size());
            stream.replace(start, i - start, safe);
            for (size_t& end : ends)
                end = end <= start ? end : end >= i ? end - (i - start) + safe.size() : start;
            i = start + safe.size();
        }
        start = i + 1;
    }
    chunks.clear();
    size_t from = 0;
    for (const size_t end : ends)
    {
        chunks.push_back(stream.substr(from, end - from));
        from = end;
    }
}

class Run
{
  public:
    Run()
    {
        m_socket = m_sockets.AddTcpSocket();
        m_sockets.Socket(m_socket).nonBlocking = true;
        m_server = std::make_unique<CProxyServer>(m_sockets, m_clock);
        m_session = std::make_unique<CAdminSession>(
            m_server.get(), m_socket, MakeSocketAddress(AddressFromBytes(127, 0, 0, 1), 40000),
            m_sockets);
    }

    bool Open() const { return m_session->m_nState == CAdminSession::STATE_OPEN; }

    void Feed(const std::string& chunk)
    {
        auto& inbound = m_sockets.Socket(m_socket).inbound;
        inbound.insert(inbound.end(), chunk.begin(), chunk.end());
        while (!inbound.empty() && Open())
        {
            const char next = static_cast<char>(inbound.front());
            m_session->Poll();
            Received(next);
        }
    }

    void PeerEnds(bool breaks)
    {
        if (!Open())
            return;
        auto& socket = m_sockets.Socket(m_socket);
        socket.peerClosed = !breaks;
        socket.recvError = breaks ? WSAECONNRESET : 0;
        m_session->Poll();
        FUZZ_CHECK(m_session->m_nState == CAdminSession::STATE_CLOSE_REQUESTED);
        FUZZ_CHECK(Written().empty());
    }

  private:
    std::string Written()
    {
        auto& written = m_sockets.Socket(m_socket).written;
        std::string text(written.begin(), written.end());
        written.clear();
        return text;
    }

    // One byte was read: the model's buffer follows, a completed command is checked.
    void Received(char c)
    {
        if (c != '\r')
        {
            if (m_held.size() < MAX_COMMAND && !m_overlong)
                m_held += c;
            else
                m_overlong = true;
            FUZZ_CHECK(Written().empty());
            FUZZ_CHECK(Open());
            return;
        }
        if (m_overlong)
        {
            // Nothing of an over-long line runs; it is answered as an unknown command.
            m_overlong = false;
            m_held.clear();
            FUZZ_CHECK(Written() == "{Does not compute}");
            FUZZ_CHECK(Open());
            return;
        }
        const Command command = Parse(m_held);
        m_held.clear();
        CheckReply(command, Written());
    }

    static bool Is(const Command& command, const char* name)
    {
        return EqualsNoCase(command.word, name);
    }

    void CheckReply(const Command& command, const std::string& written)
    {
        int state = CAdminSession::STATE_OPEN;
        if (m_loggedIn && Is(command, "VIEWLOG"))
        {
            FUZZ_CHECK(written == tq_fuzz::ReadWholeFile(CLog::GetInstance()->GetFilename()) +
                                      std::string(1, '\0'));
            FUZZ_CHECK(Open());
            return;
        }
        FUZZ_CHECK(written.size() >= 2 && written.front() == '{' && written.back() == '}');
        const std::string body = written.substr(1, written.size() - 2);
        if (Is(command, "HELP"))
            FUZZ_CHECK(body.rfind("Valid commands are:\r\n\r\n", 0) == 0 && body.size() > 100 &&
                       body.compare(body.size() - 2, 2, "\r\n") == 0);
        else if (Is(command, "LOGIN"))
        {
            const bool right =
                command.argument == CServerSettings::GetInstance()->Values().adminPassword;
            FUZZ_CHECK(body == (right ? "OK" : "Incorrect password."));
            m_loggedIn = m_loggedIn || right;
            state = right ? state : CAdminSession::STATE_CLOSE_REQUESTED;
        }
        else if (!m_loggedIn)
            FUZZ_CHECK(body == "Not logged in.");
        else
            state = CheckLoggedIn(command, body);
        FUZZ_CHECK(m_session->m_nState == state);
    }

    int CheckLoggedIn(const Command& command, const std::string& body)
    {
        const CServerSettings& settings = *CServerSettings::GetInstance();
        if (Is(command, "LOGOUT"))
        {
            FUZZ_CHECK(body == "OK");
            return CAdminSession::STATE_CLOSE_REQUESTED;
        }
        if (Is(command, "SHUTDOWN"))
        {
            const bool right = command.argument == settings.Values().adminPassword;
            FUZZ_CHECK(body == (right ? "OK" : "Incorrect password."));
            return right ? CAdminSession::STATE_SHUTDOWN_REQUESTED : CAdminSession::STATE_OPEN;
        }
        if (Is(command, "LIST"))
            FUZZ_CHECK(body == "0"); // the server has no sessions
        else if (Is(command, "SHOW") || Is(command, "TERMINATE"))
            FUZZ_CHECK(command.argument.empty()
                           ? body == "Error: Missing argument."
                           : body.rfind("Error: No session with ID ", 0) == 0 &&
                                 body.size() <= 27 + MAX_ECHOED_ID && body.back() == '.');
        else if (Is(command, "SET"))
            FUZZ_CHECK(body == "OK" || body == "Invalid option." || body == "Set option failed.");
        else if (Is(command, "GET"))
        {
            std::string value;
            const bool known = (FindServerSetting(command.argument) != nullptr) &&
                               settings.GetValueText(command.argument, value);
            FUZZ_CHECK(body == (known ? value : "Invalid option."));
        }
        else if (Is(command, "CLEARLOG"))
            FUZZ_CHECK(body == "OK" || body == "Unable to clear log.");
        else
            FUZZ_CHECK(body == "Does not compute");
        return CAdminSession::STATE_OPEN;
    }

    FakeSocketLayer m_sockets;
    FakeClock m_clock;
    SOCKET m_socket = INVALID_SOCKET;
    std::unique_ptr<CProxyServer> m_server;
    std::unique_ptr<CAdminSession> m_session;
    std::string m_held;
    bool m_overlong = false;
    bool m_loggedIn = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    Scratch();
    tq_fuzz::ByteReader reader(data, size);
    const uint8_t flags = reader.Byte();
    ResetSettings(flags & 8 ? CLog::LEVEL_INFO : CLog::LEVEL_ERROR);
    std::vector<std::string> chunks;
    if (flags & 1)
        chunks.push_back("LOGIN " + PASSWORD + "\r");
    while (!reader.Empty())
        chunks.emplace_back(tq_fuzz::AsText(reader.Take(reader.Byte())));
    Rewrite(chunks);

    {
        Run run;
        for (const std::string& chunk : chunks)
            run.Feed(chunk);
        if (flags & 6)
            run.PeerEnds(flags & 4);
    }
    return 0;
}
