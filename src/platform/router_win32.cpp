// The router conversation's platform calls over Winsock, and the default
// gateway from iphlpapi, which is loaded at run time: the DLL's import table
// stays KERNEL32, msvcrt and WS2_32.
#include "platform/router.h"

#include "platform/heap.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>

namespace ll {

namespace {

sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

Socket opened(SOCKET s) {
    if (s == INVALID_SOCKET) return InvalidSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return InvalidSocket;
    }
    return static_cast<Socket>(s);
}

typedef DWORD(WINAPI *GetIpForwardTableFn)(PMIB_IPFORWARDTABLE, PULONG, BOOL);

} // namespace

bool defaultGateway4(uint32_t *gateway) {
    HMODULE iphlpapi = ::LoadLibraryW(L"iphlpapi.dll");
    if (!iphlpapi) return false;
    GetIpForwardTableFn getTable =
        reinterpret_cast<GetIpForwardTableFn>(reinterpret_cast<void *>(::GetProcAddress(iphlpapi, "GetIpForwardTable")));
    bool found = false;
    if (getTable) {
        ULONG size = 0;
        PMIB_IPFORWARDTABLE table = nullptr;
        // The table may grow between the two calls: ask again a few times.
        for (int attempt = 0; attempt < 3; ++attempt) {
            DWORD r = getTable(table, &size, FALSE);
            if (r == NO_ERROR) break;
            heapFree(table);
            table = nullptr;
            if (r != ERROR_INSUFFICIENT_BUFFER || size == 0) break;
            table = static_cast<PMIB_IPFORWARDTABLE>(heapAlloc(size));
        }
        DWORD best = 0;
        for (DWORD i = 0; table && i < table->dwNumEntries; ++i) {
            const MIB_IPFORWARDROW &row = table->table[i];
            if (row.dwForwardDest != 0 || row.dwForwardMask != 0 || row.dwForwardNextHop == 0) continue;
            if (found && row.dwForwardMetric1 >= best) continue;
            *gateway = ntohl(row.dwForwardNextHop);
            best = row.dwForwardMetric1;
            found = true;
        }
        heapFree(table);
    }
    ::FreeLibrary(iphlpapi);
    return found;
}

Socket udpOpen4() { return opened(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)); }
Socket tcpOpen4() { return opened(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

int sockConnect4(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in a = ipv4(address, port);
    if (::connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return 1;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int sockWaitWritable(Socket s, int timeoutMs) {
    // A started connect ends as writable (success) or as an exception.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(static_cast<SOCKET>(s), &writable);
    FD_SET(static_cast<SOCKET>(s), &failed);
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    int r = ::select(0, nullptr, &writable, &failed, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

bool sockConnected(Socket s) {
    int error = 0;
    int length = sizeof error;
    return ::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) == 0 &&
           error == 0;
}

int sockSendTo4(Socket s, uint32_t address, uint16_t port, const void *data, int length) {
    sockaddr_in a = ipv4(address, port);
    int n = ::sendto(static_cast<SOCKET>(s), static_cast<const char *>(data), length, 0,
                     reinterpret_cast<sockaddr *>(&a), sizeof a);
    if (n != SOCKET_ERROR) return n;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? IoAgain : IoFailed;
}

bool sockLocal4(Socket s, uint32_t *address) {
    sockaddr_in a;
    int length = sizeof a;
    if (::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a), &length) != 0 ||
        a.sin_family != AF_INET)
        return false;
    *address = ntohl(a.sin_addr.s_addr);
    return true;
}

int sockWaitEither(Socket a, Socket b, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    if (a != InvalidSocket) FD_SET(static_cast<SOCKET>(a), &set);
    if (b != InvalidSocket) FD_SET(static_cast<SOCKET>(b), &set);
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    if (set.fd_count == 0) {
        ::Sleep(static_cast<DWORD>(timeoutMs)); // select wants at least one socket
        return 0;
    }
    int r = ::select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    int ready = 0;
    if (a != InvalidSocket && FD_ISSET(static_cast<SOCKET>(a), &set)) ready |= 1;
    if (b != InvalidSocket && FD_ISSET(static_cast<SOCKET>(b), &set)) ready |= 2;
    return ready;
}

} // namespace ll
