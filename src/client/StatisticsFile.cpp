#include "client/StatisticsFile.h"

#include "common/MyString.h"

#include <cstdio>
#include <memory>

namespace
{
const std::string LINE_END = "\r\n";
const std::string RULE(48, '-');

// A label padded with blanks so that its value starts in column 23.
std::string Line(const char* label, int value, const char* unit = "")
{
    char text[128];
    std::snprintf(text, sizeof(text), "%-22s%d%s", label, value, unit);
    return text + LINE_END;
}

std::string Content(const CProxyStats& stats, const DateTime& now)
{
    std::string text = "Statistics for Session" + LINE_END + RULE + LINE_END + LINE_END;
    text += Line("Timeouts", stats.m_nTimeouts);
    text += Line("ACK Error 1", stats.m_nAckErrors1);
    text += Line("ACK Error 2", stats.m_nAckErrors2);
    text += Line("Duplicate Data", stats.m_nDuplicateData);
    text += Line("Out of Synch Data", stats.m_nOutOfSynchData);
    text += LINE_END;
    text += Line("Data Packets Sent", stats.m_nDataPacketsSent);
    text += Line("Data Packets Received", stats.m_nDataPacketsReceived);
    text += Line("ACKs Sent", stats.m_nAcksSent);
    text += Line("ACKs Received", stats.m_nAcksReceived);
    text += Line("Pings", stats.m_nPings);
    text += LINE_END;
    text += Line("Sent Data", stats.m_nBytesSent, " bytes");
    text += Line("Received Data", stats.m_nBytesReceived, " bytes");
    text += Line("Link Quality", stats.m_nLinkQuality, " %");
    text += Line("Average RTT", stats.AverageRoundTrip(), " ms");
    text += LINE_END + RULE + LINE_END + LINE_END;
    text += "Statistics dumped at " + FormatTime(now, true, ':') + LINE_END;
    return text;
}

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
} // namespace

std::string CStatisticsFile::FileName(const std::string& folder, const DateTime& sessionStart)
{
    std::string path = folder;
    if (path.empty() || path.back() != '/')
    {
        path += '/';
    }
    return path + "Statistics " + FormatTime(sessionStart, true, '.') + ".txt";
}

bool CStatisticsFile::Write(const CProxyStats& stats, const std::string& folder,
                            const DateTime& sessionStart, const DateTime& now)
{
    if (stats.GetOutputFlag() == 0)
    {
        return true;
    }
    if (folder.empty())
    {
        return false;
    }
    const std::string path = FileName(folder, sessionStart);
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file)
    {
        return false;
    }
    const std::string text = Content(stats, now);
    const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    // A full disk shows up when the buffer is flushed at closing.
    return std::fclose(file.release()) == 0 && written;
}
