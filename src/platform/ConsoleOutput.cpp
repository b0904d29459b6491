#include "platform/ConsoleOutput.h"

#include <cerrno>

ConsoleWriteResult WriteConsoleText(FILE* stream, std::string_view text)
{
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    const bool flushed = std::fflush(stream) == 0;
    if (written && flushed)
    {
        return ConsoleWriteResult::Written;
    }
    const int error = errno;
    std::clearerr(stream); // a passing fault must not fail every later write
    return error == EPIPE ? ConsoleWriteResult::ReaderGone : ConsoleWriteResult::Failed;
}
