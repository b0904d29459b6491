#pragma once
// The one log file of a program: time-stamped lines filtered by level (control
// characters escaped), trimmed to a maximum line count once an hour and whenever the
// file passes it by a quarter.
#include "platform/Clock.h"
#include "platform/SocketLayer.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

class CLog
{
public:
    static constexpr int LEVEL_ERROR = 1;
    static constexpr int LEVEL_INFO = 2;
    static constexpr int LEVEL_DEBUG = 3;
    // The line buffer (time stamp, blank, message) and the message format buffer.
    static constexpr size_t LINE_BUFFER_SIZE = 1024;
    static constexpr size_t MESSAGE_BUFFER_SIZE = 10240;
    // A line as counted: one read of at most this many bytes, up to a line feed.
    static constexpr size_t COUNTED_LINE_SIZE = 1023;
    static constexpr uint32_t TRIM_INTERVAL_MS = 3600000;
    static constexpr uint32_t TRIM_MIN_EXCESS = 64;

    static CLog* GetInstance();
    static void DestroyInstance();
    static bool isValidLogLevel(int level);
    static const char* GetLevelName(int level);

    // Replaces the file name, then counts the lines already in the file.
    void SetFilename(const std::string& filename);
    const std::string& GetFilename() const { return m_pszFilename; }
    void SetLogLevel(int level);
    int GetLogLevel() const { return m_nLogLevel; }
    // Sets the maximum and makes the next Trim try at once.
    void SetMaxLines(uint32_t maxLines);
    uint32_t GetLineCount() const { return m_nLines; }
    // Echo every line to `stream` (standard output in the server's console mode).
    void SetEcho(bool echo, FILE* stream = stdout);
    // The clock for time stamps and trimming (tests inject one); null for the system's.
    void SetClock(IClock* clock);

    void Print(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Write(int level, std::string_view message);
    void Trim();
    bool CanWrite();
    bool Clear();

private:
    CLog() = default;
    void CountLines();
    // Writes the kept lines to `tempName` and renames it over the log; false if the
    // temporary file could not be made complete (the log is then left as it was).
    bool TrimInto(const std::string& tempName);
    bool CopyTail(FILE* source, FILE* target, uint32_t linesToSkip);

    static std::unique_ptr<CLog> m_pLog;

    bool m_bEcho = false;
    FILE* m_pEchoStream = stdout;
    int m_nLogLevel = LEVEL_INFO;
    std::string m_pszFilename;
    uint32_t m_nMaxLines = 10000;
    uint32_t m_nLines = 0;
    uint32_t m_dwNextTrim = 0;
    bool m_bTrimDue = true; // the next Trim tries at once
    bool m_bTrimFailed = false; // then only the hourly try
    IClock* m_pClock = nullptr;
    std::mutex m_mutex; // the console control thread writes one line too
};

// Reads one line as the log counts it: at most CLog::COUNTED_LINE_SIZE bytes, up to
// and including a line feed. Returns the byte count, 0 at the end of the file.
size_t ReadCountedLine(FILE* file, char* buffer, size_t size);
