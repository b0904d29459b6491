#pragma once
// What an event loop watches a socket for, and what a wait reports.
#include <cstdint>

// How a watched socket reports readiness to an event loop.
enum class WatchMode
{
    Level, // readable, again at every wait, for as long as data or an error waits
    Edge, // readable or writable, once each time it becomes so: the owner remembers
          // it until an operation would block
    Paused // watched, but reports nothing until watched again in another mode
};

// One watched socket that is ready; `token` is the number its owner gave to Watch.
struct SocketReadiness
{
    uint64_t token = 0;
    bool readable = false; // also: closed by the peer, or failed
    bool writable = false;
};
