// The thin platform layer: the few socket, thread, lock and clock operations
// the lobby uses, implemented once over POSIX (posix.cpp, gateway_posix.cpp)
// and once over Winsock and Win32 (win32.cpp, gateway_win32.cpp); what
// both systems do alike is written once (sockets.cpp, resolve.cpp).
// Everything above this header is shared code.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef _WIN32
#include <pthread.h>
#endif

struct addrinfo;

namespace ll {

#ifdef _WIN32
typedef uintptr_t Socket; // SOCKET
const Socket InvalidSocket = ~static_cast<uintptr_t>(0);
struct Mutex {
    void *srw; // an SRWLOCK, which is one pointer wide and zero when free
};
#define LL_MUTEX_INIT                                                                              \
    { nullptr }
typedef void *ThreadHandle;
#else
typedef int Socket;
const Socket InvalidSocket = -1;
struct Mutex {
    pthread_mutex_t m;
};
#define LL_MUTEX_INIT                                                                              \
    { PTHREAD_MUTEX_INITIALIZER }
typedef pthread_t ThreadHandle;
#endif

// Readiness of many sockets in one call: the lobby host asks which member
// connections are readable (data, or a closed or reset connection) instead
// of trying a receive on each. Epoll on Linux (poll_epoll.cpp), WSAPoll over
// an array large enough for a full lobby on Winsock (poll_wsapoll.cpp).
const int PollerCapacity = 256;
#ifdef _WIN32
struct Poller {
    int count = 0;                       // sockets watched
    Socket sockets[PollerCapacity] = {}; // the watched sockets
    void *tags[PollerCapacity] = {};     // what each stands for
};
#else
struct Poller {
    int fd = -1; // the epoll instance, made when the first socket is added
};
#endif
// Watches `s`, reported as `tag`; false when it cannot be watched (the caller
// then tries it on every pass).
bool pollerAdd(Poller *p, Socket s, void *tag);
// Stops watching `s`; call before closing it.
void pollerRemove(Poller *p, Socket s);
// Stores the tags of the readable sockets in `tags` (at most `max`) without
// waiting; returns how many, or -1 when the call failed.
int pollerReadable(Poller *p, void **tags, int max);
// The same, waiting at most `timeoutMs` for one to become readable.
int pollerWait(Poller *p, void **tags, int max, int timeoutMs);
void pollerClose(Poller *p);

// Socket library start and stop: 0 on success. The stop releases one start
// that this library made and returns the socket library's own result (0
// where there is no socket library; on Windows SOCKET_ERROR, without calling
// it, when no start of ours is outstanding).
int platStartup();
int platCleanup();

// Every socket is made close-on-exec (Linux) or not inheritable (Windows), so
// a child process the application starts holds neither the lobby port nor a member.
// The lobby host's listener on `port`, bound and not yet listening: one IPv6
// socket that takes IPv4 connections too, or an IPv4 one where the machine
// has no IPv6 (no IPv6 sockets, or IPv6 turned off). InvalidSocket when the
// port is taken on either family, or no socket could be made or bound.
Socket sockOpenListener(uint16_t port);
// A socket for one resolved address.
Socket sockOpenFor(const struct addrinfo *ai);
bool sockListen(Socket s);
// Accepts one pending connection (the listener is blocking); InvalidSocket on
// failure.
Socket sockAccept(Socket s);
// Where an accepted connection comes from, as one number to count a
// source's connections by: an IPv4 address (also one mapped into IPv6), or
// the /64 of an IPv6 address, since one home or host is given a /64 whole.
// 0 when the system cannot tell.
uint64_t sockPeerSource(Socket s);
// Starts connecting `s` to `ai` without waiting; `s` is non-blocking from
// here on. 1 connected at once, 0 under way, -1 failed. A UDP socket
// connected so takes datagrams from there only, and a refusal from that
// address (port unreachable) makes its next receive fail.
int sockConnectStart(Socket s, const struct addrinfo *ai);
// The same for an IPv4 address and port (host order).
int sockConnect4(Socket s, uint32_t address, uint16_t port);
// The most connects sockConnectWait watches at once: its poll array, and
// Winsock's FD_SETSIZE (64 unless a program defines it larger).
const int ConnectWaitCapacity = 64;
// Waits at most `timeoutMs` until one of the `count` connects under way in
// `s` ends: returns its index, with *connected telling whether it connected;
// -1 when none ended in time or the wait failed.
int sockConnectWait(const Socket *s, int count, int timeoutMs, bool *connected);
// TCP keep-alive: after `idleS` quiet seconds the peer is probed every
// `probeS` seconds; after `probes` unanswered probes the connection fails.
// Where the system allows, the same total bounds unacknowledged data.
bool sockSetKeepAlive(Socket s, int idleS, int probeS, int probes);
// Both report whether the option took. A socket that stays blocking must not
// be used by the pump; one without no-delay only sends later.
bool sockSetNoDelay(Socket s);
bool sockSetNonBlocking(Socket s);
bool sockSetBlocking(Socket s);

// What a send or receive did, decided inside the platform layer where the
// system's error code is read: a count of bytes moved (> 0), or one of these.
// None is above 0, so a caller that only asks whether bytes moved tests n <= 0.
enum IoOutcome {
    IoClosed = 0, // receive: the peer closed the connection; send: nothing taken
    IoAgain = -1, // nothing can move now; try again later (would block)
    IoFailed = -2 // the connection failed (reset, aborted, ...)
};
// Moves at most `length` (> 0) bytes; interrupted calls are retried inside.
int sockSend(Socket s, const void *data, int length);
int sockRecv(Socket s, void *data, int length);
// As sockRecv, but the bytes stay to be received again.
int sockPeek(Socket s, void *data, int length);
void sockClose(Socket s);
// The orderly end of a connection, before sockClose: ends the sending side
// (the peer reads everything sent so far, then the end of the stream) and
// discards what has arrived unread, without waiting, since closing a socket
// with unread bytes would reset the connection and could lose what was sent.
void sockFinish(Socket s);
// Waits until the socket is readable (data, a pending connection, or its
// end): 1 readable, 0 timed out, -1 error.
int sockWaitReadable(Socket s, int timeoutMs);

// ---- IPv4 datagrams and connections, for the router conversation ----
// Addresses and ports in host order.
// The gateway of the IPv4 default route; false when there is none. Linux
// asks the kernel's routing table over netlink; Windows asks iphlpapi,
// loaded only for this call so the library imports nothing beyond Winsock.
bool defaultGateway4(uint32_t *gateway);
// Non-blocking IPv4 sockets, close-on-exec / not inherited like every other.
Socket udpOpen4();
Socket tcpOpen4();
// One datagram to address:port; the byte count or an IoOutcome.
int sockSendTo4(Socket s, uint32_t address, uint16_t port, const void *data, int length);
// The local address of a connected socket: the one this machine uses
// towards its peer.
bool sockLocal4(Socket s, uint32_t *address);
// 1 writable, 0 timed out, -1 error.
int sockWaitWritable(Socket s, int timeoutMs);
// Waits until `a` or `b` (either may be InvalidSocket) is readable: bit 0
// for a, bit 1 for b; 0 timed out; -1 error.
int sockWaitEither(Socket a, Socket b, int timeoutMs);

// getaddrinfo for a TCP stream of any address family (a null address means
// the local machine); 0 on success.
int resolveTcp(const char *address, const char *service, struct addrinfo **out);
const struct addrinfo *resolveNext(const struct addrinfo *ai);
int resolveFamily(const struct addrinfo *ai);
// The address of `ai` as numeric text ("::1", "127.0.0.1"); "" when it
// cannot be written in `size` bytes.
void resolveText(const struct addrinfo *ai, char *text, size_t size);
void resolveFree(struct addrinfo *list);

// ---- The local networks, for LAN discovery (lan_posix.cpp, lan_win32.cpp) ----
// One IPv4 address of an interface that is up and not a loopback, and its
// netmask; host order.
struct LocalNet4 {
    uint32_t address;
    uint32_t netmask;
};
// Fills at most `max` entries (Linux: getifaddrs; Windows:
// GetAdaptersAddresses, loaded at run time); their count, or -1.
int localNets4(LocalNet4 *out, int max);
// A non-blocking IPv4 UDP socket bound to `port` on every address (0: any
// port), allowed to send to broadcast addresses; InvalidSocket on failure.
// (This and the next beside the other datagram calls, in posix.cpp and
// win32.cpp.)
Socket udpBind4(uint16_t port);
// One datagram and its sender (host order): its byte count (0 also for one
// to skip, as a refusal of an earlier datagram that Winsock reports here),
// or IoAgain / IoFailed. Longer datagrams are cut to `length`.
int sockRecvFrom4(Socket s, void *data, int length, uint32_t *address, uint16_t *port);

void sleepMs(int ms);
uint64_t monotonicMs();

void mutexLock(Mutex *m);
void mutexUnlock(Mutex *m);

// Starts a thread; it keeps the library's code loaded while it runs, also
// when the host application unloads the library meanwhile (Windows: a module reference;
// the ELF build is never unloaded).
bool threadStart(ThreadHandle *handle, void (*fn)(void *), void *arg);
void threadJoin(ThreadHandle handle);
// Lets the thread end on its own: nobody waits for it, and what it holds of
// the system goes when it ends.
void threadDetach(ThreadHandle handle);

// Holds a mutex for the lifetime of a scope.
struct Guard {
    Mutex *m;
    explicit Guard(Mutex *mutex) : m(mutex) { mutexLock(m); }
    ~Guard() { mutexUnlock(m); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

} // namespace ll
