#pragma once
// Console control events (SIGINT = Ctrl+C as event 0, SIGQUIT = Ctrl+Break as event 1,
// SIGTERM as event 2) handled on a thread of their own, never inside a signal handler.
#include <functional>
#include <thread>
#include <vector>

// Blocks the given signals in the calling thread; call before any thread starts so
// that every thread inherits the mask.
void BlockSignals(const std::vector<int>& signals);
// A write to a pipe or socket whose reader has gone fails with EPIPE instead of ending
// the process with SIGPIPE. Children started by RunCommand get the default back.
void IgnoreBrokenPipeSignal();

class CSignalWatcher
{
public:
    // `handler` gets the signal number on the watcher's thread.
    CSignalWatcher(const std::vector<int>& signals, std::function<void(int)> handler);
    ~CSignalWatcher();
    CSignalWatcher(const CSignalWatcher&) = delete;
    CSignalWatcher& operator=(const CSignalWatcher&) = delete;
    bool IsValid() const { return m_signalFd >= 0; }

private:
    void Run();
    int m_signalFd = -1;
    int m_stopFd = -1;
    std::function<void(int)> m_handler;
    std::thread m_thread;
};
