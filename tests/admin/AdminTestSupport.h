#pragma once
// Helpers for the console's tests: a scripted admin server on loopback, outputs that
// record what the connection shows, a wait hook that counts, and a connect driver.
#include "admin/ProgressOutput.h"
#include "admin/ServerConnection.h"
#include "admin/StatusOutput.h"
#include "admin/WaitHook.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tq_test
{

// A TCP admin server on 127.0.0.1 that accepts one connection. Either it plays a
// script on a thread of its own (read a command line up to CR, send bytes at once or
// one by one, pause, close), or the test drives it directly with the Now methods,
// for instance from a wait hook, which makes the order of events exact.
class FakeAdminServer
{
public:
    FakeAdminServer();
    ~FakeAdminServer();
    FakeAdminServer(const FakeAdminServer&) = delete;
    FakeAdminServer& operator=(const FakeAdminServer&) = delete;

    uint16_t Port() const { return m_port; }

    FakeAdminServer& ReadLine();
    FakeAdminServer& Send(std::string bytes);
    FakeAdminServer& SendBytewise(std::string bytes, std::chrono::milliseconds gap);
    FakeAdminServer& Pause(std::chrono::milliseconds time);
    FakeAdminServer& Close();
    // ReadLine, then Send("{reply}").
    FakeAdminServer& Answer(const std::string& reply);
    // The LOGIN, the seven GETs and the LIST of a connect, answered with these values.
    FakeAdminServer& AnswerConnect(const std::vector<std::string>& settings,
                                   const std::string& list = "0");

    // Starts playing (accepting first). Without a script the server only accepts.
    void Start();
    // Waits until the whole script has been played.
    bool WaitDone(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The command lines received so far, without their CR.
    std::vector<std::string> Lines();

    // Direct use, while no script runs.
    bool AcceptNow(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The next command line, or "<none>" when none arrives in time.
    std::string ReadLineNow(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void SendNow(std::string_view bytes) { SendAll(bytes); }
    void CloseNow();

private:
    struct Step
    {
        enum Kind
        {
            Read,
            Write,
            WriteBytewise,
            Sleep,
            Shut
        } kind;
        std::string bytes;
        std::chrono::milliseconds time{0};
    };
    void Run();
    bool Accept(std::chrono::milliseconds timeout);
    bool ReceiveLine(std::chrono::milliseconds timeout);
    void SendAll(std::string_view bytes);

    int m_listener = -1;
    int m_connection = -1;
    uint16_t m_port = 0;
    std::vector<Step> m_steps;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bDone{false};
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::string m_pending;
};

// The settings replies of a connect: ClientIdleDisconnect, AdminPort, AdminPassword,
// ClientPort, LogFile, LogLevel, MaxLogLines.
std::vector<std::string> DefaultSettingsReplies();

class RecordingStatus : public IStatusOutput
{
public:
    void setText(const std::string& text) override { texts.push_back(text); }
    std::string Last() const { return texts.empty() ? std::string() : texts.back(); }
    std::vector<std::string> texts;
};

class RecordingProgress : public IProgressOutput
{
public:
    void setRange(int lower, int upper) override { ranges.emplace_back(lower, upper); }
    void setPosition(int position) override { positions.push_back(position); }
    std::vector<std::pair<int, int>> ranges;
    std::vector<int> positions;
};

// Counts the waits, sleeps a short time instead of 100 ms and calls `onWait` with the
// number of the wait (from 1) when one is set.
class CountingWait : public IWaitHook
{
public:
    explicit CountingWait(uint32_t sleepMs = 1) : m_nSleepMs(sleepMs) {}
    void wait(uint32_t milliseconds) override;
    int waits = 0;
    uint32_t requestedMs = 0;
    std::function<void(int)> onWait;

private:
    uint32_t m_nSleepMs;
};

// Steps the connection until it is Connected or Failed, sleeping `tickMs` between
// ticks (the connect dialog's timer); returns the number of ticks.
int StepUntilDone(CServerConnection& connection, int maxTicks = 2000,
                  std::chrono::milliseconds tickMs = std::chrono::milliseconds(2));

} // namespace tq_test
