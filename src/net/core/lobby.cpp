// The lifecycle (lobby.h): starting and stopping networking, opening a
// lobby, the update that drives both roles, and the inbox's reading end.
#include "net/core/lobby.h"

#include "net/core/admission.h"
#include "net/core/client.h"
#include "net/outside/discovery.h"
#include "net/outside/portmap.h"
#include "net/core/relay.h"
#include "net/core/state.h"

#include "platform/heap.h"

#include <cstring>

namespace ll {

namespace {

// The rooms that only the lifecycle drives, constant-initialised like the
// shared state (state.cpp). app: the router thread's task (portmap.h).
PortmapTask portmapTask;
// app: LAN discovery (discovery.h).
DiscoveryState discovery;
constexpr bool tasksAreConstantInitialised() {
    PortmapTask portmap{};
    DiscoveryState lan{};
    return !portmap.started && lan.announcer == InvalidSocket;
}
static_assert(tasksAreConstantInitialised(), "the lifecycle's rooms must be constant-initialised");

// Stops any admission, closes every connection and empties the inbox. Last
// words arrive: what is queued for a connection goes out as far as it takes
// it at once, and the connection ends in order after those bytes.
void endNetworking() {
    stopAdmission();
    Guard g(&net.lock);
    clientClose();
    admissionClose();
    relayClose();
    secretWipe(&net.secret);
    inboxClear(&net.inbox);
}

// The router thread's notices: they enter the inbox under the lock, and are
// dropped once the lobby is closing (its inbox goes with it).
void postPortmapNotice(const char *text) {
    Guard g(&net.lock);
    if (portmapTask.stop.load()) return;
    inboxPushText(&net.inbox, 0, MsgPortmap, text, std::strlen(text));
}
} // namespace

void lobbyMapPort() {
    if (portmapStart(&portmapTask, postPortmapNotice)) return;
    // No thread, no router asked: the lobby works on without the mapping.
    postPortmapNotice(PortmapNoRouter);
}

namespace {
// LAN discovery's notices: the update pumps it with the lock held.
bool postLobbyFound(const char *text, size_t length) {
    inboxPushText(&net.inbox, 0, MsgLobbyFound, text, length);
    return !inboxFull(&net.inbox);
}
} // namespace

void announceStart() {
    if (net.mode == Lobby) announceOpen(&discovery);
}

FindStart lobbiesFind() {
    if (net.mode != Idle) return FindNotIdle;
    return listingOpen(&discovery) ? FindStarted : FindNoSocket;
}

void listingStop() { listingClose(&discovery); }

bool lobbyStartup() { return platStartup() == 0; }

int32_t lobbyTerminate() {
    portmapStop(&portmapTask);
    discoveryClose(&discovery);
    endNetworking();
    return platCleanup();
}

void lobbyDisconnect() {
    portmapStop(&portmapTask);
    discoveryClose(&discovery);
    endNetworking();
    Guard g(&net.lock);
    admissionForget();
    clientForget();
    setMode(Idle);
}

void secretRelease(const JoinSecret &secret) {
    char *text = const_cast<char *>(secret.text);
    if (text) noiseWipe(text, secret.length);
    heapFree(text);
}

OpenRefusal lobbyCreate(const char *user, const JoinSecret &secret) {
    OpenRefusal refusal = openingRefusal(user);
    if (refusal != OpenAllowed) return refusal;
    LobbySecret made;
    if (secret.length > 0) secretMake(&made, secret.text, secret.length); // the one stretch
    setOwnName(user);
    {
        Guard g(&net.lock); // the admission thread reads it
        keyMove(&net.secret, &made);
    }
    setMode(Lobby);
    return OpenAllowed;
}

void lobbyUpdate() {
    Guard g(&net.lock);
    hostPump();
    clientPump();
    DiscoveryFacts facts = {relay.clientCount + 1, net.secret.on, net.ownName,
                            inboxFull(&net.inbox)};
    discoveryPump(&discovery, facts, postLobbyFound);
    checkInvariants();
}

void checkInvariants() {
    relayCheckInvariants();
    clientCheckInvariants();
#ifdef LL_CHECKS
    uint32_t spares = 0;
    for (const InboxEntry *e = net.inbox.spares; e; e = e->next) ++spares;
    LL_ASSERT(spares == net.inbox.spareCount && spares <= SpareEntries);
#endif
}

bool inboxTake(InboxMessage *out) {
    Guard g(&net.lock);
    Inbox *box = &net.inbox;
    inboxRecycle(box, box->taken);
    box->taken = inboxPop(box);
    relayInboxTaken();
    const InboxEntry *e = box->taken;
    if (!e) return false;
    *out = InboxMessage{e->sender, e->msgId, e->text, e->length};
    return true;
}

} // namespace ll
