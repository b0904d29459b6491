#pragma once
// Host name lookups that do not hold up an event loop: a lookup is started with a
// token and its answer is taken later. Handle() is a descriptor that is readable while
// answers wait (-1: none; the loop then takes answers at every pass).
#include <cstdint>
#include <string>
#include <vector>

struct HostLookupAnswer
{
    uint64_t token = 0;
    bool found = false;
    uint32_t address = 0; // network order
};

class IHostResolver
{
public:
    virtual ~IHostResolver() = default;
    virtual void Start(uint64_t token, const std::string& host) = 0;
    virtual int Handle() const = 0;
    // Moves the answers that have come into `answers`.
    virtual void TakeAnswers(std::vector<HostLookupAnswer>& answers) = 0;
};
