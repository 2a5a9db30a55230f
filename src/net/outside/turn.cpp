// The conversation with the relay server, on a thread of its own (turn.h).
// One implementation for both builds: the platform layer gives it name
// resolution, TCP connections and readiness, stun.cpp the messages. Every
// wait has a deadline and is cut into TurnSliceMs slices, between which the
// thread checks whether the lobby has closed; deadlines and the refresh
// schedule read the core clock.
#include "net/outside/turn.h"

#include "net/base/clock.h"
#include "net/base/limits.h"
#include "net/outside/sendall.h"
#include "platform/heap.h"

#include <sodium.h>

#include <cstring>

namespace ll {

const char TurnNoRelay[] = "no relay";
const char TurnRefused[] = "refused";
const char TurnLost[] = "lost";

static_assert(TurnBindsAtOnce + 1 <= PollerCapacity && TurnBindsAtOnce <= ConnectWaitCapacity &&
                  TurnAddressesAtOnce <= ConnectWaitCapacity,
              "the relay thread's sockets fit its waits");

namespace {

// A player being bound: its own connection to the server, the
// ConnectionBind on it, and the answer as far as it came.
struct Bind {
    Socket s;  // InvalidSocket: a free slot
    bool sent; // connected, and the request went out
    uint64_t deadline;
    uint32_t id;     // the server's CONNECTION-ID for the player
    uint64_t source; // the player's address, as the door counts it (0: unknown)
    uint8_t tid[StunTidBytes];
    size_t got;
    uint8_t answer[TurnMessageCapacity];
};

// A player the server announced: its connection id and its address.
struct Attempt {
    uint32_t id;
    uint64_t source;
};

// The thread's own record of the conversation.
struct Relay {
    TurnTask *task;
    StunAuth *auth;                  // the task's: user, realm, nonce, key
    bool closing;                    // the lobby has closed: only the release is left
    addrinfo *list;                  // the server's addresses
    const addrinfo *server;          // the one the control connection went to
    Socket control;                  // the control connection
    Poller poller;                   // the control connection and the binds that wait for answers
    bool allocated;                  // the relay is ours until released
    uint32_t lifetimeS;              // as last granted
    uint64_t refreshAt;              // when the next Refresh is due
    uint64_t nonceOkAt;              // when the server last took the nonce
    size_t got;                      // bytes in `in`
    uint8_t in[TurnMessageCapacity]; // read from the control connection
    uint8_t answer[TurnMessageCapacity]; // the answer awaited, copied out of `in`
    uint8_t out[TurnMessageCapacity];    // the request being sent
    Bind binds[TurnBindsAtOnce];
    Attempt waiting[TurnAttemptsWaiting]; // players not bound yet, in arrival order
    int waitFirst, waitCount;
};

bool cut(const Relay &r) { return !r.closing && r.task->stop.load() != 0; }

int sliceUntil(uint64_t deadline) { return clockSlice(deadline, TurnSliceMs); }

void announce(Relay &r, const char *text) {
    if (!cut(r)) r.task->post(r.task, text);
}

// ---- Requests on the control connection ----

// What a request asks: its method and its one value (the lifetime of a
// Refresh, the connection id of a bind).
struct Ask {
    uint16_t method;
    uint32_t value;
};

size_t build(const Ask &ask, uint8_t *out, const uint8_t *tid, const StunAuth &auth) {
    if (ask.method == StunAllocate) return stunAllocate(out, TurnMessageCapacity, tid, auth);
    if (ask.method == StunRefresh)
        return stunRefresh(out, TurnMessageCapacity, tid, ask.value, auth);
    return stunConnectionBind(out, TurnMessageCapacity, tid, ask.value, auth);
}

// What stops a wait of the thread: the lobby's closing, except during the
// release.
const std::atomic<int> *stopFlag(const Relay &r) { return r.closing ? nullptr : &r.task->stop; }

// A player's address as a private lobby's door counts it (sockPeerSource's
// way): an IPv4 address as mapped into IPv6, an IPv6 one by its /64.
uint64_t sourceOf(const StunMessage &m) {
    if (!m.hasPeer) return 0;
    uint64_t high = 0, low = 0;
    if (!m.peer.ipv6)
        return 0xFFFF00000000u | static_cast<uint64_t>(m.peer.ip[0]) << 24 |
               static_cast<uint64_t>(m.peer.ip[1]) << 16 | m.peer.ip[2] << 8 | m.peer.ip[3];
    for (int i = 0; i < 8; ++i) {
        high = high << 8 | m.peer.ip[i];
        low = low << 8 | m.peer.ip[8 + i];
    }
    return high != 0 ? high : low;
}

void enqueue(Relay &r, const StunMessage &m) {
    if (r.waitCount == TurnAttemptsWaiting) return; // the server resets this player in time
    r.waiting[(r.waitFirst + r.waitCount) % TurnAttemptsWaiting] =
        Attempt{m.connectionId, sourceOf(m)};
    ++r.waitCount;
}

// Reads what the control connection holds and takes every whole message
// out: ConnectionAttempt indications join the queue, the answer to `tid`
// (when one is awaited) is copied to r.answer and parsed into *m, anything
// else is dropped. 1: the answer came; 0: not yet; -1: the connection is
// gone or carries something other than STUN.
int pump(Relay &r, const uint8_t *tid, StunMessage *m) {
    int n = sockRecv(r.control, r.in + r.got, static_cast<int>(sizeof r.in - r.got));
    if (n == IoClosed || n == IoFailed) return -1;
    if (n > 0) r.got += static_cast<size_t>(n);
    int found = 0;
    size_t length = 0;
    StunFrame f;
    while ((f = stunFrame(r.in, r.got, sizeof r.in, &length)) == StunWhole) {
        StunMessage one;
        if (stunParse(r.in, length, &one)) {
            if (one.cls == StunIndication && one.method == StunConnectionAttempt &&
                one.hasConnectionId)
                enqueue(r, one);
            else if (tid && found == 0 && one.cls != StunRequest && one.cls != StunIndication &&
                     std::memcmp(one.tid, tid, StunTidBytes) == 0) {
                std::memcpy(r.answer, r.in, length);
                found = stunParse(r.answer, length, m) ? 1 : 0;
            }
        }
        std::memmove(r.in, r.in + length, r.got - length);
        r.got -= length;
    }
    return f == StunNotStun ? -1 : found;
}

enum Result { Answered, Declined, Silent, Gone };

// Waits for the answer to `tid` until the deadline.
Result awaitAnswer(Relay &r, const uint8_t *tid, uint64_t deadline, StunMessage *m) {
    while (!cut(r) && nowMs() < deadline) {
        int got = pump(r, tid, m);
        if (got != 0) return got > 0 ? Answered : Gone;
        if (sockWaitReadable(r.control, sliceUntil(deadline)) < 0) return Gone;
    }
    return Silent;
}

// After an error answer: whether the request may go again, with the
// credentials of a first 401 or the new nonce of a 438.
bool mayRetry(Relay &r, const StunMessage &m) {
    StunAuth &a = *r.auth;
    if (!m.nonce) return false;
    if (m.errorCode == StunStaleNonce && a.keyed) return stunAuthNonce(&a, m.nonce, m.nonceLength);
    if (m.errorCode != StunUnauthorized || a.keyed || !m.realm) return false;
    bool ok = stunAuthRealm(&a, m.realm, m.realmLength, m.nonce, m.nonceLength, r.task->password,
                            std::strlen(r.task->password));
    sodium_memzero(r.task->password, sizeof r.task->password); // the key stands for it now
    return ok;
}

// A success counts when it is signed with our key (or nothing was signed:
// a server that asks for no credentials) and holds nothing it must be
// understood by that we do not understand.
bool trusted(const Relay &r, const uint8_t *data, const StunMessage &m) {
    if (m.unknownRequired) return false;
    return !r.auth->keyed || stunIntegrityOk(data, m, r.auth->key);
}

// One request on the control connection with its credential rounds, until
// the deadline; the success answer parsed in *m.
Result request(Relay &r, const Ask &ask, uint64_t deadline, StunMessage *m) {
    for (int tries = 0; tries < TurnAuthTries; ++tries) {
        uint8_t tid[StunTidBytes];
        randombytes_buf(tid, sizeof tid);
        size_t n = build(ask, r.out, tid, *r.auth);
        if (n == 0) return Declined;
        if (!sendAllUntil(r.control, r.out, n, deadline, TurnSliceMs, stopFlag(r)))
            return nowMs() < deadline ? Gone : Silent;
        Result got = awaitAnswer(r, tid, deadline, m);
        if (got != Answered) return got;
        if (m->cls == StunSuccess && trusted(r, r.answer, *m)) {
            r.nonceOkAt = nowMs();
            return Answered;
        }
        if (m->cls == StunSuccess) return Declined;
        if (!mayRetry(r, *m)) return Declined;
    }
    return Declined;
}

// ---- Allocating ----

// Connects to the first of the server's addresses that answers, trying up
// to TurnAddressesAtOnce of them at once; false when none did in time.
bool connectServer(Relay &r, uint64_t deadline) {
    PortText port = portText(r.task->server.port);
    if (resolveTcp(r.task->server.host, port.text, &r.list) != 0) return false;
    Socket s[TurnAddressesAtOnce];
    const addrinfo *to[TurnAddressesAtOnce];
    int count = 0;
    for (const addrinfo *ai = r.list; ai && count < TurnAddressesAtOnce; ai = resolveNext(ai)) {
        Socket one = sockOpenFor(ai);
        if (one == InvalidSocket) continue;
        if (sockConnectStart(one, ai) < 0) {
            sockClose(one);
            continue;
        }
        s[count] = one;
        to[count++] = ai;
    }
    while (count > 0 && r.control == InvalidSocket && !cut(r) && nowMs() < deadline) {
        bool connected = false;
        int i = sockConnectWait(s, count, sliceUntil(deadline), &connected);
        if (i < 0) continue;
        if (connected) {
            r.control = s[i];
            r.server = to[i];
        } else {
            sockClose(s[i]);
        }
        s[i] = s[--count];
        to[i] = to[count];
    }
    while (count > 0) sockClose(s[--count]);
    return r.control != InvalidSocket;
}

const char *allocate(Relay &r, char *relayed, size_t size) {
    uint64_t deadline = nowMs() + TurnAnswerBudgetMs;
    if (!connectServer(r, deadline)) return cut(r) ? nullptr : TurnNoRelay;
    (void)sockSetNoDelay(r.control);
    (void)sockSetKeepAlive(r.control, KeepAliveIdleS, KeepAliveProbeS, KeepAliveProbes);
    StunMessage m;
    Result got = request(r, Ask{StunAllocate, 0}, deadline, &m);
    if (cut(r)) return nullptr;
    if (got == Silent || got == Gone) return TurnNoRelay;
    if (got == Declined || !m.hasRelayed) return TurnRefused;
    r.allocated = true;
    if (hostportFormat(m.relayed.ipv6, m.relayed.ip, m.relayed.port, relayed, size) == 0)
        return TurnRefused; // cannot happen: an address always fits
    r.lifetimeS = m.hasLifetime ? m.lifetimeS : TurnDefaultLifetimeS;
    return relayed;
}

// ---- Binding players ----

void bindEnd(Relay &r, Bind &b) {
    if (b.sent) pollerRemove(&r.poller, b.s);
    sockClose(b.s);
    b.s = InvalidSocket;
    b.sent = false;
}

// Sends the ConnectionBind on the bind's connection, which has just
// connected: a few hundred bytes that a new connection's send buffer takes
// at once.
void bindSend(Relay &r, Bind &b) {
    randombytes_buf(b.tid, sizeof b.tid);
    size_t n = build(Ask{StunConnectionBind, b.id}, r.out, b.tid, *r.auth);
    b.got = 0;
    b.sent = n > 0 && sockSend(b.s, r.out, static_cast<int>(n)) == static_cast<int>(n) &&
             pollerAdd(&r.poller, b.s, &b);
    if (!b.sent) {
        sockClose(b.s);
        b.s = InvalidSocket;
    }
}

// Opens the bind's connection to the server.
void bindConnect(Relay &r, Bind &b) {
    b.s = sockOpenFor(r.server);
    if (b.s == InvalidSocket) return;
    b.sent = false;
    int started = sockConnectStart(b.s, r.server);
    if (started > 0) {
        bindSend(r, b);
    } else if (started < 0) {
        sockClose(b.s);
        b.s = InvalidSocket;
    }
}

void bindStart(Relay &r, Bind &b, const Attempt &a) {
    b.id = a.id;
    b.source = a.source;
    b.deadline = nowMs() + TurnBindMs;
    bindConnect(r, b);
}

// The bind's answer came whole: the player's connection is handed over, or
// given up. A bind the server refuses costs the player (coturn drops the
// connection it announced), so binds go out with a nonce it took shortly
// before (TurnNonceFreshMs); a stale one's successor is kept all the same.
void bindAnswered(Relay &r, Bind &b, size_t length) {
    StunMessage m;
    if (!stunParse(b.answer, length, &m) || std::memcmp(m.tid, b.tid, StunTidBytes) != 0)
        return bindEnd(r, b);
    if (m.cls == StunError && m.errorCode == StunStaleNonce && m.nonce)
        stunAuthNonce(r.auth, m.nonce, m.nonceLength);
    if (m.cls != StunSuccess || !trusted(r, b.answer, m)) return bindEnd(r, b);
    r.nonceOkAt = nowMs();
    pollerRemove(&r.poller, b.s);
    Socket player = b.s;
    b.s = InvalidSocket;
    b.sent = false;
    if (!sockSetBlocking(player) || !r.task->handover(r.task, player, b.source)) sockClose(player);
}

// Reads the bind's answer, never a byte beyond it: the header first, then
// exactly the length it gives, so the player's first bytes stay unread on
// the connection.
void bindRead(Relay &r, Bind &b) {
    size_t whole = StunHeaderBytes;
    if (b.got >= StunHeaderBytes &&
        stunFrame(b.answer, b.got, sizeof b.answer, &whole) != StunPartial)
        return bindEnd(r, b); // cannot be: a whole answer was taken when it came
    int n = sockRecv(b.s, b.answer + b.got, static_cast<int>(whole - b.got));
    if (n == IoAgain) return;
    if (n <= 0) return bindEnd(r, b);
    b.got += static_cast<size_t>(n);
    StunFrame f = stunFrame(b.answer, b.got, sizeof b.answer, &whole);
    if (f == StunNotStun) return bindEnd(r, b);
    if (f == StunWhole) bindAnswered(r, b, whole);
}

// Starts binds for the players waiting, as far as slots are free, and gives
// up those out of time.
void tendBinds(Relay &r) {
    uint64_t now = nowMs();
    for (Bind &b : r.binds) {
        if (b.s != InvalidSocket && now >= b.deadline) bindEnd(r, b);
        if (b.s != InvalidSocket || r.waitCount == 0) continue;
        Attempt a = r.waiting[r.waitFirst];
        r.waitFirst = (r.waitFirst + 1) % TurnAttemptsWaiting;
        --r.waitCount;
        bindStart(r, b, a);
    }
}

// Binds whose connect ended: each sends its request, or is given up.
void connectsEnded(Relay &r) {
    for (int round = 0; round < TurnBindsAtOnce; ++round) {
        Socket s[TurnBindsAtOnce];
        Bind *which[TurnBindsAtOnce];
        int count = 0;
        for (Bind &b : r.binds)
            if (b.s != InvalidSocket && !b.sent) {
                s[count] = b.s;
                which[count++] = &b;
            }
        bool connected = false;
        int i = count > 0 ? sockConnectWait(s, count, 0, &connected) : -1;
        if (i < 0) return;
        if (connected)
            bindSend(r, *which[i]);
        else
            bindEnd(r, *which[i]);
    }
}

// ---- Keeping the allocation ----

uint64_t refreshDelay(const Relay &r) {
    uint64_t half = uint64_t{r.lifetimeS} * 1000u / 2;
    return half > TurnLeastRefreshMs ? half : TurnLeastRefreshMs;
}

// Refreshes for the lifetime granted last; false when the server refused or
// did not answer, or the control connection is gone. Also how a nonce is
// checked before players are bound with it: a stale one is renewed.
bool refresh(Relay &r) {
    StunMessage m;
    Result got = request(r, Ask{StunRefresh, r.lifetimeS}, nowMs() + TurnTransactionMs, &m);
    if (cut(r)) return true; // the release follows
    if (got != Answered || (m.hasLifetime && m.lifetimeS == 0)) return false;
    if (m.hasLifetime) r.lifetimeS = m.lifetimeS;
    r.refreshAt = nowMs() + refreshDelay(r);
    return true;
}

// Whether a player waits and a bind slot is free for it.
bool bindDue(const Relay &r) {
    if (r.waitCount == 0) return false;
    for (const Bind &b : r.binds)
        if (b.s == InvalidSocket) return true;
    return false;
}

bool anyConnecting(const Relay &r) {
    for (const Bind &b : r.binds)
        if (b.s != InvalidSocket && !b.sent) return true;
    return false;
}

// Waits for the control connection or a bind's answer, as long as a slice
// at most, and reads what came; false when the control connection is gone.
bool waitAndRead(Relay &r) {
    void *ready[TurnBindsAtOnce + 1];
    int n = pollerWait(&r.poller, ready, TurnBindsAtOnce + 1,
                       anyConnecting(r) ? TurnConnectPollMs : sliceUntil(r.refreshAt));
    if (n < 0) return false;
    for (int i = 0; i < n; ++i) {
        if (ready[i] == &r) {
            if (pump(r, nullptr, nullptr) < 0) return false;
        } else {
            Bind &b = *static_cast<Bind *>(ready[i]);
            if (b.s != InvalidSocket) bindRead(r, b);
        }
    }
    return true;
}

// While the lobby lives: refreshes at half the lifetime, binds every player
// the server announces; false when the allocation is lost.
bool serve(Relay &r) {
    if (!pollerAdd(&r.poller, r.control, &r)) return false;
    r.refreshAt = nowMs() + refreshDelay(r);
    while (!cut(r)) {
        uint64_t now = nowMs();
        bool nonceOld = r.auth->keyed && now - r.nonceOkAt > TurnNonceFreshMs;
        if ((now >= r.refreshAt || (nonceOld && bindDue(r))) && !refresh(r)) return false;
        tendBinds(r);
        connectsEnded(r);
        if (!waitAndRead(r)) return false;
    }
    return true;
}

// Gives the relay back (Refresh with lifetime 0) within TurnCloseMs.
void release(Relay &r) {
    r.closing = true;
    StunMessage m;
    request(r, Ask{StunRefresh, 0}, nowMs() + TurnCloseMs, &m);
}

void turnMain(void *task) {
    Relay *r = heapNew<Relay>();
    r->task = static_cast<TurnTask *>(task);
    r->auth = &r->task->auth;
    r->control = InvalidSocket;
    r->poller = Poller();
    for (Bind &b : r->binds) b.s = InvalidSocket;
    char relayed[AddressTextSize];
    const char *outcome = allocate(*r, relayed, sizeof relayed);
    if (outcome) announce(*r, outcome);
    if (r->allocated) {
        if (serve(*r))
            release(*r);
        else
            announce(*r, TurnLost);
    }
    for (Bind &b : r->binds)
        if (b.s != InvalidSocket) bindEnd(*r, b);
    pollerClose(&r->poller);
    sockClose(r->control);
    resolveFree(r->list);
    sodium_memzero(r->task->password, sizeof r->task->password);
    sodium_memzero(r->auth, sizeof *r->auth);
    heapFree(r);
}

// Copies `text` (null: empty) terminated into `out`; false when too long.
bool copyConfig(const char *text, char *out, size_t size) {
    size_t n = text ? std::strlen(text) : 0;
    if (n >= size) return false;
    if (n > 0) std::memcpy(out, text, n);
    out[n] = '\0';
    return true;
}

} // namespace

bool turnStart(TurnTask *task, const TurnConfig &config, TurnPost post, TurnHandover handover) {
    if (task->started) return true;
    StunAuth &a = task->auth;
    std::memset(&a, 0, sizeof a);
    char user[StunUserCapacity + 1];
    if (!config.server ||
        !hostportParse(config.server, std::strlen(config.server), TurnDefaultPort, &task->server) ||
        !copyConfig(config.user, user, sizeof user) ||
        !copyConfig(config.password, task->password, sizeof task->password))
        return false;
    a.userLength = std::strlen(user);
    std::memcpy(a.user, user, a.userLength);
    task->stop.store(0);
    task->post = post;
    task->handover = handover;
    task->started = threadStart(&task->thread, turnMain, task);
    if (!task->started) sodium_memzero(task->password, sizeof task->password);
    return task->started;
}

void turnStop(TurnTask *task) {
    if (!task->started) return;
    task->stop.store(1);
    threadJoin(task->thread);
    task->started = false;
}

} // namespace ll
