#pragma once
// The client's per-session statistics file:
// "<StatisticsFolder>/Statistics YYYY-MM-DD hh.mm.ss.mmm.txt", 23 lines, CR LF.
#include "platform/Time.h"
#include "tunnel/ProxyStats.h"

#include <string>

class CStatisticsFile
{
public:
    // True without writing when the record's output flag is 0; false for an empty
    // folder or a file that cannot be written.
    static bool Write(const CProxyStats& stats, const std::string& folder,
                      const DateTime& sessionStart, const DateTime& now);
    static std::string FileName(const std::string& folder, const DateTime& sessionStart);
};
