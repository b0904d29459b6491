// The console against a server that answers with any bytes: the connect sequence
// (LOGIN, the seven GETs, LIST) over the fake socket layer, then the session list
// filled from the LIST elements and sorted by each column, one statistics poll
// (SHOW), a refresh and a log download. Whatever arrives, nothing crashes or trips
// an assertion, every element keeps the framing rules (no braces, at most 511
// bytes, no comma in a list element), a finished connect holds usable settings and
// a complete list, the console only ever sends its own command lines, sorting keeps
// rows whole and in order, and a statistics poll does what its reply says.
//
// Input: one byte of flags (bit 0: the server closes the connection after its bytes;
// upper bits: bytes per piece, 0 = a whole segment at once), then the server's
// answers, one segment per command (see Server).
#include "FuzzSupport.h"

#include "admin/NextField.h"
#include "admin/ServerConnection.h"
#include "admin/SessionList.h"
#include "admin/StatisticsPoll.h"
#include "admin/WaitHook.h"
#include "common/Log.h"
#include "common/MyString.h"
#include "platform/TextConversion.h"
#include "support/FakeSocketLayer.h"

#include <algorithm>
#include <sstream>
#include <vector>

using tq_test::FakeSocketLayer;

namespace
{

// The server's side: after the console's k-th command line it answers with the k-th
// segment of the stream (segments are separated by a 0xFF byte, which never goes
// out), a piece at each timer tick and each poll of a blocking wait. Bytes of a
// segment that the console does not read are its business (the next command drops
// them).
class Server : public IWaitHook
{
public:
    static constexpr uint8_t SEGMENT_END = 0xFF;

    Server(FakeSocketLayer& sockets, std::span<const uint8_t> stream, uint8_t flags)
        : m_sockets(sockets), m_stream(stream), m_bCloses(flags & 1),
          m_nPiece(flags >> 1 == 0 ? SIZE_MAX : flags >> 1)
    {
    }
    void Deliver()
    {
        const SOCKET s = m_sockets.LastTcpSocket();
        if (s == INVALID_SOCKET)
            return;
        auto& socket = m_sockets.Socket(s);
        m_nCommands += static_cast<size_t>(
            std::count(socket.written.begin() + static_cast<long>(m_nWrittenSeen),
                       socket.written.end(), '\r'));
        m_nWrittenSeen = socket.written.size();
        if (!m_bInSegment && m_nSegments < m_nCommands && m_nSent < m_stream.size())
        {
            m_bInSegment = true;
            ++m_nSegments;
        }
        for (size_t n = 0; m_bInSegment && n < m_nPiece && m_nSent < m_stream.size(); ++n)
        {
            const uint8_t byte = m_stream[m_nSent++];
            if (byte == SEGMENT_END)
                m_bInSegment = false;
            else
                socket.inbound.push_back(byte);
        }
        if (m_nSent == m_stream.size())
            m_bInSegment = false;
        socket.peerClosed = m_bCloses && m_nSent == m_stream.size();
    }
    void wait(uint32_t) override { Deliver(); }
    bool Exhausted() const { return m_nSent == m_stream.size(); }

private:
    FakeSocketLayer& m_sockets;
    std::span<const uint8_t> m_stream;
    bool m_bCloses;
    size_t m_nPiece;
    size_t m_nSent = 0;
    size_t m_nSegments = 0;
    size_t m_nCommands = 0;
    size_t m_nWrittenSeen = 0;
    bool m_bInSegment = false;
};

void CheckElements(const CServerConnection& connection, bool listMode)
{
    for (const std::string& element : connection.getReplies())
    {
        FUZZ_CHECK(element.size() <= CServerConnection::MAX_ELEMENT_LENGTH);
        FUZZ_CHECK(element.find_first_of("{}") == std::string::npos);
        FUZZ_CHECK(!listMode || element.find(',') == std::string::npos);
    }
}

// The console sends only command lines of its own, each ended by a CR.
void CheckCommands(FakeSocketLayer& sockets)
{
    const auto& written = sockets.Socket(sockets.LastTcpSocket()).written;
    std::string_view rest(reinterpret_cast<const char*>(written.data()), written.size());
    static constexpr std::string_view known[] = {"LOGIN 5318", "GET ", "LIST", "SHOW ", "VIEWLOG"};
    while (!rest.empty())
    {
        const size_t end = rest.find('\r');
        FUZZ_CHECK(end != std::string_view::npos);
        const std::string_view line = rest.substr(0, end);
        FUZZ_CHECK(std::any_of(std::begin(known), std::end(known),
                               [&](std::string_view command) { return line.starts_with(command); }));
        rest.remove_prefix(end + 1);
    }
}

std::vector<std::vector<std::u16string>> Rows(const CSessionList& list)
{
    std::vector<std::vector<std::u16string>> rows;
    for (int i = 0; i < list.getCount(); ++i)
    {
        rows.emplace_back();
        for (int c = 0; c < CSessionList::COLUMN_COUNT; ++c)
            rows.back().push_back(list.getCell(i, c));
    }
    return rows;
}

void CheckSorting(CSessionList& list)
{
    auto unsorted = Rows(list);
    std::sort(unsorted.begin(), unsorted.end());
    for (int column = 0; column < CSessionList::COLUMN_COUNT; ++column)
    {
        for (int pass = 0; pass < 2; ++pass)
        {
            list.sortBy(column);
            const bool ascending = list.getSortAscending() == 1;
            FUZZ_CHECK(ascending == (pass == 0));
            for (int i = 1; i < list.getCount(); ++i)
            {
                const auto& a = list.getCell(i - 1, column);
                const auto& b = list.getCell(i, column);
                FUZZ_CHECK(ascending ? !(b < a) : !(a < b));
            }
            auto rows = Rows(list);
            std::sort(rows.begin(), rows.end());
            FUZZ_CHECK(rows == unsorted);
        }
    }
}

void CheckPoll(CServerConnection& connection, CSessionList& list)
{
    if (list.getCount() == 0)
        return;
    const std::u16string id = list.getSessionID(0);
    const int rows = list.getCount();
    const int selected[] = {0};
    const StatisticsPollResult result = PollSessionStatistics(connection, list, selected);
    switch (result.action)
    {
    case StatisticsPollResult::Disconnected:
        FUZZ_CHECK(!connection.isConnected() && list.getCount() == 0);
        break;
    case StatisticsPollResult::RowRemoved:
        FUZZ_CHECK(result.message.starts_with("Error") && list.getCount() == rows - 1);
        break;
    case StatisticsPollResult::Updated:
    {
        FUZZ_CHECK(connection.getCount() == 1 && list.getCount() == rows);
        std::u16string reply = Utf8ToUtf16(connection.getReply(0));
        const std::u16string connectTime = nextField(reply, u',');
        for (int i = 0; i < list.getCount(); ++i)
            if (list.getSessionID(i) == id.substr(0, 99))
                FUZZ_CHECK(list.getConnectTime(i) == connectTime);
        break;
    }
    default:
        FUZZ_CHECK(false);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    tq_fuzz::Initialise();
    if (size == 0)
        return 0;
    FakeSocketLayer sockets;
    ServerSettingValues settings;
    Server server(sockets, {data + 1, size - 1}, data[0]);
    CServerConnection connection(sockets, settings);
    connection.setWaitHook(&server);
    connection.setServer(CServerDefinition(u"Fuzz", u"127.0.0.1", 7000, u"5318"));
    connection.start();
    // Once the server has nothing more to say, a few ticks show what the console makes
    // of it; only the login's own time limit is worth waiting for.
    int idleTicks = 0;
    for (int tick = 0; tick < 400 && connection.getState() != CServerConnection::Connected &&
                       connection.getState() != CServerConnection::Failed &&
                       (idleTicks < 3 || connection.getState() == CServerConnection::LoginWait);
         ++tick)
    {
        idleTicks = server.Exhausted() ? idleTicks + 1 : 0;
        server.Deliver();
        connection.step();
        CheckElements(connection, connection.getState() == CServerConnection::ListRead ||
                                      connection.getState() == CServerConnection::Connected);
    }
    CheckCommands(sockets);
    if (connection.getState() == CServerConnection::Failed)
    {
        FUZZ_CHECK(connection.getServer() == nullptr && !connection.isConnected());
        return 0;
    }
    if (connection.getState() != CServerConnection::Connected)
        return 0; // still waiting for a reply that never comes
    FUZZ_CHECK(CLog::isValidLogLevel(settings.logLevel));
    FUZZ_CHECK(settings.adminPassword.size() < 128);
    FUZZ_CHECK(connection.getCount() >= 1 &&
               connection.getCount() == ReadDecimal(connection.getReply(0)) + 1);

    CSessionList list;
    list.fillFromReplies(connection.getReplies());
    FUZZ_CHECK(list.getCount() == connection.getCount() - 1);
    CheckSorting(list);
    CheckPoll(connection, list);
    if (connection.isConnected() && connection.refreshSessions() == 1)
    {
        CheckElements(connection, true);
        list.fillFromReplies(connection.getReplies());
    }
    if (connection.isConnected())
    {
        connection.sendCommand("VIEWLOG\r");
        std::ostringstream file;
        if (connection.receiveToFile(file) == 1)
            FUZZ_CHECK(file.str().find('\0') == std::string::npos);
    }
    CheckCommands(sockets);
    return 0;
}
