#pragma once
// The socket calls of the tunnel state machines, behind an interface so that tests
// drive a session without a network.
#include "platform/Socket.h"

class ISocketLayer
{
public:
    virtual ~ISocketLayer() = default;
    virtual SOCKET CreateUdpSocket() = 0;
    virtual SOCKET CreateTcpSocket() = 0;
    virtual bool SetNonBlocking(SOCKET s) = 0;
    virtual int SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to) = 0;
    virtual int RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                         int& addressLength) = 0;
    virtual int Send(SOCKET s, std::span<const uint8_t> data) = 0;
    virtual int Recv(SOCKET s, std::span<uint8_t> buffer) = 0;
    virtual int Connect(SOCKET s, const SocketAddress& address) = 0;
    // 1 connected, 0 in progress, -1 failed with `error` (0 if unreadable).
    virtual int ConnectProgress(SOCKET s, int& error) = 0;
    virtual void Close(SOCKET s) = 0;
    virtual int GetLastError() = 0;
    virtual void SetLastError(int code) = 0;
    // Dotted address or host name to a network-order address (may block).
    virtual bool ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder) = 0;
};

// The real sockets of this machine.
class CSystemSocketLayer : public ISocketLayer
{
public:
    static CSystemSocketLayer& Instance();
    SOCKET CreateUdpSocket() override;
    SOCKET CreateTcpSocket() override;
    bool SetNonBlocking(SOCKET s) override;
    int SendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to) override;
    int RecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from,
                 int& addressLength) override;
    int Send(SOCKET s, std::span<const uint8_t> data) override;
    int Recv(SOCKET s, std::span<uint8_t> buffer) override;
    int Connect(SOCKET s, const SocketAddress& address) override;
    int ConnectProgress(SOCKET s, int& error) override;
    void Close(SOCKET s) override;
    int GetLastError() override;
    void SetLastError(int code) override;
    bool ResolveAddress(const std::string& host, uint32_t& addressNetworkOrder) override;
};
