#include "platform/ThreadedHostResolver.h"

#include "platform/Socket.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

struct CThreadedHostResolver::State
{
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<uint64_t, std::string>> requests;
    std::vector<HostLookupAnswer> answers;
    size_t workers = 0;
    size_t idle = 0;
    bool stopping = false;
    int eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    ~State()
    {
        if (eventFd >= 0)
            close(eventFd);
    }
};

CThreadedHostResolver::CThreadedHostResolver() : m_pState(std::make_shared<State>()) {}

CThreadedHostResolver::~CThreadedHostResolver()
{
    std::lock_guard lock(m_pState->mutex);
    m_pState->stopping = true;
    m_pState->requests.clear();
    m_pState->wake.notify_all();
}

void CThreadedHostResolver::Start(uint64_t token, const std::string& host)
{
    std::lock_guard lock(m_pState->mutex);
    m_pState->requests.emplace_back(token, host);
    if (m_pState->idle == 0 && m_pState->workers < MAX_WORKERS)
    {
        ++m_pState->workers;
        ++m_pState->idle;
        std::thread([state = m_pState] { Work(state); }).detach();
    }
    m_pState->wake.notify_one();
}

int CThreadedHostResolver::Handle() const { return m_pState->eventFd; }

void CThreadedHostResolver::TakeAnswers(std::vector<HostLookupAnswer>& answers)
{
    uint64_t count = 0;
    // Cleared before the answers are taken: one that comes meanwhile sets it again.
    [[maybe_unused]] const ssize_t read = ::read(m_pState->eventFd, &count, sizeof(count));
    std::lock_guard lock(m_pState->mutex);
    answers.insert(answers.end(), m_pState->answers.begin(), m_pState->answers.end());
    m_pState->answers.clear();
}

void CThreadedHostResolver::Work(const std::shared_ptr<State>& state)
{
    std::unique_lock lock(state->mutex);
    for (;;)
    {
        state->wake.wait(lock, [&] { return state->stopping || !state->requests.empty(); });
        if (state->stopping)
            break;
        auto [token, host] = std::move(state->requests.front());
        state->requests.pop_front();
        --state->idle;
        lock.unlock();
        HostLookupAnswer answer;
        answer.token = token;
        answer.found = LookupHostAddress(host, answer.address) && answer.address != 0xFFFFFFFFu;
        lock.lock();
        ++state->idle;
        if (state->stopping)
            break;
        state->answers.push_back(answer);
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(state->eventFd, &one, sizeof(one));
    }
    --state->workers;
}
