// The networking state, the client list, and the lifecycle: starting and
// stopping networking, opening a lobby, and the update that drives both roles.
#include "net/state.h"

#include "platform/heap.h"

#include <cstring>
#include <new>

namespace ll {

// The state is constant-initialised: no constructor runs when the library is
// loaded, so no host call can come before it. Checked once, here.
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
    // give the connection up, so it leaves nothing open and the host may
    // connect again at once. A connection that is *lost* keeps the mode: the
    // host learns of it from the notice in the inbox, and until it calls
    // p2pDisconnect, opening again answers "already connected", so the notice
    // cannot be missed or mixed up with a new connection's traffic.
    // So a role is only ever taken from Idle, and left only for Idle.
    LL_ASSERT(mode == Idle || net.mode == Idle);
    net.mode = mode;
}

namespace {

void updateMark(ClientRecord *r) {
    bool above = r->queue.length >= HighWaterMark;
    if (above == r->aboveMark) return;
    r->aboveMark = above;
    if (above) {
        ++net.clientsAboveMark;
        r->lastTakeMs = monotonicMs();
    } else {
        --net.clientsAboveMark;
    }
}

void freeRecord(ClientRecord *r) {
    if (r->watched) pollerRemove(&net.poller, r->socket);
    sockClose(r->socket);
    if (r->aboveMark) --net.clientsAboveMark;
    frameReaderFree(&r->reader);
    heapFree(r->queue.data);
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
    net.clientsAboveMark = 0;
}

ClientRecord *addClient(uint8_t id, const char *name, Socket socket) {
    ClientRecord *record = new (heapAlloc(sizeof(ClientRecord))) ClientRecord();
    record->id = id;
    std::memcpy(record->name, name, std::strlen(name) + 1);
    record->socket = socket;
    frameReaderInit(&record->reader, MaxClientFrame - 1);
    record->watched = pollerAdd(&net.poller, socket, record);
    ClientRecord **slot = &net.clients;
    while (*slot) slot = &(*slot)->next;
    *slot = record;
    ++net.clientCount;
    return record;
}

void removeClient(ClientRecord *record) {
    for (ClientRecord **slot = &net.clients; *slot; slot = &(*slot)->next) {
        if (*slot == record) {
            *slot = record->next;
            freeRecord(record);
            --net.clientCount;
            return;
        }
    }
}

ClientRecord *findClientBySignedId(int32_t id) {
    for (ClientRecord *r = net.clients; r; r = r->next)
        if (static_cast<int8_t>(r->id) == id) return r;
    return nullptr;
}

uint8_t *recordQueueReserve(ClientRecord *record, uint32_t n, uint32_t room) {
    ByteQueue *q = &record->queue;
    if (q->length + n > room) return nullptr;
    if (q->start + q->length + n > q->capacity) {
        if (q->length + n <= q->capacity) {
            std::memmove(q->data, q->data + q->start, q->length);
        } else {
            uint32_t cap = q->capacity ? q->capacity : 4096;
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
    updateMark(record);
    return at;
}

void recordQueueConsume(ClientRecord *record, uint32_t n) {
    ByteQueue *q = &record->queue;
    LL_ASSERT(n <= q->length);
    q->start += n;
    q->length -= n;
    if (q->length == 0) {
        q->start = 0;
        // Give back what a burst grew beyond the everyday size.
        if (q->capacity > QueueCapacity) {
            heapFree(q->data);
            q->data = nullptr;
            q->capacity = 0;
        }
    }
    if (record->aboveMark && n > 0) record->lastTakeMs = monotonicMs();
    updateMark(record);
}

void queueNotice(ClientRecord *to, uint8_t member, uint8_t kind, const char *name) {
    size_t len = std::strlen(name);
    uint8_t *at = recordQueueReserve(to, static_cast<uint32_t>(hostFrameSize(len)), RelayRoom);
    if (at)
        writeNotice(at, member, kind, name, len);
    else
        to->failed = 1;
}

void checkInvariants() {
#ifdef LL_CHECKS
    int32_t count = 0, above = 0;
    for (const ClientRecord *r = net.clients; r; r = r->next) {
        const ByteQueue &q = r->queue;
        ++count;
        above += r->aboveMark ? 1 : 0;
        LL_ASSERT(q.start + q.length <= q.capacity || (q.length == 0 && q.start == 0));
        LL_ASSERT(q.length <= RelayRoom);
        LL_ASSERT(r->aboveMark == (q.length >= HighWaterMark));
        LL_ASSERT(r->reader.count <= r->reader.limit);
    }
    LL_ASSERT(count == net.clientCount);
    LL_ASSERT(above == net.clientsAboveMark);
    LL_ASSERT(net.clientCount <= MaxClients);
    LL_ASSERT(net.sendLength >= 0 && static_cast<uint32_t>(net.sendLength) < QueueCapacity);
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
// Offers `length` queued bytes to a connection for as long as it takes some
// without waiting; what it does not take is dropped with the connection.
void sendWhatFits(Socket s, const uint8_t *data, uint32_t length) {
    while (length > 0) {
        int n = sockSend(s, data, static_cast<int>(length));
        if (n <= 0) return;
        data += n;
        length -= static_cast<uint32_t>(n);
    }
}

// Stops any admission, closes every connection and empties the inbox. Last
// words arrive: what is queued for a connection goes out as far as it takes
// it at once, and the connection ends in order after those bytes.
void endNetworking() {
    stopAdmission();
    Guard g(&net.lock);
    if (net.connSocket != InvalidSocket) {
        sendWhatFits(net.connSocket, net.sendQueue, static_cast<uint32_t>(net.sendLength));
        sockFinish(net.connSocket);
        sockClose(net.connSocket);
    }
    net.connSocket = InvalidSocket;
    sockClose(net.listenSocket);
    net.listenSocket = InvalidSocket;
    for (ClientRecord *r = net.clients; r; r = r->next) {
        if (r->failed) continue;
        sendWhatFits(r->socket, r->queue.data + r->queue.start, r->queue.length);
        sockFinish(r->socket);
    }
    freeAllClients();
    pollerClose(&net.poller);
    inboxClear(&net.inbox);
}
} // namespace

bool lobbyStartup() { return platStartup() == 0; }

int32_t lobbyTerminate() {
    portmapStop();
    endNetworking();
    return platCleanup();
}

void lobbyDisconnect() {
    portmapStop();
    endNetworking();
    Guard g(&net.lock);
    net.searching = 0;
    net.sendLength = 0;
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
    checkInvariants();
}

InboxEntry *inboxTake() {
    Guard g(&net.lock);
    return inboxPop(&net.inbox);
}

} // namespace ll
