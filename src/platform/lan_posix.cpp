// The local networks for LAN discovery over POSIX.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ll {

int localNets4(LocalNet4 *out, int max) {
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0) return -1;
    int n = 0;
    for (ifaddrs *i = list; i && n < max; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        out[n].address = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
        out[n].netmask =
            ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr);
        ++n;
    }
    ::freeifaddrs(list);
    return n;
}

} // namespace ll
