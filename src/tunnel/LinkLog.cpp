#include "tunnel/LinkLog.h"

#include "common/Log.h"

#include <array>
#include <cstdarg>
#include <cstdio>

void ILinkLog::LogLine(int level, const char* format, ...)
{
    if (level > CLog::GetInstance()->GetLogLevel())
        return;
    va_list args;
    va_start(args, format);
    std::array<char, CLog::LINE_BUFFER_SIZE> text{};
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    LinkLine(level, text.data());
}
