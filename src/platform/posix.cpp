// POSIX sockets, pthreads and clocks behind the platform layer.
#include "platform/platform.h"

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

namespace {
// Binds `s` for listening on `addr`; the errno of a failed bind stays.
bool bindListener(Socket s, const sockaddr *addr, socklen_t length) {
    // Linux refuses to bind a port that accepted connections of an earlier
    // listener still use (open or in TIME_WAIT) unless address reuse is on;
    // Winsock allows it without. A port held by another *listening* socket
    // still fails to bind on Linux, which is what we want. The Windows layer
    // must not set this option: there it would let us take a bound port.
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return ::bind(s, addr, length) == 0;
}
} // namespace

Socket sockOpenListener(uint16_t port) {
    Socket s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s != InvalidSocket) {
        // IPv4 connections arrive on the same socket as mapped addresses.
        // The system's default may be IPv6 only (net.ipv6.bindv6only).
        int off = 0;
        sockaddr_in6 any6;
        std::memset(&any6, 0, sizeof any6);
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(port);
        if (::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0 &&
            bindListener(s, reinterpret_cast<sockaddr *>(&any6), sizeof any6))
            return s;
        int error = errno;
        ::close(s);
        // Taken on either family: that is the answer. Any other failure
        // means no usable IPv6 here, and IPv4 alone will do.
        if (error == EADDRINUSE || error == EACCES) return InvalidSocket;
    }
    s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s == InvalidSocket) return InvalidSocket;
    sockaddr_in any4;
    std::memset(&any4, 0, sizeof any4);
    any4.sin_family = AF_INET;
    any4.sin_addr.s_addr = htonl(INADDR_ANY);
    any4.sin_port = htons(port);
    if (bindListener(s, reinterpret_cast<sockaddr *>(&any4), sizeof any4)) return s;
    ::close(s);
    return InvalidSocket;
}

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

int sockConnectStart(Socket s, const struct addrinfo *ai) {
    if (!setBlocking(s, false)) return -1;
    if (::connect(s, ai->ai_addr, ai->ai_addrlen) == 0) return 1;
    // Interrupted, a non-blocking connect goes on in the background.
    return errno == EINPROGRESS || errno == EINTR ? 0 : -1;
}

int sockConnectWait(const Socket *s, int count, int timeoutMs, bool *connected) {
    const int most = 64;
    pollfd p[most];
    if (count > most) count = most;
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
           ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) == 0;
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

} // namespace ll
