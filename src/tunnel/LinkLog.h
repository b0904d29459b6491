#pragma once
// Where a link endpoint's log lines go: each session writes them its own way.
#include "platform/Socket.h"

#include <string>

class ILinkLog
{
public:
    // Formats one line, when the log takes its CLog level, and hands it to LinkLine.
    void LogLine(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // One formatted line at a CLog level.
    virtual void LinkLine(int level, const char* text) = 0;
    // How the line that ignores a datagram from another sender names that sender.
    virtual std::string SenderText(const SocketAddress& from, bool addressOnly) const = 0;

protected:
    ~ILinkLog() = default;
};
