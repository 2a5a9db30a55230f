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

void updateMark(ClientRecord *r) {
    bool above = r->queue.length >= HighWaterMark;
    if (above == r->aboveMark) return;
    r->aboveMark = above;
    if (above) r->lastTakeMs = monotonicMs();
}

// Takes a sender off the list it waits on.
void stopWaiting(ClientRecord *w) {
    if (!w->waitList) return;
    for (ClientRecord **slot = w->waitList; *slot; slot = &(*slot)->nextWaiter) {
        if (*slot == w) {
            *slot = w->nextWaiter;
            break;
        }
    }
    w->waitList = nullptr;
    w->nextWaiter = nullptr;
}

void dropFromDue(ClientRecord *r) {
    if (!r->due) return;
    for (int32_t i = 0; i < net.dueCount; ++i) {
        if (net.due[i] == r) {
            net.due[i] = net.due[--net.dueCount];
            break;
        }
    }
    r->due = false;
}

void freeRecord(ClientRecord *r) {
    if (r->watched) pollerRemove(&net.poller, r->socket);
    sockClose(r->socket);
    frameReaderFree(&r->reader);
    queueFree(&r->queue);
    queueFree(&r->held);
    r->~ClientRecord();
    heapFree(r);
}

} // namespace

void makeDue(ClientRecord *r) {
    if (r->due) return;
    r->due = true;
    // During the walk, a record still ahead of it is serviced in this
    // update; one it has passed, in the next.
    if (!net.walking) {
        net.due[net.dueCount++] = r;
    } else if (r->order > net.walkAt) {
        int32_t i = net.dueCount++;
        while (i > 0 && net.due[(i - 1) / 2]->order > r->order) {
            net.due[i] = net.due[(i - 1) / 2];
            i = (i - 1) / 2;
        }
        net.due[i] = r;
    } else {
        net.later[net.laterCount++] = r;
    }
}

void markFailed(ClientRecord *r) {
    r->failed = 1;
    makeDue(r);
}

void wakeWaiters(ClientRecord **list, uint32_t queued) {
    ClientRecord **slot = list;
    while (ClientRecord *w = *slot) {
        if (queued + w->heldNeed <= RelayFrameRoom) {
            *slot = w->nextWaiter;
            w->waitList = nullptr;
            w->nextWaiter = nullptr;
            makeDue(w);
        } else {
            slot = &w->nextWaiter;
        }
    }
}

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
            stopWaiting(record);
            wakeWaiters(&record->waiters, 0); // their frames no longer wait for it
            dropFromDue(record);
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

uint8_t *queueReserve(ByteQueue *q, uint32_t n, uint32_t room) {
    if (q->length + n > room) return nullptr;
    if (q->start + q->length + n > q->capacity) {
        if (q->length + n <= q->capacity) {
            std::memmove(q->data, q->data + q->start, q->length);
        } else {
            uint32_t cap = q->capacity ? q->capacity : QueueFirstCapacity;
            while (cap < q->length + n) cap *= 2;
            uint8_t *grown = static_cast<uint8_t *>(heapAlloc(cap));
            if (q->length) std::memcpy(grown, q->data + q->start, q->length);
            heapFree(q->data);
            q->data = grown;
            q->capacity = cap;
        }
        q->start = 0;
    }
    uint8_t *at = q->data + q->start + q->length;
    q->length += n;
    return at;
}

void queueConsume(ByteQueue *q, uint32_t n) {
    LL_ASSERT(n <= q->length);
    q->start += n;
    q->length -= n;
    if (q->length == 0) {
        q->start = 0;
        queueTrim(q);
    }
}

void queueTrim(ByteQueue *q) {
    if (q->length == 0 && q->capacity > QueueCapacity) queueFree(q);
}

void queueFree(ByteQueue *q) {
    heapFree(q->data);
    *q = ByteQueue();
}

uint8_t *recordQueueReserve(ClientRecord *record, uint32_t n, uint32_t room) {
    uint8_t *at = queueReserve(&record->queue, n, room);
    if (!at) return nullptr;
    updateMark(record);
    makeDue(record);
    return at;
}

void recordQueueConsume(ClientRecord *record, uint32_t n) {
    queueConsume(&record->queue, n);
    if (record->aboveMark && n > 0) record->lastTakeMs = monotonicMs();
    updateMark(record);
    if (record->waiters) wakeWaiters(&record->waiters, record->queue.length);
}

void queueNotice(ClientRecord *to, uint8_t member, uint8_t kind, const char *name) {
    size_t len = std::strlen(name);
    uint8_t *at = recordQueueReserve(to, static_cast<uint32_t>(hostFrameSize(len)), RelayRoom);
    if (at)
        writeNotice(at, member, kind, name, len);
    else
        markFailed(to);
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
        bool work = q.length > 0 || r->failed || !r->watched || (r->held.length > 0 && !r->waitList);
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
// A connection's last words: its queued bytes go out as far as it takes them
// without waiting (what it does not take is dropped with the connection),
// then its sending side ends, so the peer reads them before the end.
void sayLastWords(Socket s, const ByteQueue &q) {
    const uint8_t *data = q.data + q.start;
    uint32_t length = q.length;
    while (length > 0) {
        int n = sockSend(s, data, static_cast<int>(length));
        if (n <= 0) break;
        data += n;
        length -= static_cast<uint32_t>(n);
    }
    sockFinish(s);
}

// Stops any admission, closes every connection and empties the inbox. Last
// words arrive: what is queued for a connection goes out as far as it takes
// it at once, and the connection ends in order after those bytes.
void endNetworking() {
    stopAdmission();
    Guard g(&net.lock);
    if (net.connSocket != InvalidSocket) {
        sayLastWords(net.connSocket, net.sendQueue);
        sockClose(net.connSocket);
    }
    net.connSocket = InvalidSocket;
    sockClose(net.listenSocket);
    net.listenSocket = InvalidSocket;
    for (ClientRecord *r = net.clients; r; r = r->next)
        if (!r->failed) sayLastWords(r->socket, r->queue);
    freeAllClients();
    pollerClose(&net.poller);
    inboxClear(&net.inbox);
}
} // namespace

bool lobbyStartup() { return platStartup() == 0; }

int32_t lobbyTerminate() {
    portmapStop();
    discoveryStop();
    endNetworking();
    return platCleanup();
}

void lobbyDisconnect() {
    portmapStop();
    discoveryStop();
    endNetworking();
    Guard g(&net.lock);
    net.searching = 0;
    queueFree(&net.sendQueue);
    net.clientReader.count = 0;
    net.nextId = 1;
    setMode(Idle);
}

OpenRefusal lobbyCreate(const char *user) {
    OpenRefusal refusal = openingRefusal(user);
    if (refusal != OpenAllowed) return refusal;
    setOwnName(user);
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
