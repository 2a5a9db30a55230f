// The client role: one connection to a lobby host, opened by p2pConnect with
// the handshake (on the caller's thread, or a join's, join.cpp), then pumped
// by p2pUpdate (send the queue once, receive once, hand every complete frame
// to the inbox).
#include "net/core/client.h"

#include "net/core/join.h"

#include "net/base/clock.h"
#include "net/secure/handshake.h"
#include "net/base/hostport.h"
#include "net/core/state.h"

#include "platform/heap.h"

#include <cstring>

namespace ll {

// Constant-initialised, like the shared state (state.cpp).
constexpr bool clientRoleIsConstantInitialised() {
    ClientRoleState probe{};
    return probe.socket == InvalidSocket && probe.reader.limit == QueueCapacity - 1;
}
static_assert(clientRoleIsConstantInitialised(), "ClientRoleState must be constant-initialised");

ClientRoleState clientRole;

namespace {

// The connection to the lobby host is gone: one notice, and nothing more
// until the host application disconnects. A join's connection that goes
// before the lobby host's join notice was never let in: its notice says
// why (`before`: the lobby host refused it, or it is a private lobby's).
void connectionLost(ConnectStep before = ConnectRefused) {
    sockClose(clientRole.socket);
    clientRole.socket = InvalidSocket;
    linkFree(&clientRole.link);
    const char *text = clientRole.awaitingAdmission ? clientRole.noticeText(before) : LossNotice;
    clientRole.awaitingAdmission = false;
    inboxPushText(&net.inbox, 0, MsgError, text, std::strlen(text));
}

// A host frame goes to the inbox; one too short to carry its fields is
// dropped. A private lobby's greeting as the first frame of an open
// connection is no message: it is refused, and the connection ends. A
// join's connection hears the lobby host's join notice first once admitted;
// what comes before it is not the lobby speaking, and goes nowhere.
bool deliver(void *, const uint8_t *frame, size_t length) {
    if (!clientRole.heard && !clientRole.link.sealed && greetingSeen(frame, length)) return false;
    clientRole.heard = true;
    FrameFields f;
    if (!readHostFrame(frame, length, &f)) return true;
    if (clientRole.awaitingAdmission) {
        if (f.sender != HostId || f.msgId != MsgJoin) return true;
        clientRole.awaitingAdmission = false;
    }
    inboxPushText(&net.inbox, f.sender, f.msgId, f.text, f.textLength);
    return true;
}

// The pause after a handshake send, on the core's clock in slices; false
// when the dial is stopped meanwhile. The clock counts whole milliseconds:
// one more makes the pause last at least its length.
bool handshakePause(const DialStop &stop) {
    const uint64_t until = nowMs() + ClientHandshakePauseMs + 1;
    while (nowMs() < until && !stop.asked.load()) clockNap(until, JoinWaitSliceMs);
    return !stop.asked.load();
}

// Sends the handshake (the name and its 0) on the still blocking socket,
// pausing after every send that took something. Returns the bytes sent
// (none when the dial is stopped).
size_t sendHandshake(Socket s, const char *user, int32_t *calls, const DialStop &stop) {
    size_t total = std::strlen(user) + 1, sent = 0;
    *calls = 0;
    while (sent < total) {
        int n = sockSend(s, user + sent, static_cast<int>(total - sent));
        if (n <= 0) break; // a blocking socket: any outcome but bytes ends it
        ++*calls;
        sent += static_cast<size_t>(n);
        if (!handshakePause(stop)) return 0;
    }
    return sent;
}

// The resolved addresses in the order they are tried (RFC 8305): the
// resolver's first, then alternately one of the other family and one of the
// first's, each family in the resolver's order; the rest of one family once
// the other has run out.
struct AddressOrder {
    int family;            // the first address's family
    const addrinfo *same;  // the next address of that family
    const addrinfo *other; // the next address of any other family
    bool otherNext;        // which of the two comes next
};

const addrinfo *seek(const addrinfo *ai, int family, bool same) {
    while (ai && (resolveFamily(ai) == family) != same) ai = resolveNext(ai);
    return ai;
}

AddressOrder orderOf(const addrinfo *list) {
    int family = list ? resolveFamily(list) : 0;
    return AddressOrder{family, list, seek(list, family, false), false};
}

const addrinfo *takeNext(AddressOrder *o) {
    bool fromOther = o->other && (o->otherNext || !o->same);
    const addrinfo *ai = fromOther ? o->other : o->same;
    if (!ai) return nullptr;
    if (fromOther)
        o->other = seek(resolveNext(ai), o->family, false);
    else
        o->same = seek(resolveNext(ai), o->family, true);
    o->otherNext = !fromOther;
    return ai;
}

// Every attempt under way is waited for in one sockConnectWait, whose poll
// array and Winsock select set hold ConnectWaitCapacity: one more would
// never be seen to connect, fail or time out until another ended.
static_assert(ConnectAttemptsAtOnce <= ConnectWaitCapacity,
              "the connect wait must watch every attempt");

// Connect attempts under way, each with the time it is given up.
struct Attempts {
    Socket socket[ConnectAttemptsAtOnce];
    const addrinfo *to[ConnectAttemptsAtOnce];
    uint64_t deadline[ConnectAttemptsAtOnce];
    int count;
};

void dropAttempt(Attempts *a, int i, bool close) {
    if (close) sockClose(a->socket[i]);
    --a->count;
    a->socket[i] = a->socket[a->count];
    a->to[i] = a->to[a->count];
    a->deadline[i] = a->deadline[a->count];
}

// The race between the resolved addresses: those still to try, the
// attempts under way, when the next may start, and the winner.
struct Race {
    AddressOrder order;
    const addrinfo *pending; // the next address to try
    Attempts a;
    uint64_t nextStart;
    Socket won;
    const addrinfo *joined; // where the winner goes
    bool anySocket;         // whether any socket could be made at all
};

// Starts an attempt at the pending address; one that connects at once wins.
void startNext(Race *r, uint64_t now) {
    const addrinfo *ai = r->pending;
    r->pending = takeNext(&r->order);
    Socket s = sockOpenFor(ai);
    if (s == InvalidSocket) return; // this family is not to be had: the next at once
    r->anySocket = true;
    int started = sockConnectStart(s, ai);
    if (started > 0 && sockSetBlocking(s)) {
        r->won = s;
        r->joined = ai;
    } else if (started == 0) {
        Attempts &a = r->a;
        a.socket[a.count] = s;
        a.to[a.count] = ai;
        a.deadline[a.count] = now + static_cast<uint64_t>(ConnectTimeoutMs);
        ++a.count;
        r->nextStart = now + static_cast<uint64_t>(ConnectStaggerMs);
    } else {
        sockClose(s); // refused at once: the next at once
    }
}

// Waits for an attempt to end, until the next is due or one runs out of
// time, in slices on the core's clock (a dial may be stopped between them).
// One that connected wins; one that failed starts the next at once. Then the
// attempts out of time are given up.
void awaitAttempts(Race *r) {
    Attempts &a = r->a;
    uint64_t until = a.deadline[0];
    for (int i = 1; i < a.count; ++i)
        if (a.deadline[i] < until) until = a.deadline[i];
    if (r->pending && a.count < ConnectAttemptsAtOnce && r->nextStart < until) until = r->nextStart;
    bool connected = false;
    int i = sockConnectWait(a.socket, a.count, clockSlice(until, JoinWaitSliceMs), &connected);
    if (i >= 0) {
        Socket s = a.socket[i];
        const addrinfo *ai = a.to[i];
        dropAttempt(&a, i, false);
        if (connected && sockSetBlocking(s)) {
            r->won = s;
            r->joined = ai;
        } else {
            sockClose(s);
            r->nextStart = nowMs(); // a failure starts the next at once
        }
    }
    uint64_t now = nowMs();
    for (int k = a.count - 1; k >= 0; --k)
        if (now >= a.deadline[k]) dropAttempt(&a, k, true);
}

// Connects to the first of the resolved addresses that answers, staggered
// (RFC 8305): an attempt starts at once, then one every ConnectStaggerMs
// while none has connected, and at once when one fails; each is given up
// ConnectTimeoutMs after it started. Returns the connection, blocking again,
// and where it goes (*joined); InvalidSocket when none connected or the
// dial was stopped, with *anySocket telling whether any socket could be
// made at all.
Socket connectFirst(const addrinfo *list, const addrinfo **joined, bool *anySocket,
                    const DialStop &stop) {
    Race r;
    r.order = orderOf(list);
    r.pending = takeNext(&r.order);
    r.a.count = 0;
    r.nextStart = nowMs();
    r.won = InvalidSocket;
    r.joined = nullptr;
    r.anySocket = false;
    while (r.won == InvalidSocket && !stop.asked.load()) {
        uint64_t now = nowMs();
        if (r.pending && r.a.count < ConnectAttemptsAtOnce && now >= r.nextStart)
            startNext(&r, now);
        else if (r.a.count > 0)
            awaitAttempts(&r);
        else if (r.pending)
            r.nextStart = now; // nothing under way: the next at once
        else
            break; // every address failed
    }
    while (r.a.count > 0) dropAttempt(&r.a, r.a.count - 1, true); // the slower ones lost
    if (r.won != InvalidSocket && stop.asked.load()) {
        sockClose(r.won);
        r.won = InvalidSocket;
    }
    if (r.anySocket) *anySocket = true;
    if (r.won != InvalidSocket) *joined = r.joined;
    return r.won;
}

} // namespace

void clientPump() {
    if (clientRole.socket == InvalidSocket) return;
    ByteQueue *q = &clientRole.queue;
    if (q->length > 0 || clientRole.link.out.length > 0) {
        LinkSent sent =
            linkSend(clientRole.socket, &clientRole.link, q->data + q->start, q->length);
        if (sent.failed) return connectionLost();
        queueConsume(q, sent.taken);
    }
    if (inboxFull(&net.inbox)) return; // the lobby host waits in TCP meanwhile
    SplitStop never;
    SplitEnd end = linkReceive(clientRole.socket, &clientRole.link, net.scratch, net.plain,
                               QueueCapacity, &clientRole.reader, deliver, nullptr, &never);
    // Only a private lobby's greeting is refused (deliver).
    if (end == SplitRefused) connectionLost(ConnectPrivateLobby);
    if (end == SplitClosed || end == SplitTooLong) connectionLost();
}

namespace {

// A private lobby host greets every connection at once, so its greeting has
// come by the end of the handshake's pause; an open lobby host says nothing
// before it admits, and then no greeting. Looks without taking anything.
bool greetedAsPrivate(Socket s) {
    uint8_t head[GreetingLength];
    if (sockWaitReadable(s, 0) <= 0) return false;
    int n = sockPeek(s, head, sizeof head);
    return n > 0 && greetingSeen(head, static_cast<size_t>(n));
}

// The handshake on the new connection `s`, still blocking: the name, or in a
// private lobby the whole private handshake, whose keys go to `link`.
ConnectStep handshake(Socket s, const char *user, const JoinSecret &secret, RecordLink *link,
                      ConnectOutcome *out, const DialStop &stop) {
    out->handshakeTried = true;
    if (secret.length == 0) {
        size_t sent = sendHandshake(s, user, &out->handshakeSends, stop);
        if (sent != std::strlen(user) + 1) return ConnectHandshakeFailed;
        return greetedAsPrivate(s) ? ConnectPrivateLobby : Connected;
    }
    JoinWait wait = {nowMs() + PrivateJoinDeadlineMs, &stop.asked};
    JoinEnd end =
        joinPrivate(s, secret.text, secret.length, user, wait, &link->keys, &out->handshakeSends);
    link->sealed = end == JoinDone;
    switch (end) {
    case JoinDone:
        return Connected;
    case JoinNotPrivate:
        return ConnectNotPrivate;
    case JoinWrongSecret:
        return ConnectWrongSecret;
    case JoinBusy:
        return ConnectBusy;
    case JoinLost:
        break;
    }
    return ConnectHandshakeFailed;
}

// Resolves `address` and connects to the first of its addresses that
// answers: the step that failed, or Connected with the connection in *s.
ConnectStep dialFirst(const char *address, ConnectOutcome *out, Socket *s, DialStop *stop) {
    // "HOST", "HOST:PORT", "[IPV6]:PORT", "[IPV6]" or a bare IPv6 address;
    // none: this machine. A bare host keeps the lobby port.
    HostPort where = {{}, LobbyPort};
    if (address && !hostportParse(address, std::strlen(address), LobbyPort, &where))
        return ConnectResolveFailed;
    addrinfo *list = nullptr;
    stop->resolving.store(1); // a stop from here on leaves a join's thread to end by itself
    bool resolved = !stop->asked.load() && resolveTcp(address ? where.host : nullptr,
                                                      portText(where.port).text, &list) == 0;
    stop->resolving.store(0);
    if (!resolved) return ConnectResolveFailed;
    const addrinfo *joined = nullptr;
    bool anySocket = false;
    *s = connectFirst(list, &joined, &anySocket, *stop);
    if (*s != InvalidSocket) resolveText(joined, out->address, sizeof out->address);
    resolveFree(list);
    if (*s == InvalidSocket) return anySocket || !list ? ConnectFailed : ConnectSocketFailed;
    return Connected;
}

} // namespace

ConnectOutcome clientDial(const char *address, const char *user, const JoinSecret &secret,
                          Dialled *dialled, DialStop *stop) {
    ConnectOutcome out = {Connected, OpenAllowed, false, 0, {}};
    Socket s = InvalidSocket;
    out.step = dialFirst(address, &out, &s, stop);
    if (out.step != Connected) return out;
    // Without no-delay the client only sends a little later, and without
    // keep-alive a vanished lobby host is only noticed once something is
    // sent to it: neither failure is worth giving the connection up.
    (void)sockSetNoDelay(s);
    (void)sockSetKeepAlive(s, KeepAliveIdleS, KeepAliveProbeS, KeepAliveProbes);

    RecordLink link;
    out.step = handshake(s, user, secret, &link, &out, *stop);
    // The pump must never block on the connection: one that stays blocking
    // is given up as a failed connect.
    if (out.step == Connected && !sockSetNonBlocking(s)) out.step = ConnectFailed;
    if (out.step == Connected && stop->asked.load()) out.step = ConnectFailed; // nobody takes it
    if (out.step != Connected) {
        linkFree(&link);
        sockClose(s);
        return out;
    }
    dialled->socket = s;
    linkMove(&dialled->link, &link);
    return out;
}

void clientResetLocked() {
    queueFree(&clientRole.queue);
    clientRole.reader.count = 0;
    clientRole.heard = false;
    clientRole.awaitingAdmission = false;
    linkFree(&clientRole.link);
}

void clientTakeLocked(Dialled *dialled) {
    clientRole.socket = dialled->socket;
    dialled->socket = InvalidSocket;
    linkMove(&clientRole.link, &dialled->link);
}

void clientAdopt(Dialled *dialled, const char *user) {
    setOwnName(user);
    {
        Guard g(&net.lock);
        clientResetLocked();
        clientTakeLocked(dialled);
    }
    setMode(Client);
}

ConnectOutcome clientConnect(const char *address, const char *user, const JoinSecret &secret,
                             JoinNoticeText started) {
    OpenRefusal refusal = openingRefusal(user);
    if (refusal != OpenAllowed) return ConnectOutcome{ConnectNotAllowed, refusal, false, 0, {}};
    if (started) return joinStart(address, user, secret, started);
    Dialled dialled;
    DialStop never; // this thread's own dial, which nobody stops
    ConnectOutcome out = clientDial(address, user, secret, &dialled, &never);
    if (out.step == Connected) clientAdopt(&dialled, user);
    return out;
}

void clientClose() {
    if (clientRole.socket != InvalidSocket) {
        linkLastWords(clientRole.socket, &clientRole.link, clientRole.queue);
        sockClose(clientRole.socket);
    }
    clientRole.socket = InvalidSocket;
    linkFree(&clientRole.link);
}

void clientForget() {
    queueFree(&clientRole.queue);
    clientRole.reader.count = 0;
    clientRole.awaitingAdmission = false;
}

void clientCheckInvariants() {
#ifdef LL_CHECKS
    const ByteQueue &s = clientRole.queue;
    LL_ASSERT(s.start + s.length <= s.capacity || (s.length == 0 && s.start == 0));
    LL_ASSERT(s.length < QueueCapacity);
    // A join under way is a client's, and has no connection yet; one that
    // waits for admission has its connection.
    LL_ASSERT(!clientRole.joining || (net.mode == Client && clientRole.socket == InvalidSocket));
    LL_ASSERT(!clientRole.awaitingAdmission || clientRole.socket != InvalidSocket);
#endif
}

} // namespace ll
