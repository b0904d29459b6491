#pragma once
// Waiting on several sockets at once with a timeout: the main loops wait here
// instead of spinning, until a socket is ready or the nearest deadline is due.
#include <cstdint>
#include <vector>

class CWaitSet
{
public:
    explicit CWaitSet(uint32_t maxTimeoutMs);
    void AddRead(int fd);
    void AddWrite(int fd);
    // Lowers the timeout to at most `milliseconds`.
    void LimitTimeout(uint32_t milliseconds);
    uint32_t Timeout() const { return m_nTimeoutMs; }
    // Waits until a descriptor is ready or the timeout passes; returns the ready count.
    int Wait();

private:
    struct Entry
    {
        int fd;
        bool read;
        bool write;
    };
    Entry& EntryFor(int fd);
    std::vector<Entry> m_entries;
    uint32_t m_nTimeoutMs;
};
