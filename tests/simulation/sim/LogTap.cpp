#include "sim/LogTap.h"

#include <algorithm>
#include <cstdlib>

namespace tq_sim
{

namespace
{
// "2024-03-05 15:07:09.042 ": the time stamp in front of every line.
constexpr size_t STAMP_LENGTH = 24;
} // namespace

LogTap::LogTap()
{
    cookie_io_functions_t functions{};
    functions.write = &LogTap::WriteCallback;
    m_pStream = fopencookie(this, "w", functions);
    if (m_pStream == nullptr)
        std::abort();
}

LogTap::~LogTap()
{
    std::fclose(m_pStream);
}

ssize_t LogTap::WriteCallback(void* cookie, const char* data, size_t size)
{
    static_cast<LogTap*>(cookie)->m_pending.append(data, size);
    return static_cast<ssize_t>(size);
}

std::vector<std::string> LogTap::TakeLines()
{
    std::vector<std::string> lines;
    if (m_pending.empty())
        return lines;
    size_t start = 0;
    for (size_t end = m_pending.find('\n'); end != std::string::npos;
         end = m_pending.find('\n', start))
    {
        size_t stop = end;
        if (stop > start && m_pending[stop - 1] == '\r')
            --stop;
        const size_t from = std::min(start + STAMP_LENGTH, stop);
        lines.emplace_back(m_pending, from, stop - from);
        start = end + 1;
    }
    m_pending.erase(0, start);
    return lines;
}

} // namespace tq_sim
