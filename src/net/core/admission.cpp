// The admission's core (admission.h): the record, the search's calls from
// the host application, the thread and what its doors share.
#include "net/core/admission.h"

#include "net/base/clock.h"
#include "net/core/lobby.h"
#include "net/core/relay.h"
#include "net/core/state.h"

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

// Admits a newcomer whose handshake is complete (sealed with `keys` in a
// private lobby, else null; they move to the member's link): its record,
// the join notices both ways and its inbox entry appear together.
void admitMember(Socket c, const char *name, NoiseTransport *keys) {
    admission.nextId = nextFreeId();
    ClientRecord *rec = addClient(admission.nextId, name, c);
    if (keys) {
        rec->link.sealed = true;
        keyMove(&rec->link.keys, keys);
    }
    queueNotice(rec, HostId, MsgJoin, net.ownName);
    for (ClientRecord *m = relay.clients; m; m = m->next) {
        if (m == rec) continue;
        queueNotice(rec, m->id, MsgJoin, m->name);
        queueNotice(m, rec->id, MsgJoin, rec->name);
    }
    inboxPushText(&net.inbox, rec->id, MsgJoin, rec->name, std::strlen(rec->name));
}

// The port closes: the listening socket, and with it the connections
// handed over that wait, as its backlog would be.
void closeListenerLocked() {
    sockClose(admission.listenSocket);
    admission.listenSocket = InvalidSocket;
    admission.inGrace = false;
    for (int32_t i = 0; i < admission.handedOverCount; ++i)
        sockClose(admission.handedOver[i].socket);
    admission.handedOverCount = 0;
}

void acceptThread(void *) {
    Socket listener;
    bool listening;
    LobbySecret secret;
    {
        Guard g(&net.lock);
        listener = admission.listenSocket;
        listening = admission.listening;
        keyCopy(&secret, &net.secret);
    }
    if (listening && secret.on) privateDoor(listener, secret);
    if (listening && !secret.on) openDoor(listener);
    secretWipe(&secret);
    // The door has closed. A search still running ends as one whose
    // listener failed or was closed.
    Guard g(&net.lock);
    closeListenerLocked();
    if (admission.searching) admission.searchError = SearchListenFailed;
    admission.searching = 0;
}

// A search starts: the application that polls p2pIsSearching at once sees it
// running, and a p2pCancelSearch made at once holds.
void beginSearchLocked() {
    admission.searchError = SearchOk;
    admission.searching = 1;
    admission.cancelRequested = 0;
}

} // namespace

AdmissionTurn admissionTurn() {
    if (admission.searching) return TurnSearch;
    if (admission.inGrace && !admissionStopAsked() && nowMs() < admission.graceEnd)
        return TurnGrace;
    closeListenerLocked();
    return TurnOver;
}

bool admissionSettle(int32_t outcome, Socket c, const char *name, NoiseTransport *keys) {
    if (outcome == SearchOk && admissionStopAsked()) outcome = SearchHandshakeLost;
    if (outcome == SearchOk && !admission.cancelRequested && relay.clientCount >= MaxClients)
        outcome = SearchLobbyFull;
    bool admitted = outcome == SearchOk && !admission.cancelRequested;
    if (admitted) admitMember(c, name, keys);
    admission.inGrace = true;
    admission.graceEnd = nowMs() + SearchGraceMs;
    admission.searchError = outcome;
    admission.searching = 0;
    return admitted;
}

bool admissionHandOver(Socket s, uint64_t source) {
    Guard g(&net.lock);
    if (admission.listenSocket == InvalidSocket || admission.handedOverCount == HandOverBacklog)
        return false;
    admission.handedOver[admission.handedOverCount++] = HandedOver{s, source};
    return true;
}

HandedOver admissionTakeHandedOver() {
    Guard g(&net.lock);
    if (admission.handedOverCount == 0) return HandedOver{InvalidSocket, 0};
    HandedOver s = admission.handedOver[0];
    --admission.handedOverCount;
    for (int32_t i = 0; i < admission.handedOverCount; ++i)
        admission.handedOver[i] = admission.handedOver[i + 1];
    return s;
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

void admissionClose() { closeListenerLocked(); }

void admissionForget() {
    admission.searching = 0;
    admission.nextId = 1;
}

} // namespace ll
