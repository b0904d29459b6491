#pragma once
// A socket layer on which every call fails: the base for fakes that only need one or
// two operations (a stream that takes bytes at a chosen pace, for instance).
#include "platform/SocketLayer.h"

namespace tq_test
{

class NullSocketLayer : public ISocketLayer
{
public:
    SOCKET CreateUdpSocket() override { return INVALID_SOCKET; }
    SOCKET CreateTcpSocket() override { return INVALID_SOCKET; }
    bool SetNonBlocking(SOCKET) override { return true; }
    bool SetBlocking(SOCKET) override { return true; }
    bool SetReuseAddress(SOCKET) override { return true; }
    bool Bind(SOCKET, const SocketAddress&) override { return false; }
    bool Listen(SOCKET, int) override { return false; }
    SOCKET Accept(SOCKET, SocketAddress&) override { return INVALID_SOCKET; }
    int SendTo(SOCKET, std::span<const uint8_t>, const SocketAddress&) override { return SOCKET_ERROR; }
    int RecvFrom(SOCKET, std::span<uint8_t>, SocketAddress&, int&) override { return SOCKET_ERROR; }
    int Send(SOCKET, std::span<const uint8_t>) override { return SOCKET_ERROR; }
    int Recv(SOCKET, std::span<uint8_t>) override { return SOCKET_ERROR; }
    int Connect(SOCKET, const SocketAddress&) override { return SOCKET_ERROR; }
    int ConnectProgress(SOCKET, int&) override { return -1; }
    void Close(SOCKET) override {}
    int GetLastError() override { return m_nLastError; }
    void SetLastError(int code) override { m_nLastError = code; }
    bool ResolveAddress(const std::string&, uint32_t&) override { return false; }
    bool Watch(SOCKET, uint64_t, WatchMode) override { return false; }
    void WaitReady(uint32_t, std::vector<SocketReadiness>& ready) override { ready.clear(); }

protected:
    int m_nLastError = 0;
};

} // namespace tq_test
