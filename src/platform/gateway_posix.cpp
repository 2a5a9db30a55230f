// The default gateway from the kernel's routing table, over netlink.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace ll {

namespace {

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
    if (::sendto(s, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel),
                 sizeof kernel) < 0) {
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
            if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > static_cast<size_t>(n) - at)
                break;
            at += NLMSG_ALIGN(h->nlmsg_len);
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                done = true;
                break;
            }
            uint32_t gw = 0, metric = 0;
            if (h->nlmsg_type == RTM_NEWROUTE && defaultRoute(h, &gw, &metric) &&
                (!found || metric < best)) {
                *gateway = gw;
                best = metric;
                found = true;
            }
        }
    }
    ::close(s);
    return found;
}

} // namespace ll
