// The router conversation's platform calls over POSIX sockets and netlink.
#include "platform/router.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

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

// One RTM_NEWROUTE of the dump: a default route of the main table with a
// gateway, and its metric.
bool defaultRoute(const nlmsghdr *h, uint32_t *gateway, uint32_t *metric) {
    const rtmsg *r = static_cast<const rtmsg *>(NLMSG_DATA(h));
    if (r->rtm_family != AF_INET || r->rtm_dst_len != 0 || r->rtm_type != RTN_UNICAST) return false;
    uint32_t table = r->rtm_table;
    bool found = false;
    *metric = 0;
    int length = static_cast<int>(RTM_PAYLOAD(h));
    for (const rtattr *a = RTM_RTA(r); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        if (RTA_PAYLOAD(a) != 4) continue;
        uint32_t v;
        std::memcpy(&v, RTA_DATA(a), 4);
        if (a->rta_type == RTA_GATEWAY) {
            *gateway = ntohl(v);
            found = true;
        } else if (a->rta_type == RTA_PRIORITY) {
            *metric = v;
        } else if (a->rta_type == RTA_TABLE) {
            table = v;
        }
    }
    return found && table == RT_TABLE_MAIN;
}

} // namespace

bool defaultGateway4(uint32_t *gateway) {
    int s = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) return false;
    // The kernel answers at once; the timeout only guards against a kernel
    // that never ends its dump.
    timeval tv = {1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct {
        nlmsghdr h;
        rtmsg r;
    } request;
    std::memset(&request, 0, sizeof request);
    request.h.nlmsg_len = sizeof request;
    request.h.nlmsg_type = RTM_GETROUTE;
    request.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.h.nlmsg_seq = 1;
    request.r.rtm_family = AF_INET;
    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    uint32_t best = 0;
    if (::sendto(s, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0) {
        ::close(s);
        return false;
    }
    alignas(nlmsghdr) char buffer[16384];
    for (bool done = false; !done;) {
        ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        // The messages of one datagram, each aligned (NLMSG_OK and
        // NLMSG_NEXT, spelt out without their mixed-sign comparisons).
        for (size_t at = 0; at + sizeof(nlmsghdr) <= static_cast<size_t>(n);) {
            const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer + at);
            if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > static_cast<size_t>(n) - at) break;
            at += NLMSG_ALIGN(h->nlmsg_len);
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            uint32_t gw = 0, metric = 0;
            if (h->nlmsg_type == RTM_NEWROUTE && defaultRoute(h, &gw, &metric) && (!found || metric < best)) {
                *gateway = gw;
                best = metric;
                found = true;
            }
        }
    }
    ::close(s);
    return found;
}

Socket udpOpen4() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP); }
Socket tcpOpen4() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP); }

int sockConnect4(Socket s, uint32_t address, uint16_t port) {
    sockaddr_in a = ipv4(address, port);
    if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return 1;
    return (errno == EINPROGRESS || errno == EINTR) ? 0 : -1;
}

int sockWaitWritable(Socket s, int timeoutMs) {
    pollfd p = {s, POLLOUT, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
}

bool sockConnected(Socket s) {
    int error = 0;
    socklen_t length = sizeof error;
    return ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

int sockSendTo4(Socket s, uint32_t address, uint16_t port, const void *data, int length) {
    sockaddr_in a = ipv4(address, port);
    ssize_t n;
    do n = ::sendto(s, data, static_cast<size_t>(length), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&a), sizeof a);
    while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? IoAgain : IoFailed;
}

bool sockLocal4(Socket s, uint32_t *address) {
    sockaddr_in a;
    socklen_t length = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) != 0 || a.sin_family != AF_INET) return false;
    *address = ntohl(a.sin_addr.s_addr);
    return true;
}

int sockWaitEither(Socket a, Socket b, int timeoutMs) {
    pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}}; // a negative descriptor is skipped
    int r = ::poll(p, 2, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    int ready = 0;
    if (a != InvalidSocket && p[0].revents) ready |= 1;
    if (b != InvalidSocket && p[1].revents) ready |= 2;
    return ready;
}

} // namespace ll
