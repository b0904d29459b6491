#include "platform/Socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

namespace
{
thread_local int t_lastError = 0;

// UDP sockets whose sendto swallowed an ICMP port unreachable: the next receive
// reports it, as Windows does.
std::mutex g_resetMutex;
std::unordered_set<int> g_resetPending;

static_assert(sizeof(sockaddr_in) == sizeof(SocketAddress));

sockaddr_in ToNative(const SocketAddress& address)
{
    sockaddr_in native{};
    std::memcpy(&native, &address, sizeof(native));
    native.sin_family = AF_INET;
    return native;
}

SocketAddress FromNative(const sockaddr_in& native)
{
    SocketAddress address;
    address.family = static_cast<uint16_t>(native.sin_family);
    address.port = native.sin_port;
    address.address = native.sin_addr.s_addr;
    return address;
}

bool Fail(int errnoValue)
{
    WSASetLastError(MapErrnoToWsa(errnoValue));
    return false;
}

// On a UDP socket a refused port is a reset, as Windows reports it.
void FailUdp(int errnoValue)
{
    WSASetLastError(errnoValue == ECONNREFUSED ? WSAECONNRESET : MapErrnoToWsa(errnoValue));
}

// A byte count, or SOCKET_ERROR with the call's error set.
int CountOrFail(ssize_t count)
{
    if (count < 0)
    {
        Fail(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(count);
}

size_t ClampLength(size_t length)
{
    return length > static_cast<size_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : length;
}

// Drops the queued ICMP errors; they hold receive buffer space and have been reported.
void DrainErrorQueue(SOCKET s)
{
    for (int i = 0; i < 1024; ++i)
    {
        uint8_t data[64];
        uint8_t control[512];
        iovec io{data, sizeof(data)};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        if (recvmsg(s, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
        {
            return;
        }
    }
}

void SetResetPending(SOCKET s, bool pending)
{
    std::lock_guard lock(g_resetMutex);
    if (pending)
    {
        g_resetPending.insert(s);
    }
    else
    {
        g_resetPending.erase(s);
    }
}

bool TakeResetPending(SOCKET s)
{
    std::lock_guard lock(g_resetMutex);
    return g_resetPending.erase(s) != 0;
}
} // namespace

void AddressBytes(uint32_t addressNetworkOrder, uint8_t bytes[4])
{
    std::memcpy(bytes, &addressNetworkOrder, 4);
}

uint32_t AddressFromBytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address = 0;
    std::memcpy(&address, bytes, 4);
    return address;
}

SocketAddress MakeSocketAddress(uint32_t addressNetworkOrder, uint16_t portHostOrder)
{
    SocketAddress address;
    address.family = AF_INET_FAMILY;
    address.port = htons(portHostOrder);
    address.address = addressNetworkOrder;
    return address;
}

SocketAddress MakeLoopbackAddress(uint16_t portHostOrder)
{
    return MakeSocketAddress(htonl(INADDR_LOOPBACK), portHostOrder);
}

int WSAGetLastError()
{
    return t_lastError;
}

void WSASetLastError(int code)
{
    t_lastError = code;
}

int MapErrnoToWsa(int errnoValue)
{
    static constexpr std::pair<int, int> TABLE[] = {
        {0, 0},
        {EAGAIN, WSAEWOULDBLOCK},
        {EWOULDBLOCK, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEWOULDBLOCK},
        {ECONNRESET, WSAECONNRESET},
        {EPIPE, WSAECONNRESET},
        {ECONNREFUSED, WSAECONNREFUSED},
        {EADDRINUSE, WSAEADDRINUSE},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
        {ETIMEDOUT, WSAETIMEDOUT},
        {EHOSTUNREACH, WSAEHOSTUNREACH},
        {ENETUNREACH, WSAENETUNREACH},
        {ENETDOWN, WSAENETDOWN},
        {ECONNABORTED, WSAECONNABORTED},
        {EACCES, WSAEACCES},
        {EMFILE, WSAEMFILE},
        {ENFILE, WSAEMFILE},
        {EBADF, WSAENOTSOCK},
        {ENOTSOCK, WSAENOTSOCK},
        {EMSGSIZE, WSAEMSGSIZE},
        {ENOBUFS, WSAENOBUFS},
        {ENOMEM, WSAENOBUFS},
        {EISCONN, WSAEISCONN},
        {ENOTCONN, WSAENOTCONN},
        {ESHUTDOWN, WSAESHUTDOWN},
        {EINTR, WSAEINTR},
        {EALREADY, WSAEALREADY},
        {EFAULT, WSAEFAULT},
    };
    for (const auto& [from, to] : TABLE)
    {
        if (from == errnoValue)
        {
            return to;
        }
    }
    return WSAEINVAL;
}

SOCKET SocketCreateTcp()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
    {
        Fail(errno);
        return INVALID_SOCKET;
    }
    return s;
}

SOCKET SocketCreateUdp()
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
    {
        Fail(errno);
        return INVALID_SOCKET;
    }
    const int on = 1;
    if (setsockopt(s, IPPROTO_IP, IP_RECVERR, &on, sizeof(on)) != 0)
    {
        Fail(errno);
        close(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool SocketSetBlocking(SOCKET s, bool blocking)
{
    const int flags = fcntl(s, F_GETFL);
    if (flags < 0)
    {
        return Fail(errno);
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && fcntl(s, F_SETFL, wanted) != 0)
    {
        return Fail(errno);
    }
    return true;
}

bool SocketSetReuseAddress(SOCKET s)
{
    const int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 || Fail(errno);
}

bool SocketBind(SOCKET s, const SocketAddress& address)
{
    const sockaddr_in native = ToNative(address);
    return bind(s, reinterpret_cast<const sockaddr*>(&native), sizeof(native)) == 0 || Fail(errno);
}

bool SocketListen(SOCKET s, int backlog)
{
    return listen(s, backlog) == 0 || Fail(errno);
}

SOCKET SocketAccept(SOCKET s, SocketAddress& peer)
{
    // An accepted socket keeps the listener's non-blocking mode, as on Windows.
    const int listenerFlags = fcntl(s, F_GETFL);
    const int flags = SOCK_CLOEXEC |
                      (listenerFlags >= 0 && (listenerFlags & O_NONBLOCK) != 0 ? SOCK_NONBLOCK : 0);
    sockaddr_in native{};
    socklen_t length = sizeof(native);
    const int accepted = accept4(s, reinterpret_cast<sockaddr*>(&native), &length, flags);
    if (accepted < 0)
    {
        WSASetLastError(MapAcceptErrnoToWsa(errno));
        return INVALID_SOCKET;
    }
    peer = FromNative(native);
    return accepted;
}

int MapAcceptErrnoToWsa(int errnoValue)
{
    // Linux passes on the network errors of a connection that died while it waited in
    // the backlog, and EPERM when a firewall rule refused it; accept(2) says to treat
    // them like EAGAIN: nothing to take now.
    static constexpr int NOTHING_TO_TAKE[] = {
        ENETDOWN,    EPROTO,       ENOPROTOOPT, EHOSTDOWN, ENONET, EHOSTUNREACH, EOPNOTSUPP,
        ENETUNREACH, ECONNABORTED, ECONNRESET,  ETIMEDOUT, EINTR,  EPERM};
    return std::ranges::find(NOTHING_TO_TAKE, errnoValue) != std::end(NOTHING_TO_TAKE)
               ? WSAEWOULDBLOCK
               : MapErrnoToWsa(errnoValue);
}

int SocketConnect(SOCKET s, const SocketAddress& address)
{
    const sockaddr_in native = ToNative(address);
    return CountOrFail(connect(s, reinterpret_cast<const sockaddr*>(&native), sizeof(native)));
}

int SocketConnectProgress(SOCKET s, int& error)
{
    error = 0;
    pollfd entry{s, POLLOUT, 0};
    const int ready = poll(&entry, 1, 0);
    if (ready == 0)
    {
        return 0;
    }
    if (ready < 0)
    {
        Fail(errno);
        return -1;
    }
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
    {
        Fail(errno);
        return -1;
    }
    if (pending == 0)
    {
        // Ready without a pending error: connected, unless the error was already taken.
        sockaddr_in peer{};
        socklen_t peerLength = sizeof(peer);
        if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0)
        {
            return 1;
        }
        pending = errno;
    }
    error = MapErrnoToWsa(pending);
    WSASetLastError(error);
    return -1;
}

int SocketSend(SOCKET s, std::span<const uint8_t> data)
{
    return CountOrFail(send(s, data.data(), ClampLength(data.size()), MSG_NOSIGNAL));
}

int SocketRecv(SOCKET s, std::span<uint8_t> buffer)
{
    return CountOrFail(recv(s, buffer.data(), ClampLength(buffer.size()), 0));
}

int SocketSendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to)
{
    const sockaddr_in native = ToNative(to);
    const auto sendOnce = [&]
    {
        return sendto(s, data.data(), ClampLength(data.size()), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&native), sizeof(native));
    };
    ssize_t sent = sendOnce();
    if (sent < 0 && errno == ECONNREFUSED)
    {
        // The error belongs to an earlier datagram: keep it for the next receive.
        SetResetPending(s, true);
        DrainErrorQueue(s);
        sent = sendOnce();
    }
    if (sent < 0)
    {
        FailUdp(errno);
        return SOCKET_ERROR;
    }
    return static_cast<int>(sent);
}

int SocketRecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from, int& addressLength)
{
    if (TakeResetPending(s))
    {
        DrainErrorQueue(s);
        WSASetLastError(WSAECONNRESET);
        return SOCKET_ERROR;
    }
    sockaddr_in native{};
    socklen_t length = sizeof(native);
    // MSG_TRUNC gives the datagram's real length: one larger than the buffer fails with
    // WSAEMSGSIZE, as on Windows, instead of passing as a cut packet.
    const ssize_t received = recvfrom(s, buffer.data(), ClampLength(buffer.size()), MSG_TRUNC,
                                      reinterpret_cast<sockaddr*>(&native), &length);
    if (received < 0)
    {
        const int error = errno;
        if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR)
        {
            DrainErrorQueue(s);
        }
        FailUdp(error);
        return SOCKET_ERROR;
    }
    from = FromNative(native);
    addressLength = static_cast<int>(length);
    if (static_cast<size_t>(received) > buffer.size())
    {
        WSASetLastError(WSAEMSGSIZE);
        return SOCKET_ERROR;
    }
    return static_cast<int>(received);
}

bool SocketLocalAddress(SOCKET s, SocketAddress& address)
{
    sockaddr_in native{};
    socklen_t length = sizeof(native);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&native), &length) != 0)
    {
        return Fail(errno);
    }
    address = FromNative(native);
    return true;
}

bool SocketResetPending(SOCKET s)
{
    std::lock_guard lock(g_resetMutex);
    return !g_resetPending.empty() && g_resetPending.count(s) != 0;
}

void SocketClose(SOCKET s)
{
    if (s < 0)
    {
        return;
    }
    SetResetPending(s, false);
    close(s);
}

uint32_t ParseDottedAddress(const std::string& text)
{
    return inet_addr(text.c_str());
}

bool LookupHostAddress(const std::string& name, uint32_t& addressNetworkOrder)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* results = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0 || results == nullptr)
    {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return false;
    }
    bool found = false;
    for (const addrinfo* entry = results; entry != nullptr && !found; entry = entry->ai_next)
    {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in))
        {
            sockaddr_in native{};
            std::memcpy(&native, entry->ai_addr, sizeof(native));
            addressNetworkOrder = native.sin_addr.s_addr;
            found = true;
        }
    }
    freeaddrinfo(results);
    if (!found)
    {
        WSASetLastError(WSAHOST_NOT_FOUND);
    }
    return found;
}

std::string DottedAddressText(uint32_t addressNetworkOrder)
{
    uint8_t bytes[4];
    AddressBytes(addressNetworkOrder, bytes);
    return std::to_string(bytes[0]) + '.' + std::to_string(bytes[1]) + '.' +
           std::to_string(bytes[2]) + '.' + std::to_string(bytes[3]);
}
