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
// Everything here but the settling of a newcomer (under the lock) is the
// thread's own: the sockets of the newcomers and their handshakes.
#include "net/admission.h"

#include "net/clock.h"
#include "net/lobby.h"
#include "net/state.h"

#include "platform/heap.h"

#include <new>

namespace ll {

namespace {

static_assert(PrivateHandshakesAtOnce < PollerCapacity,
              "the door watches the listener and every handshake");

struct Newcomer {
    Socket socket;  // InvalidSocket: a free slot
    uint64_t since; // when it was accepted
    bool complete;  // its handshake is done: it waits for a search
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

// Frees a slot whose socket is closed or handed on.
void clearSlot(Newcomer *n) {
    handshakeWipe(&n->handshake);
    n->socket = InvalidSocket;
    n->complete = false;
}

void drop(Door *d, Newcomer *n) {
    if (!n->complete) pollerRemove(&d->poller, n->socket);
    sockClose(n->socket);
    clearSlot(n);
}

// A free slot; else the slot of the newcomer under way that has waited
// longest, one that has sent nothing yet first.
Newcomer *slotFor(Door *d) {
    Newcomer *oldest = nullptr, *oldestSilent = nullptr;
    for (Newcomer &n : d->slots) {
        if (n.socket == InvalidSocket) return &n;
        if (n.complete) continue;
        if (!oldest || n.since < oldest->since) oldest = &n;
        if (handshakeUntouched(&n.handshake) && (!oldestSilent || n.since < oldestSilent->since))
            oldestSilent = &n;
    }
    Newcomer *n = oldestSilent ? oldestSilent : oldest;
    if (n) drop(d, n);
    return n;
}

bool sendWhole(Socket s, const uint8_t *data, size_t length) {
    return sockSend(s, data, static_cast<int>(length)) == static_cast<int>(length);
}

// A new connection: the greeting goes out at once, unasked.
void welcome(Door *d, Socket c) {
    Newcomer *n = slotFor(d);
    if (!n || !sockSetNonBlocking(c) || !sendWhole(c, d->greeting, sizeof d->greeting)) {
        sockClose(c);
        return;
    }
    (void)sockSetNoDelay(c);
    (void)sockSetKeepAlive(c, KeepAliveIdleS, KeepAliveProbeS, KeepAliveProbes);
    handshakeHost(&n->handshake, d->secret);
    n->socket = c;
    n->since = nowMs();
    n->complete = false;
    if (!pollerAdd(&d->poller, c, n)) drop(d, n);
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
    if (step == HandshakeFailed) return drop(d, n);
    if (step == HandshakeDone) {
        // What it sends from now on is the relay's to read.
        pollerRemove(&d->poller, n->socket);
        n->complete = true;
    }
}

void expire(Door *d) {
    uint64_t now = nowMs();
    for (Newcomer &n : d->slots)
        if (n.socket != InvalidSocket && !n.complete && now - n.since >= HandshakeDeadlineMs)
            drop(d, &n);
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
        drop(d, n);
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
    for (Socket c; (c = admissionTakeHandedOver()) != InvalidSocket;) welcome(d, c);
    expire(d);
    return true;
}

} // namespace

void privateDoor(Socket listener, const LobbySecret &secret) {
    Door *d = heapNew<Door>();
    new (&d->poller) Poller();
    for (Newcomer &n : d->slots) n.socket = InvalidSocket;
    d->secret = secret;
    greetingWrite(secret.salt, d->greeting);
    bool open = sockSetNonBlocking(listener) && pollerAdd(&d->poller, listener, nullptr);
    while (open && !admissionStopAsked()) {
        open = serve(d, listener);
        Guard g(&net.lock);
        open = open && offer(d);
    }
    for (Newcomer &n : d->slots)
        if (n.socket != InvalidSocket) drop(d, &n);
    pollerClose(&d->poller);
    secretWipe(&d->secret);
    heapFree(d);
}

} // namespace ll
