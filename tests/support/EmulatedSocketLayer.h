#pragma once
// What the socket layers of the tests share: the last error, the host names they
// resolve, and readiness as epoll reports it. A level-watched socket is reported at
// each collection while it is readable; an edge-watched one once for each change
// that the layer marks (watching in edge mode marks the present state); a paused one
// not at all; a closed one never again. The layer says which of its sockets are open,
// readable (also: closed by the peer, or failed) and writable, and marks the changes.
#include "platform/SocketLayer.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tq_test
{

class EmulatedSocketLayer : public ISocketLayer
{
public:
    int GetLastError() override { return m_nLastError; }
    void SetLastError(int code) override { m_nLastError = code; }
    // Dotted addresses always resolve; host names once added.
    bool ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder) override;
    void AddHostName(const std::string& name, uint32_t addressNetworkOrder)
    {
        m_hostNames[name] = addressNetworkOrder;
    }
    bool Watch(SOCKET s, uint64_t token, WatchMode mode) override;

    virtual bool IsOpen(SOCKET s) const = 0;

protected:
    virtual bool IsReadable(SOCKET s) const = 0;
    virtual bool IsWritable(SOCKET s) const = 0;
    // A change that an edge-watched socket reports at the next collection.
    void MarkEdge(SOCKET s, bool readable, bool writable);
    // A closed socket is watched no more.
    void Unwatch(SOCKET s) { m_watches.erase(s); }
    // Whether a collection would report a socket now.
    bool HasReadiness() const;
    // What a wait reports now; the marked changes are taken.
    void CollectReadiness(std::vector<SocketReadiness>& ready);
    // Sets the last error; returns SOCKET_ERROR.
    int Fail(int code)
    {
        m_nLastError = code;
        return SOCKET_ERROR;
    }

private:
    struct WatchState
    {
        uint64_t token = 0;
        WatchMode mode = WatchMode::Level;
        bool readEdge = false;
        bool writeEdge = false;
    };

    int m_nLastError = 0;
    std::map<std::string, uint32_t> m_hostNames;
    std::map<SOCKET, WatchState> m_watches; // in the order of the descriptors
};

} // namespace tq_test
