// POSIX sockets, pthreads and clocks behind the platform layer.
#include "platform/system.h"

#include "platform/heap.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace ll {

int platStartup() { return 0; }
int platCleanup() { return 0; }

Socket sockOpenFor(const struct addrinfo *ai) {
    return ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
}

Socket listenerSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

bool acceptIpv4Too(Socket s) {
    // The system's default may be IPv6 only (net.ipv6.bindv6only).
    int off = 0;
    return ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0;
}

bool bindListener(Socket s, const sockaddr *addr, int length) {
    // Linux refuses to bind a port that accepted connections of an earlier
    // listener still use (open or in TIME_WAIT) unless address reuse is on;
    // Winsock allows it without. A port held by another *listening* socket
    // still fails to bind on Linux, which is what we want. The Windows layer
    // must not set this option: there it would let us take a bound port.
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return ::bind(s, addr, static_cast<socklen_t>(length)) == 0;
}

bool addressTaken() { return errno == EADDRINUSE || errno == EACCES; }

bool sockListen(Socket s) { return ::listen(s, SOMAXCONN) == 0; }

Socket sockAccept(Socket s) {
    for (;;) {
        int c = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0 || errno != EINTR) return c;
    }
}

namespace {
bool setBlocking(Socket s, bool blocking) {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
}
} // namespace

int connectTo(Socket s, const sockaddr *to, int length) {
    if (::connect(s, to, static_cast<socklen_t>(length)) == 0) return 1;
    // Interrupted, a non-blocking connect goes on in the background.
    return errno == EINPROGRESS || errno == EINTR ? 0 : -1;
}

int sockConnectWait(const Socket *s, int count, int timeoutMs, bool *connected) {
    pollfd p[ConnectWaitCapacity];
    if (count > ConnectWaitCapacity) count = ConnectWaitCapacity;
    for (int i = 0; i < count; ++i) p[i] = pollfd{s[i], POLLOUT, 0};
    if (::poll(p, static_cast<nfds_t>(count), timeoutMs) <= 0) return -1;
    for (int i = 0; i < count; ++i) {
        if (p[i].revents == 0) continue;
        int error = 0;
        socklen_t len = sizeof error;
        *connected = (p[i].revents & POLLNVAL) == 0 &&
                     ::getsockopt(s[i], SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
        return i;
    }
    return -1;
}

bool sockSetKeepAlive(Socket s, int idleS, int probeS, int probes) {
    int on = 1;
    unsigned userTimeoutMs = static_cast<unsigned>(idleS + probeS * probes) * 1000u;
    return ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
           ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS) == 0 &&
           ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &probeS, sizeof probeS) == 0 &&
           ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
           // Keep-alive is silent while data waits unacknowledged; without a
           // user timeout, retransmissions to a vanished peer go on for
           // about a quarter of an hour.
           ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) ==
               0;
}

bool sockSetNoDelay(Socket s) {
    int one = 1;
    return ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool sockSetNonBlocking(Socket s) { return setBlocking(s, false); }
bool sockSetBlocking(Socket s) { return setBlocking(s, true); }

namespace {
// The outcome of a send or receive that returned n, read from errno at once.
int ioOutcome(ssize_t n) {
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return IoClosed;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? IoAgain : IoFailed;
}
} // namespace

int sockSend(Socket s, const void *data, int length) {
    // MSG_NOSIGNAL: a peer that has gone must show as a failed send, never as
    // a SIGPIPE that would end the host application.
    ssize_t n;
    do n = ::send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return ioOutcome(n);
}

namespace {
int receive(Socket s, void *data, int length, int flags) {
    ssize_t n;
    do n = ::recv(s, data, static_cast<size_t>(length), flags);
    while (n < 0 && errno == EINTR);
    return ioOutcome(n);
}
} // namespace

int sockRecv(Socket s, void *data, int length) { return receive(s, data, length, 0); }
int sockPeek(Socket s, void *data, int length) { return receive(s, data, length, MSG_PEEK); }

void sockClose(Socket s) {
    if (s == InvalidSocket) return;
    ::close(s);
}

void sockFinish(Socket s) {
    if (s == InvalidSocket) return;
    ::shutdown(s, SHUT_WR);
    // A bounded amount, so that a peer that keeps sending cannot hold us.
    char sink[4096];
    for (int i = 0; i < 64; ++i)
        if (receive(s, sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
}

int sockWaitReadable(Socket s, int timeoutMs) {
    pollfd p;
    p.fd = s;
    p.events = POLLIN;
    p.revents = 0;
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return -1;
    return 1; // POLLIN, POLLHUP or POLLERR: the next call reports what it is
}

Socket udpOpen4() {
    return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
}
Socket tcpOpen4() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
}

int sockSendTo4(Socket s, uint32_t address, uint16_t port, const void *data, int length) {
    sockaddr_in a = ipv4SockAddr(address, port);
    ssize_t n;
    do
        n = ::sendto(s, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr *>(&a), sizeof a);
    while (n < 0 && errno == EINTR);
    return ioOutcome(n);
}

Socket udpBind4(uint16_t port) {
    Socket s = udpOpen4();
    if (s == InvalidSocket) return s;
    int on = 1;
    sockaddr_in a = ipv4SockAddr(INADDR_ANY, port);
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
    do
        n = ::recvfrom(s, data, static_cast<size_t>(length), 0, reinterpret_cast<sockaddr *>(&a),
                       &size);
    while (n < 0 && errno == EINTR);
    if (n < 0) return ioOutcome(n);
    if (size < sizeof a || a.sin_family != AF_INET) return 0; // not an IPv4 sender: skipped
    *address = ntohl(a.sin_addr.s_addr);
    *port = ntohs(a.sin_port);
    return static_cast<int>(n);
}

bool sockLocal4(Socket s, uint32_t *address) {
    sockaddr_in a;
    socklen_t length = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) != 0 || a.sin_family != AF_INET)
        return false;
    *address = ntohl(a.sin_addr.s_addr);
    return true;
}

int sockWaitWritable(Socket s, int timeoutMs) {
    pollfd p = {s, POLLOUT, 0};
    int r = ::poll(&p, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    return r > 0 ? 1 : 0;
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

void sleepMs(int ms) {
    timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

uint64_t monotonicMs() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

void mutexLock(Mutex *m) { ::pthread_mutex_lock(&m->m); }
void mutexUnlock(Mutex *m) { ::pthread_mutex_unlock(&m->m); }

namespace {
struct ThreadStart {
    void (*fn)(void *);
    void *arg;
};
void *threadTrampoline(void *p) {
    ThreadStart start = *static_cast<ThreadStart *>(p);
    heapFree(p);
    start.fn(start.arg);
    return nullptr;
}
} // namespace

bool threadStart(ThreadHandle *handle, void (*fn)(void *), void *arg) {
    ThreadStart *start = static_cast<ThreadStart *>(heapAlloc(sizeof(ThreadStart)));
    start->fn = fn;
    start->arg = arg;
    if (::pthread_create(handle, nullptr, threadTrampoline, start) != 0) {
        heapFree(start);
        return false;
    }
    return true;
}

void threadJoin(ThreadHandle handle) { ::pthread_join(handle, nullptr); }

void threadDetach(ThreadHandle handle) { ::pthread_detach(handle); }

} // namespace ll
