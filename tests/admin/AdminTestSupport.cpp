#include "AdminTestSupport.h"

#include "platform/Time.h"
#include "support/TestSupport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tq_test
{

namespace
{
constexpr int POLL_MS = 5;
constexpr std::chrono::milliseconds STEP_TIMEOUT = std::chrono::seconds(10);
} // namespace

FakeAdminServer::FakeAdminServer()
{
    m_listener = BindLoopback(SOCK_STREAM, m_port);
    if (m_listener >= 0)
        listen(m_listener, 4);
}

FakeAdminServer::~FakeAdminServer()
{
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_connection >= 0)
        close(m_connection);
    if (m_listener >= 0)
        close(m_listener);
}

FakeAdminServer& FakeAdminServer::ReadLine()
{
    m_steps.push_back({Step::Read, {}, {}});
    return *this;
}

FakeAdminServer& FakeAdminServer::Send(std::string bytes)
{
    m_steps.push_back({Step::Write, std::move(bytes), {}});
    return *this;
}

FakeAdminServer& FakeAdminServer::SendBytewise(std::string bytes, std::chrono::milliseconds gap)
{
    m_steps.push_back({Step::WriteBytewise, std::move(bytes), gap});
    return *this;
}

FakeAdminServer& FakeAdminServer::Pause(std::chrono::milliseconds time)
{
    m_steps.push_back({Step::Sleep, {}, time});
    return *this;
}

FakeAdminServer& FakeAdminServer::Close()
{
    m_steps.push_back({Step::Shut, {}, {}});
    return *this;
}

FakeAdminServer& FakeAdminServer::Answer(const std::string& reply)
{
    return ReadLine().Send("{" + reply + "}");
}

FakeAdminServer& FakeAdminServer::AnswerConnect(const std::vector<std::string>& settings,
                                                const std::string& list)
{
    Answer("OK");
    for (const std::string& value : settings)
        Answer(value);
    return Answer(list);
}

void FakeAdminServer::Start()
{
    m_thread = std::thread([this] { Run(); });
}

bool FakeAdminServer::WaitDone(std::chrono::milliseconds timeout)
{
    return WaitUntil([this] { return m_bDone.load(); }, timeout);
}

std::vector<std::string> FakeAdminServer::Lines()
{
    const std::lock_guard lock(m_mutex);
    return m_lines;
}

void FakeAdminServer::Run()
{
    if (!Accept(STEP_TIMEOUT))
        return;
    for (const Step& step : m_steps)
    {
        if (m_bStop)
            return;
        switch (step.kind)
        {
        case Step::Read:
            if (!ReceiveLine(STEP_TIMEOUT))
                return;
            break;
        case Step::Write:
            SendAll(step.bytes);
            break;
        case Step::WriteBytewise:
            for (const char c : step.bytes)
            {
                SendAll(std::string_view(&c, 1));
                std::this_thread::sleep_for(step.time);
            }
            break;
        case Step::Sleep:
            std::this_thread::sleep_for(step.time);
            break;
        case Step::Shut:
            close(m_connection);
            m_connection = -1;
            break;
        }
    }
    m_bDone = true;
}

bool FakeAdminServer::Accept(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_bStop && std::chrono::steady_clock::now() < deadline)
    {
        pollfd entry{m_listener, POLLIN, 0};
        if (poll(&entry, 1, POLL_MS) == 1)
        {
            m_connection = accept(m_listener, nullptr, nullptr);
            // Every send leaves at once (no waiting for the peer's delayed ACK).
            const int on = 1;
            setsockopt(m_connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            return m_connection >= 0;
        }
    }
    return false;
}

bool FakeAdminServer::ReceiveLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!m_bStop && m_connection >= 0)
    {
        const size_t end = m_pending.find('\r');
        if (end != std::string::npos)
        {
            const std::lock_guard lock(m_mutex);
            m_lines.push_back(m_pending.substr(0, end));
            m_pending.erase(0, end + 1);
            return true;
        }
        // At least one look at the socket, also with no time to wait.
        const bool late = std::chrono::steady_clock::now() >= deadline;
        pollfd entry{m_connection, POLLIN, 0};
        if (poll(&entry, 1, late ? 0 : POLL_MS) == 1)
        {
            char buffer[512];
            const ssize_t n = recv(m_connection, buffer, sizeof(buffer), 0);
            if (n <= 0)
                return false;
            m_pending.append(buffer, static_cast<size_t>(n));
        }
        else if (late)
            return false;
    }
    return false;
}

bool FakeAdminServer::AcceptNow(std::chrono::milliseconds timeout)
{
    return Accept(timeout);
}

std::string FakeAdminServer::ReadLineNow(std::chrono::milliseconds timeout)
{
    if (!ReceiveLine(timeout))
        return "<none>";
    const std::lock_guard lock(m_mutex);
    return m_lines.back();
}

void FakeAdminServer::CloseNow()
{
    if (m_connection >= 0)
        close(m_connection);
    m_connection = -1;
}

void FakeAdminServer::SendAll(std::string_view bytes)
{
    while (!bytes.empty() && m_connection >= 0)
    {
        const ssize_t n = send(m_connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

std::vector<std::string> DefaultSettingsReplies()
{
    return {"0", "7000", "5318", "7000", "/var/log/tarviqen.txt", "2", "10000"};
}

void CountingWait::wait(uint32_t milliseconds)
{
    ++waits;
    requestedMs += milliseconds;
    if (onWait)
        onWait(waits);
    SleepMs(m_nSleepMs);
}

int StepUntilDone(CServerConnection& connection, int maxTicks, std::chrono::milliseconds tickMs)
{
    int ticks = 0;
    while (ticks < maxTicks && connection.getState() != CServerConnection::Connected &&
           connection.getState() != CServerConnection::Failed)
    {
        connection.step();
        ++ticks;
        std::this_thread::sleep_for(tickMs);
    }
    return ticks;
}

} // namespace tq_test
