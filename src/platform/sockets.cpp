// The socket calls both builds make alike, over the system calls each build
// implements (system.h): the IPv4 address, the connect and the dual-stack
// listener.
#include "platform/system.h"

#include <cstring>

namespace ll {

sockaddr_in ipv4SockAddr(uint32_t address, uint16_t port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

int sockConnectStart(Socket s, const struct addrinfo *ai) {
    if (!sockSetNonBlocking(s)) return -1;
    return connectTo(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen));
}

int sockConnect4(Socket s, uint32_t address, uint16_t port) {
    if (!sockSetNonBlocking(s)) return -1;
    sockaddr_in a = ipv4SockAddr(address, port);
    return connectTo(s, reinterpret_cast<const sockaddr *>(&a), sizeof a);
}

uint64_t sockPeerSource(Socket s) {
    sockaddr_storage a;
    SockLength length = sizeof a;
    std::memset(&a, 0, sizeof a);
    if (::getpeername(s, reinterpret_cast<sockaddr *>(&a), &length) != 0) return 0;
    uint64_t high = 0, low = 0;
    if (a.ss_family == AF_INET) {
        const sockaddr_in *v4 = reinterpret_cast<const sockaddr_in *>(&a);
        return 0xFFFF00000000u | ntohl(v4->sin_addr.s_addr); // as mapped into IPv6
    }
    if (a.ss_family != AF_INET6) return 0;
    const uint8_t *b = reinterpret_cast<const sockaddr_in6 *>(&a)->sin6_addr.s6_addr;
    for (int i = 0; i < 8; ++i) {
        high = high << 8 | b[i];
        low = low << 8 | b[8 + i];
    }
    // A mapped IPv4 address (and ::1) lies in ::/64, which is no one's
    // prefix: there the whole address counts.
    return high != 0 ? high : low;
}

Socket sockOpenListener(uint16_t port) {
    Socket s = listenerSocket(AF_INET6);
    if (s != InvalidSocket) {
        sockaddr_in6 any6;
        std::memset(&any6, 0, sizeof any6);
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(port);
        if (acceptIpv4Too(s) &&
            bindListener(s, reinterpret_cast<const sockaddr *>(&any6), sizeof any6))
            return s;
        bool taken = addressTaken();
        sockClose(s);
        // Taken on either family: that is the answer. Any other failure
        // means no usable IPv6 here, and IPv4 alone will do.
        if (taken) return InvalidSocket;
    }
    s = listenerSocket(AF_INET);
    if (s == InvalidSocket) return InvalidSocket;
    sockaddr_in any4 = ipv4SockAddr(INADDR_ANY, port);
    if (bindListener(s, reinterpret_cast<const sockaddr *>(&any4), sizeof any4)) return s;
    sockClose(s);
    return InvalidSocket;
}

} // namespace ll
