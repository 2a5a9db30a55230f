// Winsock 2 and Win32 threads, locks and clocks behind the platform layer.
#include "platform/system.h"

#include "platform/heap.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace ll {

// A SOCKET is pointer-wide (64 bits in the 64-bit DLL): Socket holds it whole.
static_assert(sizeof(Socket) == sizeof(SOCKET) && InvalidSocket == INVALID_SOCKET,
              "Socket is SOCKET");

namespace {
// WSAStartup calls made by platStartup and not yet released (the application's
// thread only). Winsock counts references process-wide: a cleanup we did not start
// would take away one that belongs to the host application or another library, and the
// last one tears down every socket in the process.
int ownStartups = 0;
} // namespace

int platStartup() {
    WSADATA data;
    int r = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (r == 0) ++ownStartups;
    return r;
}

int platCleanup() {
    if (ownStartups == 0) return SOCKET_ERROR;
    --ownStartups;
    return ::WSACleanup();
}

namespace {
// A socket handle that a child process would otherwise inherit.
Socket notInherited(SOCKET s) {
    if (s == INVALID_SOCKET) return InvalidSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<Socket>(s);
}
} // namespace

Socket sockOpenFor(const struct addrinfo *ai) {
    return notInherited(::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol));
}

Socket listenerSocket(int family) {
    return notInherited(::socket(family, SOCK_STREAM, IPPROTO_TCP));
}

bool acceptIpv4Too(Socket s) {
    // Windows makes IPv6 sockets IPv6 only unless told otherwise.
    DWORD off = 0;
    return ::setsockopt(static_cast<SOCKET>(s), IPPROTO_IPV6, IPV6_V6ONLY,
                        reinterpret_cast<const char *>(&off), sizeof off) == 0;
}

// No SO_REUSEADDR here: on Winsock it would let this socket take a port that
// another listener holds. Winsock binds a port whose earlier listener's
// accepted connections are still open without it.
bool bindListener(Socket s, const sockaddr *addr, int length) {
    return ::bind(static_cast<SOCKET>(s), addr, length) == 0;
}

bool addressTaken() {
    int error = ::WSAGetLastError();
    return error == WSAEADDRINUSE || error == WSAEACCES;
}

bool sockListen(Socket s) { return ::listen(static_cast<SOCKET>(s), SOMAXCONN) == 0; }

Socket sockAccept(Socket s) {
    return notInherited(::accept(static_cast<SOCKET>(s), nullptr, nullptr));
}

namespace {
bool setBlocking(Socket s, bool blocking) {
    u_long mode = blocking ? 0 : 1;
    return ::ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &mode) == 0;
}

// `s` made non-blocking; closed, and InvalidSocket, when that fails.
Socket nonBlocking(Socket s) {
    if (s == InvalidSocket || setBlocking(s, false)) return s;
    ::closesocket(static_cast<SOCKET>(s));
    return InvalidSocket;
}
} // namespace

int connectTo(Socket s, const sockaddr *to, int length) {
    if (::connect(static_cast<SOCKET>(s), to, length) == 0) return 1;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

static_assert(ConnectWaitCapacity <= FD_SETSIZE,
              "sockConnectWait's select must hold every connect it watches");

namespace {
// Adds a socket to a select set. Winsock's FD_SET is a macro holding a
// search loop of its own: kept here, its branches are not the callers'.
void selectAdd(Socket s, fd_set *set) { FD_SET(static_cast<SOCKET>(s), set); }
} // namespace

int sockConnectWait(const Socket *s, int count, int timeoutMs, bool *connected) {
    // select, not WSAPoll: WSAPoll does not report a refused connect on
    // Windows before 10 (version 2004), it only lets it time out. Winsock
    // reports a connect that succeeded as writable and one that failed as
    // an exception.
    if (count > ConnectWaitCapacity) count = ConnectWaitCapacity;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (int i = 0; i < count; ++i) {
        selectAdd(s[i], &writable);
        selectAdd(s[i], &failed);
    }
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    if (::select(0, nullptr, &writable, &failed, &tv) <= 0) return -1;
    for (int i = 0; i < count; ++i) {
        SOCKET h = static_cast<SOCKET>(s[i]);
        bool failedHere = FD_ISSET(h, &failed) != 0;
        if (!failedHere && !FD_ISSET(h, &writable)) continue;
        *connected = !failedHere;
        return i;
    }
    return -1;
}

bool sockSetKeepAlive(Socket s, int idleS, int probeS, int probes) {
    // Windows sends a fixed number of probes (10) and takes no count.
    (void)probes;
    tcp_keepalive k;
    k.onoff = 1;
    k.keepalivetime = static_cast<ULONG>(idleS) * 1000u;
    k.keepaliveinterval = static_cast<ULONG>(probeS) * 1000u;
    DWORD returned = 0;
    return ::WSAIoctl(static_cast<SOCKET>(s), SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0,
                      &returned, nullptr, nullptr) == 0;
}

bool sockSetNoDelay(Socket s) {
    int one = 1;
    return ::setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY,
                        reinterpret_cast<const char *>(&one), sizeof one) == 0;
}

bool sockSetNonBlocking(Socket s) { return setBlocking(s, false); }
bool sockSetBlocking(Socket s) { return setBlocking(s, true); }

namespace {
// The outcome of a send or receive that returned n, read from Winsock's
// error code at once. WSAEINTR only happens for blocking calls that
// WSACancelBlockingCall cut short, which nothing here uses.
int ioOutcome(int n) {
    if (n == 0) return IoClosed;
    if (n != SOCKET_ERROR) return n;
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? IoAgain : IoFailed;
}
} // namespace

int sockSend(Socket s, const void *data, int length) {
    // Winsock never raises a signal for a closed peer; the send just fails.
    return ioOutcome(::send(static_cast<SOCKET>(s), static_cast<const char *>(data), length, 0));
}

int sockRecv(Socket s, void *data, int length) {
    return ioOutcome(::recv(static_cast<SOCKET>(s), static_cast<char *>(data), length, 0));
}

int sockPeek(Socket s, void *data, int length) {
    return ioOutcome(::recv(static_cast<SOCKET>(s), static_cast<char *>(data), length, MSG_PEEK));
}

void sockClose(Socket s) {
    if (s == InvalidSocket) return;
    ::closesocket(static_cast<SOCKET>(s));
}

void sockFinish(Socket s) {
    if (s == InvalidSocket) return;
    SOCKET h = static_cast<SOCKET>(s);
    ::shutdown(h, SD_SEND);
    // Our connections are non-blocking; a bounded amount, so that a peer
    // that keeps sending cannot hold us.
    char sink[4096];
    for (int i = 0; i < 64; ++i)
        if (::recv(h, sink, sizeof sink, 0) <= 0) break;
}

int sockWaitReadable(Socket s, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    selectAdd(s, &set);
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    int r = ::select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

Socket udpOpen4() { return nonBlocking(notInherited(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))); }
Socket tcpOpen4() { return nonBlocking(notInherited(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))); }

int sockSendTo4(Socket s, uint32_t address, uint16_t port, const void *data, int length) {
    sockaddr_in a = ipv4SockAddr(address, port);
    return ioOutcome(::sendto(static_cast<SOCKET>(s), static_cast<const char *>(data), length, 0,
                              reinterpret_cast<sockaddr *>(&a), sizeof a));
}

Socket udpBind4(uint16_t port) {
    Socket s = udpOpen4();
    if (s == InvalidSocket) return s;
    BOOL on = TRUE;
    sockaddr_in a = ipv4SockAddr(INADDR_ANY, port);
    if (::setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_BROADCAST,
                     reinterpret_cast<const char *>(&on), sizeof on) != 0 ||
        ::bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::closesocket(static_cast<SOCKET>(s));
        return InvalidSocket;
    }
    return s;
}

int sockRecvFrom4(Socket s, void *data, int length, uint32_t *address, uint16_t *port) {
    sockaddr_in a;
    int size = sizeof a;
    int n = ::recvfrom(static_cast<SOCKET>(s), static_cast<char *>(data), length, 0,
                       reinterpret_cast<sockaddr *>(&a), &size);
    if (n == SOCKET_ERROR) {
        int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return IoAgain;
        // A refusal of an earlier datagram (port unreachable) is reported by
        // the next receive; a longer datagram arrives cut.
        if (error == WSAECONNRESET || error == WSAENETRESET) return 0;
        if (error != WSAEMSGSIZE) return IoFailed;
        n = length;
    }
    if (size < static_cast<int>(sizeof a) || a.sin_family != AF_INET) return 0;
    *address = ntohl(a.sin_addr.s_addr);
    *port = ntohs(a.sin_port);
    return n;
}

bool sockLocal4(Socket s, uint32_t *address) {
    sockaddr_in a;
    int length = sizeof a;
    if (::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr *>(&a), &length) != 0 ||
        a.sin_family != AF_INET)
        return false;
    *address = ntohl(a.sin_addr.s_addr);
    return true;
}

namespace {
// select with a timeout in milliseconds.
int selectFor(fd_set *readable, fd_set *writable, fd_set *failed, int timeoutMs) {
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    return ::select(0, readable, writable, failed, &tv);
}
} // namespace

int sockWaitWritable(Socket s, int timeoutMs) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    selectAdd(s, &writable);
    selectAdd(s, &failed);
    int r = selectFor(nullptr, &writable, &failed, timeoutMs);
    if (r == SOCKET_ERROR) return -1;
    return r > 0 ? 1 : 0;
}

int sockWaitEither(Socket a, Socket b, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    if (a != InvalidSocket) selectAdd(a, &set);
    if (b != InvalidSocket) selectAdd(b, &set);
    if (set.fd_count == 0) {
        ::Sleep(static_cast<DWORD>(timeoutMs)); // select wants at least one socket
        return 0;
    }
    int r = selectFor(&set, nullptr, nullptr, timeoutMs);
    if (r == SOCKET_ERROR) return -1;
    int ready = 0;
    if (a != InvalidSocket && FD_ISSET(static_cast<SOCKET>(a), &set)) ready |= 1;
    if (b != InvalidSocket && FD_ISSET(static_cast<SOCKET>(b), &set)) ready |= 2;
    return ready;
}

void sleepMs(int ms) { ::Sleep(static_cast<DWORD>(ms)); }

uint64_t monotonicMs() { return static_cast<uint64_t>(::GetTickCount64()); }

void mutexLock(Mutex *m) { ::AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m->srw)); }
void mutexUnlock(Mutex *m) { ::ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m->srw)); }

namespace {
struct ThreadStart {
    void (*fn)(void *);
    void *arg;
    HMODULE module;
};
DWORD WINAPI threadTrampoline(LPVOID p) {
    ThreadStart start = *static_cast<ThreadStart *>(p);
    heapFree(p);
    start.fn(start.arg);
    // Release the module reference threadStart took, as the thread ends:
    // the code that does it never returns into the module.
    ::FreeLibraryAndExitThread(start.module, 0);
    return 0;
}
} // namespace

bool threadStart(ThreadHandle *handle, void (*fn)(void *), void *arg) {
    // The thread holds a reference to this module while it runs, so a host
    // application that unloads the library meanwhile does not pull its code away.
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&threadTrampoline), &module))
        return false;
    ThreadStart *start = static_cast<ThreadStart *>(heapAlloc(sizeof(ThreadStart)));
    start->fn = fn;
    start->arg = arg;
    start->module = module;
    HANDLE h = ::CreateThread(nullptr, 0, threadTrampoline, start, 0, nullptr);
    if (!h) {
        heapFree(start);
        ::FreeLibrary(module);
        return false;
    }
    *handle = h;
    return true;
}

void threadJoin(ThreadHandle handle) {
    ::WaitForSingleObject(static_cast<HANDLE>(handle), INFINITE);
    ::CloseHandle(static_cast<HANDLE>(handle));
}

void threadDetach(ThreadHandle handle) { ::CloseHandle(static_cast<HANDLE>(handle)); }

} // namespace ll
