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

const ULONG AdapterFlags =
    GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;

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

} // namespace ll
