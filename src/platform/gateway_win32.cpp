// The default gateway from iphlpapi, which is loaded at run time: the DLL's
// import table stays KERNEL32, msvcrt and WS2_32.
#include "platform/platform.h"

#include "platform/heap.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstring>

namespace ll {

namespace {

typedef DWORD(WINAPI *GetIpForwardTableFn)(PMIB_IPFORWARDTABLE, PULONG, BOOL);

} // namespace

bool defaultGateway4(uint32_t *gateway) {
    HMODULE iphlpapi = ::LoadLibraryW(L"iphlpapi.dll");
    if (!iphlpapi) return false;
    GetIpForwardTableFn getTable = reinterpret_cast<GetIpForwardTableFn>(
        reinterpret_cast<void *>(::GetProcAddress(iphlpapi, "GetIpForwardTable")));
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
            if (row.dwForwardDest != 0 || row.dwForwardMask != 0 || row.dwForwardNextHop == 0)
                continue;
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

} // namespace ll
