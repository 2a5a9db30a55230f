// The lifecycle (lobby.h): starting and stopping networking, opening a
// lobby, the update that drives both roles, and the inbox's reading end.
#include "net/core/lobby.h"

#include "net/core/admission.h"
#include "net/core/client.h"
#include "net/outside/discovery.h"
#include "net/outside/portmap.h"
#include "net/core/relay.h"
#include "net/core/state.h"
#include "net/base/hostport.h"

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
    joinCollect(); // a join under way ends here, and posts nothing
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

// The relay server's thread's notices, the same way; `task` is net.turn.
void postRelayNotice(TurnTask *task, const char *text) {
    Guard g(&net.lock);
    if (task->stop.load()) return;
    inboxPushText(&net.inbox, 0, MsgRelay, text, std::strlen(text));
}

// A player who came through the relay goes to the lobby's door.
bool handOverPlayer(TurnTask *, Socket player, uint64_t source) {
    return admissionHandOver(player, source);
}

// Ends the router's and the relay server's threads. Both wait for their
// server at most about a second to undo what they asked for; the relay's
// starts its release before the router's is waited for.
void stopOutsideTasks() {
    if (net.turn.started) net.turn.stop.store(1);
    portmapStop(&portmapTask);
    turnStop(&net.turn);
}
} // namespace

RelayRefusal relayCheck(const RelayServer &relay) {
    HostPort parsed;
    if (!relay.server ||
        !hostportParse(relay.server, std::strlen(relay.server), TurnDefaultPort, &parsed))
        return RelayBadServer;
    if (relay.user && std::strlen(relay.user) > StunUserCapacity) return RelayUserTooLong;
    if (relay.password && std::strlen(relay.password) > StunUserCapacity)
        return RelayPasswordTooLong;
    return RelayAllowed;
}

void lobbyRelay(const RelayServer &relay) {
    TurnConfig config{relay.server, relay.user ? relay.user : "",
                      relay.password ? relay.password : ""};
    if (turnStart(&net.turn, config, postRelayNotice, handOverPlayer)) return;
    // No thread: no server asked, and the lobby works on without a relay.
    postRelayNotice(&net.turn, TurnNoRelay);
}

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
    stopOutsideTasks();
    discoveryClose(&discovery);
    endNetworking();
    return platCleanup();
}

void lobbyDisconnect() {
    stopOutsideTasks();
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
