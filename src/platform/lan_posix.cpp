// The local networks and UDP datagrams for LAN discovery over POSIX.
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
        out[n].netmask = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr);
        ++n;
    }
    ::freeifaddrs(list);
    return n;
}

Socket udpBind4(uint16_t port) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (s < 0) return InvalidSocket;
    int on = 1;
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    if (::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(s);
        return InvalidSocket;
    }
    return s;
}

int sockRecvFrom4(Socket s, void *data, int length, uint32_t *address, uint16_t *port) {
    sockaddr_in a;
    socklen_t size = sizeof a;
    ssize_t n;
    do n = ::recvfrom(s, data, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr *>(&a), &size);
    while (n < 0 && errno == EINTR);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? IoAgain : IoFailed;
    if (size < sizeof a || a.sin_family != AF_INET) return 0; // not an IPv4 sender: skipped
    *address = ntohl(a.sin_addr.s_addr);
    *port = ntohs(a.sin_port);
    return static_cast<int>(n);
}

} // namespace ll
