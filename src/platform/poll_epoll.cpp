// Readiness through epoll: one call per update tells which member sockets
// are readable, whatever the number of members.
#include "platform/platform.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace ll {

bool pollerAdd(Poller *p, Socket s, void *tag) {
    if (p->fd < 0) p->fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (p->fd < 0) return false;
    epoll_event e = {};
    e.events = EPOLLIN | EPOLLRDHUP; // level-triggered: unread data is reported again
    e.data.ptr = tag;
    return ::epoll_ctl(p->fd, EPOLL_CTL_ADD, s, &e) == 0;
}

void pollerRemove(Poller *p, Socket s) {
    if (p->fd >= 0) ::epoll_ctl(p->fd, EPOLL_CTL_DEL, s, nullptr);
}

int pollerReadable(Poller *p, void **tags, int max) { return pollerWait(p, tags, max, 0); }

int pollerWait(Poller *p, void **tags, int max, int timeoutMs) {
    if (p->fd < 0) return 0;
    epoll_event events[PollerCapacity];
    if (max > PollerCapacity) max = PollerCapacity;
    int n = ::epoll_wait(p->fd, events, max, timeoutMs);
    if (n < 0 && errno == EINTR) return 0;
    if (n < 0) return -1;
    for (int i = 0; i < n; ++i) tags[i] = events[i].data.ptr;
    return n;
}

void pollerClose(Poller *p) {
    if (p->fd >= 0) ::close(p->fd);
    p->fd = -1;
}

} // namespace ll
