// Readiness through WSAPoll on Winsock: one call per update over every
// watched socket, without waiting.
#include "platform/platform.h"

#include "lobbylink/lobbylink.h"

#include <winsock2.h>

namespace ll {

static_assert(PollerCapacity >= LobbyMaxClients, "every member of a full lobby is watched");

bool pollerAdd(Poller *p, Socket s, void *tag) {
    if (p->count == PollerCapacity) return false;
    p->sockets[p->count] = s;
    p->tags[p->count] = tag;
    ++p->count;
    return true;
}

void pollerRemove(Poller *p, Socket s) {
    for (int i = 0; i < p->count; ++i) {
        if (p->sockets[i] != s) continue;
        --p->count;
        p->sockets[i] = p->sockets[p->count];
        p->tags[i] = p->tags[p->count];
        return;
    }
}

int pollerReadable(Poller *p, void **tags, int max) { return pollerWait(p, tags, max, 0); }

int pollerWait(Poller *p, void **tags, int max, int timeoutMs) {
    if (p->count == 0) return 0;
    WSAPOLLFD fds[PollerCapacity];
    for (int i = 0; i < p->count; ++i) {
        fds[i].fd = static_cast<SOCKET>(p->sockets[i]);
        fds[i].events = POLLRDNORM;
        fds[i].revents = 0;
    }
    if (::WSAPoll(fds, static_cast<ULONG>(p->count), timeoutMs) == SOCKET_ERROR) return -1;
    int n = 0;
    // A closed or reset connection shows as POLLHUP or POLLERR: readable too,
    // so the receive that notices it is made.
    for (int i = 0; i < p->count && n < max; ++i)
        if (fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) tags[n++] = p->tags[i];
    return n;
}

void pollerClose(Poller *p) { p->count = 0; }

} // namespace ll
