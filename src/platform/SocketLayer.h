#pragma once
// The socket calls of the server and client loops and their state machines, behind an
// interface so that tests drive a session, or a whole loop, without a network.
#include "platform/Socket.h"
#include "platform/SocketReadiness.h"

#include <memory>
#include <vector>

class CEpollPoller;

class ISocketLayer
{
public:
    virtual ~ISocketLayer() = default;
    virtual SOCKET CreateUdpSocket() = 0;
    virtual SOCKET CreateTcpSocket() = 0;
    virtual bool SetNonBlocking(SOCKET s) = 0;
    virtual bool SetBlocking(SOCKET s) = 0;
    virtual bool SetReuseAddress(SOCKET s) = 0;
    virtual bool Bind(SOCKET s, const SocketAddress& address) = 0;
    virtual bool Listen(SOCKET s, int backlog) = 0;
    // The accepted socket, or INVALID_SOCKET (WSAEWOULDBLOCK when none waits).
    virtual SOCKET Accept(SOCKET s, SocketAddress& peer) = 0;
    virtual int SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to) = 0;
    virtual int RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                         int& addressLength) = 0;
    virtual int Send(SOCKET s, std::span<const uint8_t> data) = 0;
    virtual int Recv(SOCKET s, std::span<uint8_t> buffer) = 0;
    virtual int Connect(SOCKET s, const SocketAddress& address) = 0;
    // 1 connected, 0 in progress, -1 failed with `error` (0 if unreadable).
    virtual int ConnectProgress(SOCKET s, int& error) = 0;
    // Closes the socket; a watched socket is no longer watched.
    virtual void Close(SOCKET s) = 0;
    virtual int GetLastError() = 0;
    virtual void SetLastError(int code) = 0;
    // Dotted address or host name to a network-order address (may block).
    virtual bool ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder) = 0;

    // Readiness for an event loop: a socket (or any descriptor that can be polled) is
    // watched from Watch until it is closed; watching it again changes its mode.
    // False if it cannot be watched.
    virtual bool Watch(SOCKET s, uint64_t token, WatchMode mode) = 0;
    // Waits at most timeoutMs (0: only looks) for watched sockets to be ready and puts
    // them into `ready` (emptied first).
    virtual void WaitReady(uint32_t timeoutMs, std::vector<SocketReadiness>& ready) = 0;
};

// The real sockets of this machine.
class CSystemSocketLayer : public ISocketLayer
{
public:
    CSystemSocketLayer();
    ~CSystemSocketLayer() override;
    static CSystemSocketLayer& Instance();
    SOCKET CreateUdpSocket() override { return SocketCreateUdp(); }
    SOCKET CreateTcpSocket() override { return SocketCreateTcp(); }
    bool SetNonBlocking(SOCKET s) override { return SocketSetBlocking(s, false); }
    bool SetBlocking(SOCKET s) override { return SocketSetBlocking(s, true); }
    bool SetReuseAddress(SOCKET s) override { return SocketSetReuseAddress(s); }
    bool Bind(SOCKET s, const SocketAddress& address) override { return SocketBind(s, address); }
    bool Listen(SOCKET s, int backlog) override { return SocketListen(s, backlog); }
    SOCKET Accept(SOCKET s, SocketAddress& peer) override { return SocketAccept(s, peer); }
    int SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to) override;
    int RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                 int& addressLength) override
    {
        return SocketRecvFrom(s, buffer, from, addressLength);
    }
    int Send(SOCKET s, std::span<const uint8_t> data) override { return SocketSend(s, data); }
    int Recv(SOCKET s, std::span<uint8_t> buffer) override { return SocketRecv(s, buffer); }
    int Connect(SOCKET s, const SocketAddress& address) override
    {
        return SocketConnect(s, address);
    }
    int ConnectProgress(SOCKET s, int& error) override { return SocketConnectProgress(s, error); }
    void Close(SOCKET s) override;
    int GetLastError() override { return WSAGetLastError(); }
    void SetLastError(int code) override { WSASetLastError(code); }
    bool ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder) override;
    bool Watch(SOCKET s, uint64_t token, WatchMode mode) override;
    void WaitReady(uint32_t timeoutMs, std::vector<SocketReadiness>& ready) override;

private:
    std::unique_ptr<CEpollPoller> m_pPoller; // made at the first Watch
};
