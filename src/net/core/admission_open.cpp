// An open lobby's door: one newcomer at a time, whose handshake is its name
// and a 0, read on the still blocking connection with a pause after every
// receive. Between searches the door takes nobody: newcomers wait in the
// listening socket's backlog (or among those handed over) for the next
// search.
#include "net/core/admission.h"

#include "net/base/clock.h"
#include "net/core/lobby.h"
#include "net/core/state.h"

#include <cstring>

namespace ll {

namespace {

// Waits until `s` is readable: 1 readable, -1 error, 0 asked to stop or the
// deadline (a nowMs time) passed.
int waitReadableOrStop(Socket s, uint64_t deadline) {
    for (;;) {
        if (admissionStopAsked() || nowMs() >= deadline) return 0;
        int r = sockWaitReadable(s, AdmissionWaitSliceMs);
        if (r != 0) return r;
    }
}

// The pause that follows each handshake receive; false when asked to stop.
bool handshakePause() {
    const uint64_t until = nowMs() + AdmissionHandshakePauseMs;
    while (nowMs() < until) {
        if (admissionStopAsked()) return false;
        clockNap(until, AdmissionWaitSliceMs);
    }
    return !admissionStopAsked();
}

// Reads the handshake into `buf` (64 bytes); SearchOk when its 0 byte came
// within HandshakeDeadlineMs of the accept.
int32_t readHandshake(Socket c, char *buf) {
    uint64_t deadline = nowMs() + HandshakeDeadlineMs;
    uint32_t held = 0;
    for (;;) {
        if (held == HandshakeLimit) return SearchHandshakeTooLong;
        if (waitReadableOrStop(c, deadline) <= 0) return SearchHandshakeLost;
        // The socket is still blocking and readable: IoAgain cannot happen,
        // and any outcome but bytes loses the handshake. The name is taken up
        // to its 0 and no further: what the client sent after it is its
        // first frames, which the pump receives once it is admitted.
        int n = sockPeek(c, buf + held, static_cast<int>(HandshakeLimit - held));
        if (n <= 0) return SearchHandshakeLost;
        const void *zero = std::memchr(buf + held, 0, static_cast<size_t>(n));
        bool complete = zero != nullptr;
        if (complete) n = static_cast<int>(static_cast<const char *>(zero) - (buf + held)) + 1;
        if (sockRecv(c, buf + held, n) != n) return SearchHandshakeLost;
        held += static_cast<uint32_t>(n);
        if (!handshakePause()) return SearchHandshakeLost;
        if (complete) return SearchOk;
    }
}

// The search's newcomer: the oldest one handed over (made blocking, or
// *blocking false), else the next to connect to the listener. InvalidSocket
// when a stop is asked or the listener failed.
Socket awaitNewcomer(Socket listener, bool *blocking) {
    *blocking = true;
    for (;;) {
        if (admissionStopAsked()) return InvalidSocket;
        Socket c = admissionTakeHandedOver().socket;
        if (c != InvalidSocket) {
            *blocking = sockSetBlocking(c);
            return c;
        }
        int r = sockWaitReadable(listener, AdmissionWaitSliceMs);
        if (r < 0) return InvalidSocket;
        if (r > 0) return sockAccept(listener);
    }
}

// Takes one newcomer and settles it; false when the listener failed.
bool takeOneConnection(Socket listener) {
    bool blocking = true;
    Socket c = awaitNewcomer(listener, &blocking);
    if (c == InvalidSocket) return false;

    char name[HandshakeLimit];
    int32_t outcome = blocking ? readHandshake(c, name) : SearchHandshakeLost;
    // The pump must never block on a member's socket: one that cannot be made
    // non-blocking is turned away as a lost handshake. Without no-delay the
    // member is only served a little later, and without keep-alive a vanished
    // member is only noticed once something is sent to it, so those two
    // failures are let pass.
    if (outcome == SearchOk) {
        (void)sockSetNoDelay(c);
        (void)sockSetKeepAlive(c, KeepAliveIdleS, KeepAliveProbeS, KeepAliveProbes);
        if (!sockSetNonBlocking(c)) outcome = SearchHandshakeLost;
    }
    Guard g(&net.lock);
    if (!admissionSettle(outcome, c, name, nullptr)) sockClose(c);
    return true;
}

// After a search that took a newcomer: true when the host application
// started the next search within the grace.
bool awaitNextSearch() {
    for (;;) {
        uint64_t until = 0;
        {
            Guard g(&net.lock);
            AdmissionTurn turn = admissionTurn();
            if (turn != TurnGrace) return turn == TurnSearch;
            until = admission.graceEnd;
        }
        clockNap(until, AdmissionWaitSliceMs);
    }
}

} // namespace

void openDoor(Socket listener) {
    while (takeOneConnection(listener) && awaitNextSearch()) {
    }
}

} // namespace ll
