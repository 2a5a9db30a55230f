// The networking state, the client list, and the lifecycle: starting and
// stopping networking, opening a lobby, and the update that drives both roles.
#include "net/state.h"

#include "platform/heap.h"

#include <cstring>
#include <new>

namespace ll {

// The state is constant-initialised: no constructor runs when the library is
// loaded, so no call of the host application can come before it. Checked once, here.
constexpr bool stateIsConstantInitialised() {
    NetState probe{};
    return probe.mode == Idle && probe.nextId == 1;
}
static_assert(stateIsConstantInitialised(), "NetState must be constant-initialised");

NetState net;

void setMode(NetMode mode) {
    // Idle -> Lobby (lobbyCreate), Idle -> Client (clientConnect), any ->
    // Idle (lobbyDisconnect), and Client -> Idle when a message does not fit
    // the client role's queue: an overflow is the library's own decision to
    // give the connection up, so it leaves nothing open and the host
    // application may connect again at once. A connection that is *lost*
    // keeps the mode: the application learns of it from the notice in the
    // inbox, and until it calls p2pDisconnect, opening again answers "already
    // connected", so the notice cannot be missed or mixed up with a new
    // connection's traffic.
    // So a role is only ever taken from Idle, and left only for Idle.
    LL_ASSERT(mode == Idle || net.mode == Idle);
    net.mode = mode;
}

namespace {

void freeRecord(ClientRecord *r) {
    if (r->watched) pollerRemove(&net.poller, r->socket);
    sockClose(r->socket);
    frameReaderFree(&r->reader);
    queueFree(&r->queue);
    queueFree(&r->held);
    linkFree(&r->link);
    r->~ClientRecord();
    heapFree(r);
}

} // namespace

void freeAllClients() {
    ClientRecord *r = net.clients;
    while (r) {
        ClientRecord *next = r->next;
        freeRecord(r);
        r = next;
    }
    net.clients = nullptr;
    net.clientCount = 0;
    for (ClientRecord *&slot : net.byId) slot = nullptr;
    net.dueCount = 0;
    net.laterCount = 0;
    net.inboxWaiters = nullptr;
}

ClientRecord *addClient(uint8_t id, const char *name, Socket socket) {
    ClientRecord *record = new (heapAlloc(sizeof(ClientRecord))) ClientRecord();
    record->id = id;
    std::memcpy(record->name, name, std::strlen(name) + 1);
    record->socket = socket;
    frameReaderInit(&record->reader, MaxClientFrame - 1);
    record->watched = pollerAdd(&net.poller, socket, record);
    record->order = ++net.admissions;
    ClientRecord **slot = &net.clients;
    while (*slot) slot = &(*slot)->next;
    *slot = record;
    ++net.clientCount;
    net.byId[id] = record;
    if (!record->watched) makeDue(record); // tried on every update
    return record;
}

void removeClient(ClientRecord *record) {
    for (ClientRecord **slot = &net.clients; *slot; slot = &(*slot)->next) {
        if (*slot == record) {
            *slot = record->next;
            relayForget(record);
            if (net.byId[record->id] == record) net.byId[record->id] = nullptr;
            freeRecord(record);
            --net.clientCount;
            return;
        }
    }
}

ClientRecord *findClientBySignedId(int32_t id) {
    if (id < -128 || id > 127) return nullptr;
    return net.byId[static_cast<uint8_t>(id)];
}

void checkInvariants() {
#ifdef LL_CHECKS
    int32_t count = 0, due = 0, ids = 0;
    for (const ClientRecord *r = net.clients; r; r = r->next) {
        const ByteQueue &q = r->queue;
        ++count;
        due += r->due ? 1 : 0;
        LL_ASSERT(net.byId[r->id] == r);
        LL_ASSERT(q.start + q.length <= q.capacity || (q.length == 0 && q.start == 0));
        LL_ASSERT(q.length <= RelayRoom);
        LL_ASSERT(r->aboveMark == (q.length >= HighWaterMark));
        LL_ASSERT(r->reader.count <= r->reader.limit);
        // Something to do puts a record on the due list.
        bool work =
            q.length > 0 || r->failed || !r->watched || (r->held.length > 0 && !r->waitList);
        LL_ASSERT(!work || r->due);
        // A held sender keeps its frame and what came after it, the reader
        // nothing; it waits on the list of what lacks room, and nowhere else.
        const ByteQueue &h = r->held;
        LL_ASSERT(h.length == 0 || (h.start + h.length <= h.capacity && r->reader.count == 0));
        LL_ASSERT(h.length <= MaxClientFrame + QueueCapacity);
        LL_ASSERT(!r->waitList || h.length > 0);
        // Every waiter waits on a list it belongs to, for room it lacks.
        for (const ClientRecord *w = r->waiters; w; w = w->nextWaiter) {
            LL_ASSERT(w->waitList == &r->waiters);
            LL_ASSERT(q.length + w->heldNeed > RelayFrameRoom);
        }
    }
    for (const ClientRecord *w = net.inboxWaiters; w; w = w->nextWaiter) {
        LL_ASSERT(w->waitList == &net.inboxWaiters);
        LL_ASSERT(inboxFull(&net.inbox));
    }
    uint32_t spares = 0;
    for (const InboxEntry *e = net.inbox.spares; e; e = e->next) ++spares;
    LL_ASSERT(spares == net.inbox.spareCount && spares <= SpareEntries);
    for (const ClientRecord *slot : net.byId) ids += slot ? 1 : 0;
    LL_ASSERT(!net.walking && net.laterCount == 0);
    LL_ASSERT(due == net.dueCount);
    for (int32_t i = 0; i < net.dueCount; ++i) LL_ASSERT(net.due[i]->due);
    LL_ASSERT(count == net.clientCount && ids == count);
    LL_ASSERT(net.clientCount <= MaxClients);
    const ByteQueue &s = net.sendQueue;
    LL_ASSERT(s.start + s.length <= s.capacity || (s.length == 0 && s.start == 0));
    LL_ASSERT(s.length < QueueCapacity);
#endif
}

void stopAdmission() {
    if (!net.threadStarted) return;
    net.searchStop.store(1);
    threadJoin(net.acceptThread);
    net.threadStarted = false;
    net.searchStop.store(0);
}

OpenRefusal openingRefusal(const char *user) {
    if (net.mode != Idle) return OpenAlreadyConnected;
    if (!user) return OpenNoUser;
    if (std::strlen(user) > MaxNameLength) return OpenUserTooLong;
    return OpenAllowed;
}

void setOwnName(const char *user) {
    Guard g(&net.lock); // the admission thread reads ownName
    std::memcpy(net.ownName, user, std::strlen(user) + 1);
}

namespace {
// Stops any admission, closes every connection and empties the inbox. Last
// words arrive: what is queued for a connection goes out as far as it takes
// it at once, and the connection ends in order after those bytes.
void endNetworking() {
    stopAdmission();
    Guard g(&net.lock);
    if (net.connSocket != InvalidSocket) {
        linkLastWords(net.connSocket, &net.clientLink, net.sendQueue);
        sockClose(net.connSocket);
    }
    net.connSocket = InvalidSocket;
    sockClose(net.listenSocket);
    net.listenSocket = InvalidSocket;
    for (ClientRecord *r = net.clients; r; r = r->next)
        if (!r->failed) linkLastWords(r->socket, &r->link, r->queue);
    freeAllClients();
    linkFree(&net.clientLink);
    secretWipe(&net.secret);
    pollerClose(&net.poller);
    inboxClear(&net.inbox);
}
} // namespace

namespace {
// The router thread's notices: they enter the inbox under the lock, and are
// dropped once the lobby is closing (its inbox goes with it).
void postPortmapNotice(const char *text) {
    Guard g(&net.lock);
    if (net.portmap.stop.load()) return;
    inboxPushText(&net.inbox, 0, MsgPortmap, text, std::strlen(text));
}
} // namespace

void lobbyMapPort() {
    if (portmapStart(&net.portmap, postPortmapNotice)) return;
    // No thread, no router asked: the lobby works on without the mapping.
    postPortmapNotice(PortmapNoRouter);
}

bool lobbyStartup() { return platStartup() == 0; }

int32_t lobbyTerminate() {
    portmapStop(&net.portmap);
    discoveryStop();
    endNetworking();
    return platCleanup();
}

void lobbyDisconnect() {
    portmapStop(&net.portmap);
    discoveryStop();
    endNetworking();
    Guard g(&net.lock);
    net.searching = 0;
    queueFree(&net.sendQueue);
    net.clientReader.count = 0;
    net.nextId = 1;
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
        net.secret = made;
    }
    secretWipe(&made);
    setMode(Lobby);
    return OpenAllowed;
}

void lobbyUpdate() {
    Guard g(&net.lock);
    hostPump();
    clientPump();
    discoveryPump();
    checkInvariants();
}

bool inboxTake(InboxMessage *out) {
    Guard g(&net.lock);
    Inbox *box = &net.inbox;
    inboxRecycle(box, box->taken);
    box->taken = inboxPop(box);
    // Senders whose frames wait for the inbox may go on once it has room.
    if (net.inboxWaiters && !inboxFull(box)) wakeWaiters(&net.inboxWaiters, 0);
    const InboxEntry *e = box->taken;
    if (!e) return false;
    *out = InboxMessage{e->sender, e->msgId, e->text, e->length};
    return true;
}

} // namespace ll
