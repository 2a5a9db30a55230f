// The local networks and UDP datagrams for LAN discovery over Winsock. The
// interface list comes from iphlpapi, loaded only for the call, as the
// default gateway's: the DLL imports nothing more.
#include "platform/platform.h"

#include "platform/heap.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>

namespace ll {

namespace {

typedef ULONG(WINAPI *GetAdaptersAddressesFn)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);

const ULONG AdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;

// The adapters' list, in a block the caller frees; null when unavailable.
PIP_ADAPTER_ADDRESSES adapters(GetAdaptersAddressesFn get) {
    ULONG size = 16384;
    PIP_ADAPTER_ADDRESSES list = nullptr;
    // The list may grow between two calls: ask again a few times.
    for (int attempt = 0; attempt < 3; ++attempt) {
        list = static_cast<PIP_ADAPTER_ADDRESSES>(heapAlloc(size));
        ULONG r = get(AF_INET, AdapterFlags, nullptr, list, &size);
        if (r == NO_ERROR) return list;
        heapFree(list);
        list = nullptr;
        if (r != ERROR_BUFFER_OVERFLOW || size == 0) break;
    }
    return nullptr;
}

int collect(PIP_ADAPTER_ADDRESSES list, LocalNet4 *out, int max) {
    int n = 0;
    for (PIP_ADAPTER_ADDRESSES a = list; a && n < max; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (PIP_ADAPTER_UNICAST_ADDRESS u = a->FirstUnicastAddress; u && n < max; u = u->Next) {
            const SOCKADDR *sa = u->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET || u->OnLinkPrefixLength > 32) continue;
            unsigned prefix = u->OnLinkPrefixLength;
            out[n].address = ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr);
            out[n].netmask = prefix == 0 ? 0 : ~static_cast<uint32_t>(0) << (32 - prefix);
            ++n;
        }
    }
    return n;
}

} // namespace

int localNets4(LocalNet4 *out, int max) {
    HMODULE iphlpapi = ::LoadLibraryW(L"iphlpapi.dll");
    if (!iphlpapi) return -1;
    GetAdaptersAddressesFn get = reinterpret_cast<GetAdaptersAddressesFn>(
        reinterpret_cast<void *>(::GetProcAddress(iphlpapi, "GetAdaptersAddresses")));
    int n = -1;
    if (get) {
        PIP_ADAPTER_ADDRESSES list = adapters(get);
        if (list) n = collect(list, out, max);
        heapFree(list);
    }
    ::FreeLibrary(iphlpapi);
    return n;
}

Socket udpBind4(uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return InvalidSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    BOOL on = TRUE;
    u_long nonBlocking = 1;
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0 ||
        ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return InvalidSocket;
    }
    return static_cast<Socket>(s);
}

int sockRecvFrom4(Socket s, void *data, int length, uint32_t *address, uint16_t *port) {
    sockaddr_in a;
    int size = sizeof a;
    int n = ::recvfrom(static_cast<SOCKET>(s), static_cast<char *>(data), length, 0,
                       reinterpret_cast<sockaddr *>(&a), &size);
    if (n == SOCKET_ERROR) {
        int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return IoAgain;
        // A refusal of an earlier datagram (port unreachable) is reported by
        // the next receive; a longer datagram arrives cut.
        if (error == WSAECONNRESET || error == WSAENETRESET) return 0;
        if (error != WSAEMSGSIZE) return IoFailed;
        n = length;
    }
    if (size < static_cast<int>(sizeof a) || a.sin_family != AF_INET) return 0;
    *address = ntohl(a.sin_addr.s_addr);
    *port = ntohs(a.sin_port);
    return n;
}

} // namespace ll
