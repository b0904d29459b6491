#pragma once
// Small helpers shared by the load programs of scripts/bench. They speak to the
// programs under test only over loopback sockets, so they work against any build.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tq_bench
{

inline sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

inline double NowSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Raises the soft open-file limit to the hard one; returns the new soft limit.
inline long RaiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<long>(limit.rlim_cur);
}

inline uint16_t ParsePort(const char* text)
{
    const long port = std::strtol(text, nullptr, 10);
    if (port <= 0 || port > 65535)
    {
        std::fprintf(stderr, "not a port: %s\n", text);
        std::exit(2);
    }
    return static_cast<uint16_t>(port);
}

// The value at fraction `q` (0..1) of sorted samples.
inline double Quantile(std::vector<double> samples, double q)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const size_t index = std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()));
    return samples[index];
}

} // namespace tq_bench
