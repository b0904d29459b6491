#pragma once
// The lines that the code under test logs, as they are written: the log echoes every
// line to a stream of this tap, and the run takes the complete lines after each step
// of a party to hand them to whoever wrote them.
#include <cstdio>
#include <string>
#include <vector>

namespace tq_sim
{

class LogTap
{
  public:
    LogTap();
    ~LogTap();
    LogTap(const LogTap&) = delete;
    LogTap& operator=(const LogTap&) = delete;

    FILE* Stream() const { return m_pStream; }
    // The complete lines written since the last call, without their time stamp and
    // line end.
    std::vector<std::string> TakeLines();

  private:
    static ssize_t WriteCallback(void* cookie, const char* data, size_t size);

    FILE* m_pStream = nullptr;
    std::string m_pending;
};

} // namespace tq_sim
