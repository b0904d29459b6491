#pragma once
// IPv4 sockets with Windows Sockets error codes. Every call that fails sets the
// thread's last socket error (WSAGetLastError) to the Windows code mapped from errno.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

using SOCKET = int;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;

// Windows Sockets error codes used by the code (the full table is in common/).
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAHOST_NOT_FOUND = 11001;

inline constexpr uint16_t AF_INET_FAMILY = 2;

// The 16-byte IPv4 socket address: family, port and address in network byte order,
// eight zero bytes. Laid out like sockaddr_in so comparisons cover all 16 bytes.
struct SocketAddress
{
    uint16_t family = 0;
    uint16_t port = 0; // network byte order
    uint32_t address = 0; // network byte order
    uint8_t zero[8] = {};
    bool operator==(const SocketAddress&) const = default;
};
static_assert(sizeof(SocketAddress) == 16);

constexpr uint16_t HostToNet16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }
constexpr uint16_t NetToHost16(uint16_t v) { return HostToNet16(v); }
// The four address bytes, in network order, as they stand in memory.
void AddressBytes(uint32_t addressNetworkOrder, uint8_t bytes[4]);
uint32_t AddressFromBytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
// An IPv4 socket address for a network-order address and a host-order port.
SocketAddress MakeSocketAddress(uint32_t addressNetworkOrder, uint16_t portHostOrder);
SocketAddress MakeLoopbackAddress(uint16_t portHostOrder);

int WSAGetLastError();
void WSASetLastError(int code);
int MapErrnoToWsa(int errnoValue);

SOCKET SocketCreateTcp();
// UDP sockets enable IP_RECVERR: an ICMP port unreachable for an earlier datagram
// shows as WSAECONNRESET on the next receive.
SOCKET SocketCreateUdp();
bool SocketSetBlocking(SOCKET s, bool blocking);
// SO_REUSEADDR for a listening socket: its port can be bound again at once while
// connections of an earlier listener linger (TIME_WAIT), as Windows allows; a second
// live listener on the port is still refused with WSAEADDRINUSE.
bool SocketSetReuseAddress(SOCKET s);
bool SocketBind(SOCKET s, const SocketAddress& address);
bool SocketListen(SOCKET s, int backlog);
// Returns the accepted socket or INVALID_SOCKET (WSAEWOULDBLOCK when none waits).
SOCKET SocketAccept(SOCKET s, SocketAddress& peer);
// An accept(2) errno as SocketAccept reports it: the errors of a connection that died
// in the backlog, or that a firewall refused (EPERM), leave nothing to take now and
// read as WSAEWOULDBLOCK; the rest are the listener's own failures.
int MapAcceptErrnoToWsa(int errnoValue);
// Non-blocking connect reports WSAEWOULDBLOCK while the connection is in progress.
int SocketConnect(SOCKET s, const SocketAddress& address);
// State of a non-blocking connect: 1 connected, 0 still in progress, -1 failed with
// `error` (the pending socket error; 0 when it could not be read).
int SocketConnectProgress(SOCKET s, int& error);
// send/recv return the byte count or SOCKET_ERROR; recv returns 0 when the peer closed.
// send never raises SIGPIPE.
int SocketSend(SOCKET s, std::span<const uint8_t> data);
int SocketRecv(SOCKET s, std::span<uint8_t> buffer);
int SocketSendTo(SOCKET s, std::span<const uint8_t> data, const SocketAddress& to);
// addressLength receives the sender address's length (16 for IPv4).
int SocketRecvFrom(SOCKET s, std::span<uint8_t> buffer, SocketAddress& from, int& addressLength);
bool SocketLocalAddress(SOCKET s, SocketAddress& address);
// Whether a reset that sendto met waits to be reported by the next receive.
bool SocketResetPending(SOCKET s);
void SocketClose(SOCKET s);

// inet_addr: the network-order address, or 0xFFFFFFFF when the text is not one.
uint32_t ParseDottedAddress(const std::string& text);
// Host-name lookup (blocks); the first IPv4 address found.
bool LookupHostAddress(const std::string& name, uint32_t& addressNetworkOrder);
// "a.b.c.d" of a network-order address.
std::string DottedAddressText(uint32_t addressNetworkOrder);
