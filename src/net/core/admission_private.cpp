// A private lobby's admission: the admission thread serves many handshakes
// at once, each with its own deadline, so that a silent or slow stranger
// delays nobody. A connection that fails its handshake (no secret, a wrong
// one, garbage, a replayed first message, silence) is closed without a
// slot, a notice or an inbox entry, and the search goes on: a stranger
// cannot end it. A newcomer whose handshake completes is admitted by the
// running search, which then ends; during the grace that follows, the
// handshakes under way go on, and the next search admits the first that
// has completed.
//
// The door under a flood: when every slot is taken, a newcomer makes room by
// displacing one that has proven less. Proof is what the handshake shows,
// never whether bytes came: a player who knows the secret is silent while
// it stretches the secret, and a stranger can send a byte. So the newcomers
// whose message 1 has not opened go first, and among them those of the
// source (an address; an IPv6 /64) that holds the most handshakes, then the
// one that has waited longest: strangers from many addresses displace each
// other, not the player, who holds one. A source also holds at most
// PrivateHandshakesPerSource handshakes; beyond them its newcomers displace
// its own. Everyone let go but for the secret hears LetGo (handshake.h).
//
// Everything here but the settling of a newcomer (under the lock) is the
// thread's own: the sockets of the newcomers and their handshakes.
#include "net/core/admission.h"

#include "net/base/clock.h"
#include "net/core/lobby.h"
#include "net/core/state.h"

#include "platform/heap.h"

#include <new>

namespace ll {

namespace {

static_assert(PrivateHandshakesAtOnce < PollerCapacity,
              "the door watches the listener and every handshake");

struct Newcomer {
    Socket socket;   // InvalidSocket: a free slot
    uint64_t since;  // when it was accepted
    uint64_t source; // where it comes from (sockPeerSource)
    bool complete;   // its handshake is done: it waits for a search
    SecureHandshake handshake;
};

struct Door {
    Newcomer slots[PrivateHandshakesAtOnce];
    // The listener, tagged null, and the newcomers under way, tagged with
    // their slot.
    Poller poller;
    LobbySecret secret;
    uint8_t greeting[GreetingLength];
};

bool sendWhole(Socket s, const uint8_t *data, size_t length) {
    return sockSend(s, data, static_cast<int>(length)) == static_cast<int>(length);
}

// Frees a slot whose socket is closed or handed on.
void clearSlot(Newcomer *n) {
    handshakeWipe(&n->handshake);
    n->socket = InvalidSocket;
    n->complete = false;
}

// Closes a newcomer's connection and frees its slot. `letGo`: it is let go
// for another reason than the secret and hears LetGo first; else (the
// handshake failed) it hears nothing.
void drop(Door *d, Newcomer *n, bool letGo) {
    if (!n->complete) pollerRemove(&d->poller, n->socket);
    if (letGo) {
        (void)sendWhole(n->socket, LetGo, sizeof LetGo); // its last word: a failure changes nothing
        sockFinish(n->socket);
    }
    sockClose(n->socket);
    clearSlot(n);
}

bool underWay(const Newcomer &n) { return n.socket != InvalidSocket && !n.complete; }

int handshakesFrom(const Door *d, uint64_t source) {
    int held = 0;
    for (const Newcomer &n : d->slots) held += underWay(n) && n.source == source ? 1 : 0;
    return held;
}

// Whether `a` is to be displaced before `b` (both under way; `heldA` and
// `heldB` the handshakes of their sources).
bool weaker(const Newcomer &a, int heldA, const Newcomer &b, int heldB) {
    bool provenA = handshakeProven(&a.handshake), provenB = handshakeProven(&b.handshake);
    if (provenA != provenB) return provenB;
    if (!provenA && heldA != heldB) return heldA > heldB;
    return a.since < b.since;
}

// The newcomer under way to displace first (of `source` alone when `only`);
// null when there is none.
Newcomer *weakest(Door *d, bool only, uint64_t source) {
    Newcomer *pick = nullptr;
    int pickHeld = 0;
    for (Newcomer &n : d->slots) {
        if (!underWay(n) || (only && n.source != source)) continue;
        int held = only ? 0 : handshakesFrom(d, n.source);
        if (!pick || weaker(n, held, *pick, pickHeld)) {
            pick = &n;
            pickHeld = held;
        }
    }
    return pick;
}

// The slot for a newcomer from `source`: a free one, unless the source holds
// its share of handshakes already; else one made free by displacing the
// weakest newcomer (of that source, when it holds its share). Null when
// every slot holds a newcomer whose handshake is complete. Newcomers whose
// source the system cannot tell (0) are not held to one share together.
Newcomer *slotFor(Door *d, uint64_t source) {
    bool full = source != 0 && handshakesFrom(d, source) >= PrivateHandshakesPerSource;
    if (!full)
        for (Newcomer &n : d->slots)
            if (n.socket == InvalidSocket) return &n;
    Newcomer *n = weakest(d, full, source);
    if (n) drop(d, n, true);
    return n;
}

// A new connection: the greeting goes out at once, unasked; when no slot
// can be had, LetGo with it.
void welcome(Door *d, Socket c, uint64_t source = 0) {
    if (source == 0) source = sockPeerSource(c);
    Newcomer *n = slotFor(d, source);
    if (!sockSetNonBlocking(c) || !sendWhole(c, d->greeting, sizeof d->greeting) || !n) {
        if (!n) (void)sendWhole(c, LetGo, sizeof LetGo);
        sockFinish(c);
        sockClose(c);
        return;
    }
    (void)sockSetNoDelay(c);
    (void)sockSetKeepAlive(c, KeepAliveIdleS, KeepAliveProbeS, KeepAliveProbes);
    handshakeHost(&n->handshake, d->secret);
    n->socket = c;
    n->since = nowMs();
    n->source = source;
    n->complete = false;
    if (!pollerAdd(&d->poller, c, n)) drop(d, n, true);
}

// The connections waiting on the (non-blocking) listener, a burst at a
// time, so that a flood is taken as fast as it comes. A listener that
// reports connections but gives none (out of descriptors) is given a
// pause instead of a spin.
void welcomeAll(Door *d, Socket listener) {
    int taken = 0;
    for (Socket c; taken < PrivateAcceptBurst && (c = sockAccept(listener)) != InvalidSocket;
         ++taken)
        welcome(d, c);
    if (taken == 0) sleepMs(AdmissionWaitSliceMs);
}

// Reads what the newcomer's handshake asks for next, no more.
void progress(Door *d, Newcomer *n) {
    int m = sockRecv(n->socket, handshakeInto(&n->handshake),
                     static_cast<int>(handshakeWant(&n->handshake)));
    if (m == IoAgain) return;
    HandshakeStep step =
        m > 0 ? handshakeTake(&n->handshake, static_cast<uint32_t>(m)) : HandshakeFailed;
    if (step == HandshakeSend && !sendWhole(n->socket, n->handshake.out, n->handshake.outLength))
        step = HandshakeFailed;
    if (step == HandshakeFailed) return drop(d, n, false);
    if (step == HandshakeDone) {
        // What it sends from now on is the relay's to read.
        pollerRemove(&d->poller, n->socket);
        n->complete = true;
    }
}

void expire(Door *d) {
    uint64_t now = nowMs();
    for (Newcomer &n : d->slots)
        if (underWay(n) && now - n.since >= HandshakeDeadlineMs) drop(d, &n, true);
}

Newcomer *firstComplete(Door *d) {
    Newcomer *first = nullptr;
    for (Newcomer &n : d->slots)
        if (n.socket != InvalidSocket && n.complete && (!first || n.since < first->since))
            first = &n;
    return first;
}

// With the lock held: the running search settles the first newcomer that
// completed, and ends; false once the door closes.
bool offer(Door *d) {
    AdmissionTurn turn = admissionTurn();
    if (turn != TurnSearch) return turn == TurnGrace;
    Newcomer *n = firstComplete(d);
    if (!n) return true;
    if (admissionSettle(SearchOk, n->socket, n->handshake.name, &n->handshake.keys))
        clearSlot(n); // its socket is the relay's now
    else
        drop(d, n, true);
    return true;
}

// One wait for readiness and what it found; false when the wait failed.
bool serve(Door *d, Socket listener) {
    void *ready[PrivateHandshakesAtOnce + 1];
    int n = pollerWait(&d->poller, ready, PrivateHandshakesAtOnce + 1, AdmissionWaitSliceMs);
    if (n < 0) return false;
    // The newcomers first: those that hung up or failed free their slots, and
    // those that sent their first message are no longer taken for silent,
    // before new connections may displace anyone.
    bool knocking = false;
    for (int i = 0; i < n; ++i) {
        Newcomer *c = static_cast<Newcomer *>(ready[i]);
        if (!c)
            knocking = true;
        else if (c->socket != InvalidSocket && !c->complete)
            progress(d, c);
    }
    if (knocking) welcomeAll(d, listener);
    for (HandedOver h; (h = admissionTakeHandedOver()).socket != InvalidSocket;)
        welcome(d, h.socket, h.source);
    expire(d);
    return true;
}

} // namespace

void privateDoor(Socket listener, const LobbySecret &secret) {
    Door *d = heapNew<Door>();
    new (&d->poller) Poller();
    for (Newcomer &n : d->slots) n.socket = InvalidSocket;
    keyCopy(&d->secret, &secret);
    greetingWrite(secret.salt, d->greeting);
    bool open = sockSetNonBlocking(listener) && pollerAdd(&d->poller, listener, nullptr);
    while (open && !admissionStopAsked()) {
        open = serve(d, listener);
        Guard g(&net.lock);
        open = open && offer(d);
    }
    for (Newcomer &n : d->slots)
        if (n.socket != InvalidSocket) drop(d, &n, true);
    pollerClose(&d->poller);
    secretWipe(&d->secret);
    heapFree(d);
}

} // namespace ll
