#include "common/Log.h"

#include "common/Assert.h"
#include "platform/ConsoleOutput.h"

#include <algorithm>
#include <cstdarg>
#include <span>

std::unique_ptr<CLog> CLog::m_pLog;

namespace
{
// Closes a stdio file when it goes out of scope.
struct CFileCloser
{
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, CFileCloser>;

FilePtr OpenFile(const std::string& name, const char* mode)
{
    return FilePtr(std::fopen(name.c_str(), mode));
}

// The longest prefix of `text` of at most `limit` bytes that does not split a UTF-8
// character. Bytes that are not UTF-8 at all are cut where the limit falls.
size_t Utf8CutLength(std::string_view text, size_t limit)
{
    if (text.size() <= limit)
    {
        return text.size();
    }
    size_t cut = limit;
    // A character is at most four bytes long: back off over up to three continuations.
    for (int i = 0; i < 3 && cut > 0; ++i)
    {
        if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80)
        {
            return cut;
        }
        --cut;
    }
    return (static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80 ? cut : limit;
}

// Control characters (a line feed from a peer, say) are written as \xNN, so that one
// message is one line.
std::string EscapeControls(std::string_view message)
{
    std::string escaped;
    escaped.reserve(message.size());
    for (const char c : message)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
        {
            char code[5];
            std::snprintf(code, sizeof(code), "\\x%02x", byte);
            escaped += code;
        }
        else
        {
            escaped += c;
        }
    }
    return escaped;
}
} // namespace

size_t ReadCountedLine(FILE* file, char* buffer, size_t size)
{
    const size_t limit = size < CLog::COUNTED_LINE_SIZE ? size : CLog::COUNTED_LINE_SIZE;
    size_t count = 0;
    while (count < limit)
    {
        const int c = std::getc(file);
        if (c == EOF)
        {
            break;
        }
        buffer[count++] = static_cast<char>(c);
        if (c == '\n')
        {
            break;
        }
    }
    if (count < size)
    {
        buffer[count] = '\0';
    }
    return count;
}

CLog* CLog::GetInstance()
{
    if (!m_pLog)
    {
        m_pLog.reset(new CLog());
        TQ_ASSERT_TEXT(nullptr != CLog::m_pLog, "NULL != CLog::m_pLog");
    }
    return m_pLog.get();
}

void CLog::DestroyInstance()
{
    m_pLog.reset();
}

bool CLog::isValidLogLevel(int level)
{
    return level >= LEVEL_ERROR && level <= LEVEL_DEBUG;
}

const char* CLog::GetLevelName(int level)
{
    switch (level)
    {
    case LEVEL_ERROR:
        return "Error";
    case LEVEL_INFO:
        return "Info";
    case LEVEL_DEBUG:
        return "Debug";
    default:
        return "Invalid";
    }
}

void CLog::SetFilename(const std::string& filename)
{
    TQ_ASSERT_TEXT(!filename.empty(), "NULL != pszFilename");
    std::lock_guard lock(m_mutex);
    m_pszFilename = filename;
    CountLines();
}

void CLog::CountLines()
{
    m_nLines = 0;
    FilePtr file = OpenFile(m_pszFilename, "rb");
    if (!file)
    {
        return;
    }
    char buffer[COUNTED_LINE_SIZE + 1];
    while (ReadCountedLine(file.get(), buffer, sizeof(buffer)) > 0)
    {
        ++m_nLines;
    }
}

void CLog::SetLogLevel(int level)
{
    TQ_ASSERT_TEXT(CLog::isValidLogLevel(level), "TRUE == CLog::isValidLogLevel( nLogLevel )");
    std::lock_guard lock(m_mutex);
    m_nLogLevel = level;
}

void CLog::SetMaxLines(uint32_t maxLines)
{
    std::lock_guard lock(m_mutex);
    m_nMaxLines = maxLines;
    m_bTrimDue = true;
}

void CLog::SetEcho(bool echo, FILE* stream)
{
    std::lock_guard lock(m_mutex);
    m_bEcho = echo;
    m_pEchoStream = stream;
}

void CLog::SetClock(IClock* clock)
{
    std::lock_guard lock(m_mutex);
    m_pClock = clock;
}

void CLog::Print(int level, const char* format, ...)
{
    TQ_ASSERT(nullptr != format);
    {
        std::lock_guard lock(m_mutex);
        if (level > m_nLogLevel)
        {
            return;
        }
    }
    char message[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    if (length < 0)
    {
        message[0] = '\0';
    }
    // vsnprintf cut an over-long message to the buffer and terminated it.
    Write(level, std::string_view(message));
}

void CLog::Write(int /*level*/, std::string_view message)
{
    std::lock_guard lock(m_mutex);
    TQ_ASSERT_TEXT(!m_pszFilename.empty(), "NULL != m_pszFilename");
    FilePtr file = OpenFile(m_pszFilename, "ab");
    if (!file)
    {
        return;
    }
    const DateTime now = m_pClock != nullptr ? m_pClock->LocalTime() : GetLocalDateTime();
    char line[LINE_BUFFER_SIZE + 2];
    const int stampLength =
        std::snprintf(line, LINE_BUFFER_SIZE, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", now.year,
                      now.month, now.day, now.hour, now.minute, now.second, now.milliseconds);
    const size_t stamp = stampLength > 0 ? static_cast<size_t>(stampLength) : 0;
    // The line without CR LF fits the line buffer with its terminator: 1023 bytes.
    const size_t room = LINE_BUFFER_SIZE - 1 - stamp;
    const std::string escaped = EscapeControls(message);
    const size_t messageLength = Utf8CutLength(escaped, room);
    escaped.copy(line + stamp, messageLength);
    size_t length = stamp + messageLength;
    line[length++] = '\r';
    line[length++] = '\n';
    std::fwrite(line, 1, length, file.get());
    file.reset();
    ++m_nLines;
    // A console whose reader has gone gets no more echo; the file goes on.
    if (m_bEcho && m_pEchoStream != nullptr &&
        WriteConsoleText(m_pEchoStream, std::string_view(line, length)) ==
            ConsoleWriteResult::ReaderGone)
    {
        m_bEcho = false;
    }
}

void CLog::Trim()
{
    std::string failedTempName;
    {
        std::lock_guard lock(m_mutex);
        TQ_ASSERT_TEXT(!m_pszFilename.empty(), "NULL != m_pszFilename");
        const uint32_t now = m_pClock != nullptr ? m_pClock->TickCount() : GetTickCount();
        // Hourly, and as soon as the file passes the maximum by a quarter (by at least
        // TRIM_MIN_EXCESS lines) unless the last try failed.
        const uint64_t trimAt = static_cast<uint64_t>(m_nMaxLines) +
                                std::max<uint32_t>(m_nMaxLines / 4, TRIM_MIN_EXCESS);
        if (!m_bTrimDue && !TickReached(now, m_dwNextTrim) && (m_nLines <= trimAt || m_bTrimFailed))
        {
            return;
        }
        m_bTrimDue = false;
        m_dwNextTrim = now + TRIM_INTERVAL_MS;
        if (m_nLines <= m_nMaxLines)
        {
            return;
        }
        const std::string tempName = m_pszFilename + "tmp";
        if (!TrimInto(tempName))
        {
            failedTempName = tempName;
        }
        m_bTrimFailed = m_nLines > m_nMaxLines;
    }
    // Logged outside the lock: Print takes it again.
    if (!failedTempName.empty())
    {
        Print(LEVEL_ERROR, "Failed to trim log (%s).", failedTempName.c_str());
    }
}

bool CLog::TrimInto(const std::string& tempName)
{
    FilePtr temp = OpenFile(tempName, "wb");
    if (!temp)
    {
        return false;
    }
    FilePtr source = OpenFile(m_pszFilename, "rb");
    if (!source)
    {
        return true; // gives up silently until the next hour
    }
    bool ok = CopyTail(source.get(), temp.get(), m_nLines - m_nMaxLines);
    source.reset();
    ok = std::fclose(temp.release()) == 0 && ok;
    // A temporary file that is not complete (full disk) never replaces the log.
    // rename replaces the log in one step, so a failure leaves it as it was.
    if (!ok || std::rename(tempName.c_str(), m_pszFilename.c_str()) != 0)
    {
        std::remove(tempName.c_str());
        return false;
    }
    m_nLines = m_nMaxLines;
    return true;
}

bool CLog::CopyTail(FILE* source, FILE* target, uint32_t linesToSkip)
{
    char buffer[COUNTED_LINE_SIZE + 1];
    for (uint32_t skipped = 0; skipped < linesToSkip; ++skipped)
    {
        if (ReadCountedLine(source, buffer, sizeof(buffer)) == 0)
        {
            break;
        }
    }
    char block[8192];
    for (;;)
    {
        const size_t count = std::fread(block, 1, sizeof(block), source);
        if (count == 0)
        {
            return std::ferror(source) == 0;
        }
        if (std::fwrite(block, 1, count, target) != count)
        {
            return false;
        }
    }
}

bool CLog::CanWrite()
{
    std::string name;
    {
        std::lock_guard lock(m_mutex);
        name = m_pszFilename;
    }
    TQ_ASSERT_TEXT(!name.empty(), "NULL != m_pszFilename");
    return OpenFile(name, "ab") != nullptr;
}

bool CLog::Clear()
{
    std::lock_guard lock(m_mutex);
    TQ_ASSERT_TEXT(!m_pszFilename.empty(), "NULL != m_pszFilename");
    if (!OpenFile(m_pszFilename, "wb"))
    {
        return false;
    }
    m_nLines = 0;
    return true;
}
