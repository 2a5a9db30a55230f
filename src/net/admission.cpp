// Admission: the lobby host takes one client per search. p2pSearchClient binds
// and listens on the lobby port (IPv6 and IPv4) and starts the admission
// thread, which waits for one connection, reads its handshake (the user name)
// and hands the new client to the host application's thread.
//
// Hand-over: the thread does all its waiting and reading without the state
// lock, on sockets it alone owns. It takes the lock only to admit (record,
// join notices and inbox entry appear together, the socket already
// non-blocking) and to end the search.
//
// Grace: a search that took a connection ends with its listening socket
// still open, and its thread waits SearchGraceMs for the next search, which
// takes the next waiting connection from the same socket. Players who join
// at the same moment are thus admitted one per search instead of being
// reset. Without a new search the thread closes the socket and ends; a
// search that failed to listen or accept closes it at once. Its waits are
// sliced so that p2pDisconnect and p2pTerminate can stop it and wait for it:
// no admission, and no grace, outlives them.
#include "net/admission.h"

#include "net/clock.h"
#include "net/lobby.h"
#include "net/relay.h"
#include "net/state.h"

#include <cstring>

namespace ll {

// Constant-initialised, like the shared state (state.cpp).
constexpr bool admissionIsConstantInitialised() {
    AdmissionState probe{};
    return probe.nextId == 1 && probe.listenSocket == InvalidSocket;
}
static_assert(admissionIsConstantInitialised(), "AdmissionState must be constant-initialised");

AdmissionState admission;

bool admissionStopAsked() { return admission.searchStop.load() != 0; }

namespace {

bool stopAsked() { return admissionStopAsked(); }

const uint64_t NoDeadline = ~static_cast<uint64_t>(0);

// Waits until `s` is readable: 1 readable, -1 error, 0 asked to stop or the
// deadline (a nowMs time) passed.
int waitReadableOrStop(Socket s, uint64_t deadline) {
    for (;;) {
        if (stopAsked() || nowMs() >= deadline) return 0;
        int r = sockWaitReadable(s, AdmissionWaitSliceMs);
        if (r != 0) return r;
    }
}

// The pause that follows each handshake receive; false when asked to stop.
bool handshakePause() {
    const uint64_t until = nowMs() + AdmissionHandshakePauseMs;
    while (nowMs() < until) {
        if (stopAsked()) return false;
        clockNap(until, AdmissionWaitSliceMs);
    }
    return !stopAsked();
}

// The next free id after nextId: 0, HostId, BroadcastId and ids in use are
// skipped. Called with fewer than MaxClients present.
uint8_t nextFreeId() {
    uint8_t id = admission.nextId;
    for (;;) {
        ++id;
        if (id == 0 || id == HostId || id == BroadcastId) continue;
        bool taken = false;
        for (ClientRecord *r = relay.clients; r && !taken; r = r->next) taken = r->id == id;
        if (!taken) return id;
    }
}

} // namespace

void admitMember(Socket c, const char *name, const NoiseTransport *keys) {
    admission.nextId = nextFreeId();
    ClientRecord *rec = addClient(admission.nextId, name, c);
    if (keys) {
        rec->link.sealed = true;
        rec->link.keys = *keys;
    }
    queueNotice(rec, HostId, MsgJoin, net.ownName);
    for (ClientRecord *m = relay.clients; m; m = m->next) {
        if (m == rec) continue;
        queueNotice(rec, m->id, MsgJoin, m->name);
        queueNotice(m, rec->id, MsgJoin, rec->name);
    }
    inboxPushText(&net.inbox, rec->id, MsgJoin, rec->name, std::strlen(rec->name));
}

void endSearchInGraceLocked(int32_t outcome) {
    admission.inGrace = true;
    admission.searchError = outcome;
    admission.searching = 0;
}

void closeListenerLocked() {
    sockClose(admission.listenSocket);
    admission.listenSocket = InvalidSocket;
    admission.inGrace = false;
}

namespace {

// Ends a search whose socket failed: the port is released before the outcome
// and `searching` become visible.
void endSearch(int32_t outcome) {
    Guard g(&net.lock);
    closeListenerLocked();
    admission.searchError = outcome;
    admission.searching = 0;
}

// After a search that took a connection (lock not held): true when the host
// application started the next search within the grace, which this thread
// then runs on the same socket; otherwise the socket is closed.
bool awaitNextSearch() {
    const uint64_t deadline = nowMs() + SearchGraceMs;
    for (;;) {
        {
            Guard g(&net.lock);
            if (admission.searching) return true;
            if (stopAsked() || nowMs() >= deadline) {
                closeListenerLocked();
                return false;
            }
        }
        clockNap(deadline, AdmissionWaitSliceMs);
    }
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

// Takes one connection from the listener and admits it or turns it away;
// the search then ends with the socket kept open for the grace. False when
// the socket failed and the search ended with it closed.
bool takeOneConnection(Socket listener) {
    if (waitReadableOrStop(listener, NoDeadline) <= 0) return endSearch(SearchListenFailed), false;
    Socket c = sockAccept(listener);
    if (c == InvalidSocket) return endSearch(SearchListenFailed), false;

    char name[HandshakeLimit];
    int32_t outcome = readHandshake(c, name);
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
    if (outcome == SearchOk && stopAsked()) outcome = SearchHandshakeLost;
    if (outcome == SearchOk && !admission.cancelRequested && relay.clientCount >= MaxClients)
        outcome = SearchLobbyFull;
    if (outcome == SearchOk && !admission.cancelRequested)
        admitMember(c, name, nullptr);
    else
        sockClose(c);
    endSearchInGraceLocked(outcome);
    return true;
}

void acceptThread(void *) {
    Socket listener;
    bool listening;
    LobbySecret secret;
    {
        Guard g(&net.lock);
        listener = admission.listenSocket;
        listening = admission.listening;
        secret = net.secret;
    }
    if (!listening) return endSearch(SearchListenFailed);
    if (secret.on) {
        privateAdmission(listener, secret);
        secretWipe(&secret);
        return;
    }
    while (takeOneConnection(listener) && awaitNextSearch()) {
    }
}

} // namespace

// A search starts: the application that polls p2pIsSearching at once sees it
// running, and a p2pCancelSearch made at once holds.
void beginSearchLocked() {
    admission.searchError = SearchOk;
    admission.searching = 1;
    admission.cancelRequested = 0;
}

SearchStart searchStart() {
    {
        Guard g(&net.lock);
        if (admission.searching) return SearchAlreadyRunning;
        // Within the last search's grace its thread takes this one up, on
        // the socket where the next players may already wait.
        if (admission.inGrace) {
            admission.inGrace = false;
            beginSearchLocked();
            return SearchStarted;
        }
    }
    // The last search has ended; collect its thread before starting another.
    if (admission.threadStarted) {
        threadJoin(admission.acceptThread);
        admission.threadStarted = false;
    }
    Guard g(&net.lock);
    admission.searchError = SearchOk;
    // IPv6 and IPv4 players alike, on one socket where the machine has IPv6.
    Socket s = sockOpenListener(LobbyPort);
    if (s == InvalidSocket) {
        admission.listenSocket = InvalidSocket;
        return SearchPortTaken;
    }
    admission.listenSocket = s;
    // Listen before answering, so that a client may connect as soon as the
    // search is reported started; a failure still ends the search on the
    // admission thread, as a failed wait for a connection would.
    admission.listening = sockListen(s);
    beginSearchLocked();
    if (!threadStart(&admission.acceptThread, acceptThread, nullptr)) {
        sockClose(s);
        admission.listenSocket = InvalidSocket;
        admission.searching = 0;
        return SearchThreadFailed;
    }
    admission.threadStarted = true;
    return SearchStarted;
}

int32_t searchRunning() {
    Guard g(&net.lock);
    return admission.searching;
}

int32_t searchOutcome() {
    Guard g(&net.lock);
    return admission.searchError;
}

void searchSetCancelled(bool cancelled) {
    Guard g(&net.lock);
    admission.cancelRequested = cancelled ? 1 : 0;
}

void stopAdmission() {
    if (!admission.threadStarted) return;
    admission.searchStop.store(1);
    threadJoin(admission.acceptThread);
    admission.threadStarted = false;
    admission.searchStop.store(0);
}

void admissionClose() {
    sockClose(admission.listenSocket);
    admission.listenSocket = InvalidSocket;
}

void admissionForget() {
    admission.searching = 0;
    admission.nextId = 1;
}

} // namespace ll
