// The lobby host's pump: at most one receive and one send per client per
// update, routing of every complete client frame, and the removal of clients
// whose connection failed, announced to everybody who remains. One readiness
// call per update tells which clients have something to receive (data, or a
// closed or reset connection); with the clients that have bytes queued, have
// failed, or hold a frame that may go now, they make the due list, and only
// those are serviced, in admission order: an idle member costs nothing.
//
// Flow control, per sender, follows the rule written out once in limits.h
// (beside RelayRoom): a frame that does not fit holds its sender alone,
// which waits on the list of whoever lacked room and is put back on the due
// list once its frame fits. The due list and the waiters' lists are kept
// here.
#include "net/core/relay.h"

#include "net/base/clock.h"
#include "net/core/state.h"

#include "platform/heap.h"

#include <cstring>
#include <new>

namespace ll {

// ---- The due list ----
// Unordered between updates; during the walk a heap by admission order
// (relay.walking), with what becomes due behind the walk's position in
// relay.later.

namespace {

// Places `x` at slot `i` of the due heap of `n` records, or below it where
// it comes later in admission order than a child.
void siftDown(ClientRecord **h, int32_t n, int32_t i, ClientRecord *x) {
    for (;;) {
        int32_t c = 2 * i + 1;
        if (c >= n) break;
        if (c + 1 < n && h[c + 1]->order < h[c]->order) ++c;
        if (x->order <= h[c]->order) break;
        h[i] = h[c];
        i = c;
    }
    h[i] = x;
}

// Adds `x` at the end of the due heap and moves it up to its place.
void siftUp(ClientRecord *x) {
    ClientRecord **h = relay.due;
    int32_t i = relay.dueCount++;
    while (i > 0 && h[(i - 1) / 2]->order > x->order) {
        h[i] = h[(i - 1) / 2];
        i = (i - 1) / 2;
    }
    h[i] = x;
}

// Takes the due record first in admission order off the heap.
ClientRecord *popDue() {
    ClientRecord **h = relay.due;
    ClientRecord *top = h[0];
    ClientRecord *last = h[--relay.dueCount];
    if (relay.dueCount > 0) siftDown(h, relay.dueCount, 0, last);
    top->due = false;
    return top;
}

void heapifyDue() {
    for (int32_t s = relay.dueCount / 2 - 1; s >= 0; --s)
        siftDown(relay.due, relay.dueCount, s, relay.due[s]);
}

void dropFromDue(ClientRecord *r) {
    if (!r->due) return;
    for (int32_t i = 0; i < relay.dueCount; ++i) {
        if (relay.due[i] == r) {
            relay.due[i] = relay.due[--relay.dueCount];
            break;
        }
    }
    r->due = false;
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

void updateMark(ClientRecord *r) {
    bool above = r->queue.length >= HighWaterMark;
    if (above == r->aboveMark) return;
    r->aboveMark = above;
    if (above) r->lastTakeMs = nowMs();
}

void makeDue(ClientRecord *r) {
    if (r->due) return;
    r->due = true;
    // During the walk, a record still ahead of it is serviced in this
    // update; one it has passed, in the next.
    if (!relay.walking)
        relay.due[relay.dueCount++] = r;
    else if (r->order > relay.walkAt)
        siftUp(r);
    else
        relay.later[relay.laterCount++] = r;
}

// Puts back on the due list every sender waiting on `*list` whose frame fits
// a queue holding `queued` bytes (0: all of them).
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

// Takes a record that is going off the relay's lists: the list it waits on
// and the due list; the senders waiting for its queue go on.
void relayForget(ClientRecord *record) {
    stopWaiting(record);
    wakeWaiters(&record->waiters, 0); // their frames no longer wait for it
    dropFromDue(record);
}

// Drops `n` sent bytes from the front of a record's queue.
void recordQueueConsume(ClientRecord *record, uint32_t n) {
    queueConsume(&record->queue, n);
    if (record->aboveMark && n > 0) record->lastTakeMs = nowMs();
    updateMark(record);
    if (record->waiters) wakeWaiters(&record->waiters, record->queue.length);
}

} // namespace

void markFailed(ClientRecord *r) {
    r->failed = 1;
    makeDue(r);
}

void relayInboxTaken() {
    if (relay.inboxWaiters && !inboxFull(&net.inbox)) wakeWaiters(&relay.inboxWaiters, 0);
}

// ---- A member's queue ----

uint8_t *recordQueueReserve(ClientRecord *record, uint32_t n, uint32_t room) {
    uint8_t *at = queueReserve(&record->queue, n, room);
    if (!at) return nullptr;
    updateMark(record);
    makeDue(record);
    return at;
}

void queueNotice(ClientRecord *to, uint8_t member, uint8_t kind, const char *name) {
    size_t len = std::strlen(name);
    uint8_t *at = recordQueueReserve(to, static_cast<uint32_t>(hostFrameSize(len)), RelayRoom);
    if (at)
        writeNotice(at, member, kind, name, len);
    else
        markFailed(to);
}

// ---- The client list ----

// Constant-initialised, like the shared state (state.cpp).
constexpr bool relayIsConstantInitialised() {
    RelayState probe{};
    return probe.clients == nullptr && probe.clientCount == 0;
}
static_assert(relayIsConstantInitialised(), "RelayState must be constant-initialised");

RelayState relay;

namespace {

void freeRecord(ClientRecord *r) {
    if (r->watched) pollerRemove(&relay.poller, r->socket);
    sockClose(r->socket);
    frameReaderFree(&r->reader);
    queueFree(&r->queue);
    queueFree(&r->held);
    linkFree(&r->link);
    r->~ClientRecord();
    heapFree(r);
}

} // namespace

ClientRecord *addClient(uint8_t id, const char *name, Socket socket) {
    ClientRecord *record = new (heapAlloc(sizeof(ClientRecord))) ClientRecord();
    record->id = id;
    std::memcpy(record->name, name, std::strlen(name) + 1);
    record->socket = socket;
    frameReaderInit(&record->reader, MaxClientFrame - 1);
    record->watched = pollerAdd(&relay.poller, socket, record);
    record->order = ++relay.admissions;
    ClientRecord **slot = &relay.clients;
    while (*slot) slot = &(*slot)->next;
    *slot = record;
    ++relay.clientCount;
    relay.byId[id] = record;
    if (!record->watched) makeDue(record); // tried on every update
    return record;
}

void removeClient(ClientRecord *record) {
    for (ClientRecord **slot = &relay.clients; *slot; slot = &(*slot)->next) {
        if (*slot == record) {
            *slot = record->next;
            relayForget(record);
            if (relay.byId[record->id] == record) relay.byId[record->id] = nullptr;
            freeRecord(record);
            --relay.clientCount;
            return;
        }
    }
}

ClientRecord *findClientBySignedId(int32_t id) {
    if (id < -128 || id > 127) return nullptr;
    return relay.byId[static_cast<uint8_t>(id)];
}

void relayClose() {
    for (ClientRecord *r = relay.clients; r; r = r->next)
        if (!r->failed) linkLastWords(r->socket, &r->link, r->queue);
    ClientRecord *r = relay.clients;
    while (r) {
        ClientRecord *next = r->next;
        freeRecord(r);
        r = next;
    }
    relay.clients = nullptr;
    relay.clientCount = 0;
    for (ClientRecord *&slot : relay.byId) slot = nullptr;
    relay.dueCount = 0;
    relay.laterCount = 0;
    relay.inboxWaiters = nullptr;
    pollerClose(&relay.poller);
}

// ---- Routing and the pump ----

namespace {

bool fits(const ClientRecord *r, uint32_t need) { return r->queue.length + need <= RelayFrameRoom; }

void relayTo(ClientRecord *r, uint8_t sender, const uint8_t *frame, size_t length) {
    uint8_t *at = recordQueueReserve(r, static_cast<uint32_t>(length + 1), RelayFrameRoom);
    at[0] = sender;
    std::memcpy(at + 1, frame, length);
}

// Holds `from` until the list's owner has room for `need` bytes; false.
bool waitOn(ClientRecord *from, ClientRecord **list, uint32_t need) {
    from->heldNeed = need;
    from->nextWaiter = *list;
    *list = from;
    from->waitList = list;
    return false;
}

// The one member a unicast frame goes to, or null. Failed members are
// removed at the end of this update: nothing goes to them.
ClientRecord *soleReceiver(const ClientRecord *from, uint8_t receiver) {
    ClientRecord *only = relay.byId[receiver];
    return only && only != from && !only->failed ? only : nullptr;
}

// A member the frame is addressed to that has no room for `need` bytes, or null.
ClientRecord *lacksRoom(const ClientRecord *from, uint8_t receiver, ClientRecord *only,
                        uint32_t need) {
    if (receiver != BroadcastId) return only && !fits(only, need) ? only : nullptr;
    for (ClientRecord *r = relay.clients; r; r = r->next)
        if (r != from && !r->failed && !fits(r, need)) return r;
    return nullptr;
}

// Delivers and relays one complete frame, or, when someone it is addressed
// to lacks room, holds its sender and returns false.
bool routeClientFrame(ClientRecord *from, const uint8_t *frame, size_t length) {
    // A frame too short for its header goes nowhere (with the 0 second, the
    // receiver would be 0, and no client has that id).
    FrameFields f;
    if (!readDataFrame(frame, length, &f)) return true;
    // A forged notice is dropped; its sender stays.
    if (isNoticeId(f.msgId)) return true;
    uint8_t receiver = f.receiver;
    uint32_t need = static_cast<uint32_t>(length + 1);
    bool toInbox = receiver == BroadcastId || receiver == HostId;
    if (toInbox && inboxFull(&net.inbox)) return waitOn(from, &relay.inboxWaiters, need);
    ClientRecord *only = receiver == BroadcastId ? nullptr : soleReceiver(from, receiver);
    if (ClientRecord *full = lacksRoom(from, receiver, only, need))
        return waitOn(from, &full->waiters, need);
    if (toInbox) inboxPushText(&net.inbox, from->id, f.msgId, f.text, f.textLength);
    if (receiver != BroadcastId) {
        if (only) relayTo(only, from->id, frame, length);
        return true;
    }
    for (ClientRecord *r = relay.clients; r; r = r->next)
        if (r != from && !r->failed) relayTo(r, from->id, frame, length);
    return true;
}

bool routeFrame(void *from, const uint8_t *frame, size_t length) {
    return routeClientFrame(static_cast<ClientRecord *>(from), frame, length);
}

// After a split of the sender's bytes: a bad or closed stream fails the
// sender; a frame that has to wait is kept with the bytes after it. A frame
// routed from the hold itself completed in place there, so it stays where
// it is.
void afterSplit(ClientRecord *rec, SplitEnd end, const SplitStop &stop, bool fromHeld) {
    if (end == SplitTooLong || end == SplitClosed) return markFailed(rec);
    if (end != SplitRefused) return;
    ByteQueue *h = &rec->held;
    uint32_t total = static_cast<uint32_t>(stop.length + stop.restLength);
    if (fromHeld) {
        h->start = static_cast<uint32_t>(stop.frame - h->data);
        h->length = total;
        return;
    }
    uint8_t *at = queueReserve(h, total, MaxClientFrame + QueueCapacity); // the hold is empty
    std::memcpy(at, stop.frame, stop.length);
    if (stop.restLength) std::memcpy(at + stop.length, stop.rest, stop.restLength);
}

// A held sender whose frame may fit now: routes what it holds, as far as it goes.
void resumeHeld(ClientRecord *rec) {
    ByteQueue *h = &rec->held;
    const uint8_t *in = h->data + h->start;
    size_t left = h->length;
    h->start = 0;
    h->length = 0;
    SplitStop stop;
    afterSplit(rec, splitFrames(&rec->reader, in, left, routeFrame, rec, &stop), stop, true);
    queueTrim(h);
}

void receiveFrom(ClientRecord *rec) {
    rec->readable = false;
    SplitStop stop;
    SplitEnd end = linkReceive(rec->socket, &rec->link, net.scratch, net.plain, QueueCapacity,
                               &rec->reader, routeFrame, rec, &stop);
    afterSplit(rec, end, stop, false);
}

void sendTo(ClientRecord *rec) {
    ByteQueue *q = &rec->queue;
    if (q->length == 0 && rec->link.out.length == 0) return;
    LinkSent sent = linkSend(rec->socket, &rec->link, q->data + q->start, q->length);
    if (sent.failed) return markFailed(rec);
    // The rest of a record going out counts as taking bytes too.
    if (sent.tookBytes && rec->aboveMark) rec->lastTakeMs = nowMs();
    if (sent.taken > 0) recordQueueConsume(rec, sent.taken);
}

void serviceClient(ClientRecord *rec) {
    if (rec->held.length > 0 && !rec->waitList) resumeHeld(rec);
    if (!rec->failed && rec->held.length == 0 && (rec->readable || !rec->watched)) receiveFrom(rec);
    if (rec->failed) return;
    sendTo(rec);
    if (!rec->failed && rec->aboveMark && nowMs() - rec->lastTakeMs >= StallTimeoutMs)
        markFailed(rec);
}

void announceLeave(ClientRecord *rec) {
    inboxPushText(&net.inbox, rec->id, MsgLeave, rec->name, std::strlen(rec->name));
    for (ClientRecord *r = relay.clients; r; r = r->next)
        if (r != rec) queueNotice(r, rec->id, MsgLeave, rec->name);
}

// Readable records become due; when the poller fails, every record is
// tried, as if all were readable.
void findReadable() {
    int n = pollerReadable(&relay.poller, relay.ready, PollerCapacity);
    if (n < 0) {
        for (ClientRecord *r = relay.clients; r; r = r->next) {
            r->readable = true;
            makeDue(r);
        }
        return;
    }
    for (int i = 0; i < n; ++i) {
        ClientRecord *r = static_cast<ClientRecord *>(relay.ready[i]);
        r->readable = true;
        // A held sender reads nothing: it is due again when its frame can go.
        if (r->held.length == 0) makeDue(r);
    }
}

// The removal walk: failed records, which are all due, in admission order;
// a notice that fails a member adds it to the walk.
void removeFailed() {
    for (;;) {
        ClientRecord *first = nullptr;
        for (int32_t i = 0; i < relay.dueCount; ++i) {
            ClientRecord *r = relay.due[i];
            if (r->failed && (!first || r->order < first->order)) first = r;
        }
        if (!first) return;
        announceLeave(first);
        removeClient(first);
    }
}

} // namespace

void hostPump() {
    if (!relay.clients) return;
    findReadable();
    // The servicing walk, in admission order; it stops at a record that was
    // already failed when reached, and the rest waits for the next update.
    heapifyDue();
    relay.walking = true;
    while (relay.dueCount > 0 && !relay.due[0]->failed) {
        ClientRecord *r = popDue();
        relay.walkAt = r->order;
        serviceClient(r);
        if (r->queue.length > 0 || r->link.out.length > 0 || !r->watched) makeDue(r);
    }
    relay.walking = false;
    relay.walkAt = 0;
    for (int32_t i = 0; i < relay.laterCount; ++i) relay.due[relay.dueCount++] = relay.later[i];
    relay.laterCount = 0;
    removeFailed();
}

void relayCheckInvariants() {
#ifdef LL_CHECKS
    int32_t count = 0, due = 0, ids = 0;
    for (const ClientRecord *r = relay.clients; r; r = r->next) {
        const ByteQueue &q = r->queue;
        ++count;
        due += r->due ? 1 : 0;
        LL_ASSERT(relay.byId[r->id] == r);
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
    for (const ClientRecord *w = relay.inboxWaiters; w; w = w->nextWaiter) {
        LL_ASSERT(w->waitList == &relay.inboxWaiters);
        LL_ASSERT(inboxFull(&net.inbox));
    }
    for (const ClientRecord *slot : relay.byId) ids += slot ? 1 : 0;
    LL_ASSERT(!relay.walking && relay.laterCount == 0);
    LL_ASSERT(due == relay.dueCount);
    for (int32_t i = 0; i < relay.dueCount; ++i) LL_ASSERT(relay.due[i]->due);
    LL_ASSERT(count == relay.clientCount && ids == count);
    LL_ASSERT(relay.clientCount <= MaxClients);
#endif
}

void memberKick(int32_t id) {
    if (net.mode != Lobby) return;
    Guard g(&net.lock);
    if (ClientRecord *r = findClientBySignedId(id)) {
        announceLeave(r);
        removeClient(r);
    }
}

int32_t memberCount() {
    Guard g(&net.lock);
    return relay.clientCount;
}

void memberName(int32_t id, char name[HandshakeLimit]) {
    name[0] = '\0';
    Guard g(&net.lock);
    if (ClientRecord *r = findClientBySignedId(id)) std::memcpy(name, r->name, HandshakeLimit);
}

} // namespace ll
