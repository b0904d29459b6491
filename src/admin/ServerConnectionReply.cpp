// The command side of CServerConnection: sending a line, reading framed reply
// elements, the blocking waits and the log download.
#include "admin/ServerConnection.h"

#include "admin/WaitHook.h"
#include "common/Assert.h"
#include "common/MyString.h"
#include "platform/SocketLayer.h"
#include "platform/Time.h"

#include <cstring>

namespace
{
constexpr uint8_t REPLY_END = '}';
constexpr uint8_t STREAM_END = 0;
constexpr size_t FIRST_REPLY_SLOTS = 32;
// A server that keeps sending between commands cannot hold the console forever.
constexpr size_t MAX_DISCARDED_BYTES = 65536;
} // namespace

void CServerConnection::sendCommand(std::string_view line)
{
    discardArrived();
    if (m_socket != INVALID_SOCKET)
        m_sockets.Send(m_socket,
                       std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
    m_szElement.clear();
    m_aReplies.clear();
}

// What has arrived since the last reply is never read as the coming command's reply:
// first the late replies of expired waits are skipped, then every other byte is
// dropped, the buffered ones and those still waiting in the socket.
void CServerConnection::discardArrived()
{
    if (!skipLateReplies())
        return;
    m_nUnread = 0;
    for (size_t dropped = 0; dropped < MAX_DISCARDED_BYTES && fillBuffer(); m_nUnread = 0)
        dropped += m_nUnread;
}

bool CServerConnection::checkPeer()
{
    if (m_nState == Connected && m_bConnected && !isBusy())
        discardArrived();
    return m_bConnected;
}

int CServerConnection::readReply(bool listMode)
{
    if (!skipLateReplies())
        return 0;
    for (int c = receiveByte(); c >= 0; c = receiveByte())
    {
        if (c == '{')
            continue;
        if (c == REPLY_END || (listMode && c == ','))
        {
            appendReply();
            return 1;
        }
        if (m_szElement.size() < MAX_ELEMENT_LENGTH)
            m_szElement.push_back(static_cast<char>(c));
    }
    return 0;
}

int CServerConnection::waitForReply(bool listMode)
{
    const CBusyScope busy(*this);
    for (int attempt = 1; attempt <= MAX_POLLS; ++attempt)
    {
        if (readReply(listMode) == 1)
            return 1;
        // A dropped connection cannot answer any more: no point in waiting on.
        if (m_socket == INVALID_SOCKET)
            return 0;
        if (attempt < MAX_POLLS)
            pause();
    }
    expectLateReply(REPLY_END);
    return 0;
}

int CServerConnection::sendAndWait(std::string_view command, std::string_view argument)
{
    sendCommand(argument.empty() ? FormatAdminCommand(command)
                                 : FormatAdminCommand(command, argument));
    if (waitForReply(false) == 0)
        return 0;
    TQ_ASSERT_TEXT(1 == m_aReplies.size(), "1 == m_aReplies.getCount()");
    return 1;
}

int CServerConnection::refreshSessions()
{
    const CBusyScope busy(*this);
    sendCommand(FormatAdminCommand(AdminWord::LIST));
    long long expected = -1;
    for (int idlePolls = 0; idlePolls < MAX_POLLS;)
    {
        bool arrived = false;
        while (readReply(true) == 1)
        {
            arrived = true;
            if (m_aReplies.size() == 1)
                expected = static_cast<long long>(ReadDecimal(m_aReplies[0])) + 1;
            if (static_cast<long long>(m_aReplies.size()) == expected)
                return 1;
        }
        if (m_socket == INVALID_SOCKET)
            return 0;
        if (arrived)
            idlePolls = 0;
        else
        {
            ++idlePolls;
            pause();
        }
    }
    expectLateReply(REPLY_END);
    return 0;
}

int CServerConnection::receiveToFile(std::ostream& file)
{
    const CBusyScope busy(*this);
    bool arrived = false;
    // Data does not renew the polls: the whole stream must arrive within them.
    for (int poll = 0; poll < MAX_POLLS; ++poll)
    {
        while (skipLateReplies() && fillBuffer())
        {
            arrived = true;
            const uint8_t* begin = m_abReceive.data() + m_nReadPos;
            const auto* end =
                static_cast<const uint8_t*>(std::memchr(begin, STREAM_END, m_nUnread));
            const size_t length = end != nullptr ? static_cast<size_t>(end - begin) : m_nUnread;
            file.write(reinterpret_cast<const char*>(begin), static_cast<std::streamsize>(length));
            m_nReadPos += length;
            m_nUnread -= length;
            if (end != nullptr)
            {
                ++m_nReadPos;
                --m_nUnread;
                // A file that could not take the whole log (a full disk) is a failure.
                return file.flush().good() ? 1 : 0;
            }
        }
        if (m_socket == INVALID_SOCKET)
            return 0;
        pause();
    }
    // The server sends the whole stream or nothing (a log it cannot open): only a
    // stream that has begun can still end later.
    if (arrived)
        expectLateReply(STREAM_END);
    return 0;
}

const std::string& CServerConnection::getReply(int index) const
{
    TQ_ASSERT_TEXT(index >= 0 && index < getCount(), "TRUE == isValidIndex( nIndex )");
    return m_aReplies[static_cast<size_t>(index)];
}

bool CServerConnection::fillBuffer()
{
    if (m_nUnread > 0)
        return true;
    if (m_socket == INVALID_SOCKET)
        return false;
    const int received = m_sockets.Recv(m_socket, m_abReceive);
    if (received > 0)
    {
        m_nReadPos = 0;
        m_nUnread = static_cast<size_t>(received);
        return true;
    }
    // recv returning 0 is the server's orderly close: an error like any other.
    if (received < 0 && m_sockets.GetLastError() == WSAEWOULDBLOCK)
        return false;
    fail("Network error.");
    return false;
}

int CServerConnection::receiveByte()
{
    if (!fillBuffer())
        return -1;
    --m_nUnread;
    return m_abReceive[m_nReadPos++];
}

bool CServerConnection::skipLateReplies()
{
    while (!m_lateReplyEnds.empty())
    {
        const int c = receiveByte();
        if (c < 0)
            return false;
        if (c == m_lateReplyEnds.front())
            m_lateReplyEnds.pop_front();
    }
    return true;
}

void CServerConnection::expectLateReply(uint8_t terminator)
{
    if (m_socket != INVALID_SOCKET)
        m_lateReplyEnds.push_back(terminator);
}

void CServerConnection::pause()
{
    if (m_pWaitHook != nullptr)
        m_pWaitHook->wait(POLL_INTERVAL_MS);
    else
        SleepMs(POLL_INTERVAL_MS);
}

void CServerConnection::appendReply()
{
    if (m_aReplies.size() == m_aReplies.capacity())
        m_aReplies.reserve(m_aReplies.capacity() == 0 ? FIRST_REPLY_SLOTS
                                                      : m_aReplies.capacity() * 2);
    m_aReplies.push_back(m_szElement);
    m_szElement.clear();
}
