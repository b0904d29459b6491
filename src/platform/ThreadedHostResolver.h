#pragma once
// Lookups on a few worker threads (getaddrinfo blocks for as long as the name servers
// take); an eventfd tells the loop that answers wait. A lookup that never ends holds
// one worker, not the loop; the workers end by themselves after the resolver is gone.
#include "platform/HostResolver.h"

#include <memory>

class CThreadedHostResolver : public IHostResolver
{
public:
    static constexpr size_t MAX_WORKERS = 4;

    CThreadedHostResolver();
    ~CThreadedHostResolver() override;
    CThreadedHostResolver(const CThreadedHostResolver&) = delete;
    CThreadedHostResolver& operator=(const CThreadedHostResolver&) = delete;

    void Start(uint64_t token, const std::string& host) override;
    int Handle() const override;
    void TakeAnswers(std::vector<HostLookupAnswer>& answers) override;

private:
    struct State;
    static void Work(const std::shared_ptr<State>& state);
    std::shared_ptr<State> m_pState;
};
