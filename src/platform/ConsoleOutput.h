#pragma once
// Writing to standard output or standard error, which may be a pipe whose reader has
// gone (`TarviQenServer -debug | head -1`).
#include <cstdio>
#include <string_view>

enum class ConsoleWriteResult
{
    Written,
    Failed, // a passing fault (a full disk): later writes may work
    ReaderGone // EPIPE: nobody reads the stream any more; stop writing there
};

// Writes `text` to `stream` and flushes it. EPIPE needs SIGPIPE ignored
// (IgnoreBrokenPipeSignal), or the process ends before it can be reported.
ConsoleWriteResult WriteConsoleText(FILE* stream, std::string_view text);
