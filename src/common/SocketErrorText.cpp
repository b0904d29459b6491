// The texts of socket error codes. Built once per program: the server's table knows
// 68 codes; with TQ_CLIENT_ERROR_TABLE the device client's knows only the 51 Windows
// Sockets codes from WSAEINTR to WSANO_DATA, with the same texts.
#include "common/Network.h"

#include <span>

namespace
{
struct SocketErrorEntry
{
    int code;
    const char* text;
};

constexpr SocketErrorEntry g_socketErrors[] = {
    {6, "WSA_INVALID_HANDLE: Specified event object handle is invalid"},
    {8, "WSA_NOT_ENOUGH_MEMORY: Insufficient memory available"},
    {87, "WSA_INVALID_PARAMETER: One or more parameters are invalid"},
    {995, "WSA_OPERATION_ABORTED: Overlapped operation aborted"},
    {996, "WSA_IO_INCOMPLETE: Overlapped I/O event object not in signaled state"},
    {997, "WSA_IO_PENDING: Overlapped operations will complete later"},
    {10004, "WSAEINTR: Interrupted function call"},
    {10009, "WSAEBADF: Bad file number"},
    {10013, "WSAEACCES: Permission denied"},
    {10014, "WSAEFAULT: Address fault"},
    {10022, "WSAEINVAL: Invalid argument"},
    {10024, "WSAEMFILE: Too many open files"},
    {10035, "WSAEWOULDBLOCK: Resource temporarily unavailable (Would block)"},
    {10036, "WSAEINPROGRESS: Operation now in progress"},
    {10037, "WSAEALREADY: Operation already in progress"},
    {10038, "WSAENOTSOCK: Socket operation on non-socket"},
    {10039, "WSAEDESTADDRREQ: Destination address required"},
    {10040, "WSAEMSGSIZE: Message too long"},
    {10041, "WSAEPROTOTYPE: Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT: Bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT: Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported"},
    {10045, "WSAEOPNOTSUPP: Operation not supported"},
    {10046, "WSAEPFNOSUPPORT: Protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT: Address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE: Address already in use"},
    {10049, "WSAEADDRNOTAVAIL: Cannot assign requested address"},
    {10050, "WSAENETDOWN: Network is down"},
    {10051, "WSAENETUNREACH: Network is unreachable"},
    {10052, "WSAENETRESET: Network dropped connection on reset"},
    {10053, "WSAECONNABORTED: Software caused connection abort"},
    {10054, "WSAECONNRESET: Connection reset by peer"},
    {10055, "WSAENOBUFS: No buffer space available"},
    {10056, "WSAEISCONN: Socket is already connected"},
    {10057, "WSAENOTCONN: Socket is not connected"},
    {10058, "WSAESHUTDOWN: Cannot send after socket shutdown"},
    {10059, "WSAETOOMANYREFS: Too many references"},
    {10060, "WSAETIMEDOUT: Connection timed out"},
    {10061, "WSAECONNREFUSED: Connection refused"},
    {10062, "WSAELOOP: Loop"},
    {10063, "WSAENAMETOOLONG: Name too long"},
    {10064, "WSAEHOSTDOWN: Host is down"},
    {10065, "WSAEHOSTUNREACH: No route to host"},
    {10066, "WSAENOTEMPTY: Directory not empty"},
    {10067, "WSAEPROCLIM: Too many processes"},
    {10068, "WSAEUSERS: User quota exceeded"},
    {10069, "WSAEDQUOT: Disk quota"},
    {10070, "WSAESTALE: Stale"},
    {10071, "WSAEREMOTE: Remote"},
    {10091, "WSASYSNOTREADY: Network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED: WINSOCK.DLL version out of range"},
    {10093, "WSANOTINITIALISED: Successful WSAStartup() not yet performed"},
    {10101, "WSAEDISCON: Graceful shutdown in progress"},
    {11001, "WSAHOST_NOT_FOUND: Host not found"},
    {11002, "WSATRY_AGAIN: Non-authoritative host not found"},
    {11003, "WSANO_RECOVERY: This is a non-recoverable error"},
    {11004, "WSANO_DATA: Valid name, no data record of requested type"},
    {10102, "WSAENOMORE: "},
    {10103, "WSAECANCELLED: Cancelled"},
    {10104, "WSAEINVALIDPROCTABLE: Procedure call table is invalid"},
    {10105, "WSAEINVALIDPROVIDER: Service provider is invalid"},
    {10106, "WSAEPROVIDERFAILEDINIT: Service provider failed to initialize"},
    {10107, "WSASYSCALLFAILURE: System call failure"},
    {10108, "WSASERVICE_NOT_FOUND: Service not found"},
    {10109, "WSATYPE_NOT_FOUND: Class type not found"},
    {10110, "WSA_E_NO_MORE: "},
    {10111, "WSA_E_CANCELLED: "},
    {10112, "WSAEREFUSED: Refused"},
};
static_assert(std::size(g_socketErrors) == 68);

// The client's part: WSAEINTR (entry 6) to WSANO_DATA (entry 56).
constexpr size_t CLIENT_TABLE_FIRST = 6;
constexpr size_t CLIENT_TABLE_SIZE = 51;
static_assert(g_socketErrors[CLIENT_TABLE_FIRST].code == 10004);
static_assert(g_socketErrors[CLIENT_TABLE_FIRST + CLIENT_TABLE_SIZE - 1].code == 11004);

constexpr std::span<const SocketErrorEntry> ProgramTable()
{
#ifdef TQ_CLIENT_ERROR_TABLE
    return std::span<const SocketErrorEntry>(g_socketErrors)
        .subspan(CLIENT_TABLE_FIRST, CLIENT_TABLE_SIZE);
#else
    return std::span<const SocketErrorEntry>(g_socketErrors);
#endif
}
} // namespace

const char* GetSocketErrorText(int code)
{
    for (const SocketErrorEntry& entry : ProgramTable())
    {
        if (entry.code == code)
        {
            return entry.text;
        }
    }
    return "Unknown error";
}

int GetSocketErrorTableSize()
{
    return static_cast<int>(ProgramTable().size());
}
