// The networking state, the client list, and the calls that start and stop
// networking and open a lobby.
#include "net/state.h"

#include "hostapi/argmap.h"

#include <cstdlib>
#include <cstring>

namespace ll {

NetState net = {
    Idle, InvalidSocket, InvalidSocket, 1, {}, 0, 0, 0, nullptr, 0, {nullptr, nullptr, 0}, {}, 0,
    {nullptr, 0, 0, QueueCapacity - 1}, {}, LL_MUTEX_INIT, false, {}, false, {0}, 0, {}};

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
    sockClose(r->socket);
    if (r->aboveMark) --net.clientsAboveMark;
    frameReaderFree(&r->reader);
    std::free(r->queue.data);
    std::free(r);
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
    ClientRecord *record = static_cast<ClientRecord *>(std::calloc(1, sizeof(ClientRecord)));
    record->id = id;
    std::memcpy(record->name, name, std::strlen(name) + 1);
    record->socket = socket;
    frameReaderInit(&record->reader, MaxClientFrame - 1);
    record->next = nullptr;
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
            uint8_t *grown = static_cast<uint8_t *>(std::malloc(cap));
            if (!grown) return nullptr;
            if (q->length) std::memcpy(grown, q->data + q->start, q->length);
            std::free(q->data);
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
    q->start += n;
    q->length -= n;
    if (q->length == 0) {
        q->start = 0;
        // Give back what a burst grew beyond the everyday size.
        if (q->capacity > QueueCapacity) {
            std::free(q->data);
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

void stopAdmission() {
    if (!net.threadStarted) return;
    net.searchStop.store(1);
    threadJoin(net.acceptThread);
    net.threadStarted = false;
    net.searchStop.store(0);
}

char *beginOpening(ArgNode *map) {
    const char *error = nullptr;
    char *user = nullptr;
    if (net.state != Idle) {
        error = "already connected";
    } else {
        user = mapGetString(map, "user");
        if (!user)
            error = "no user";
        else if (std::strlen(user) > MaxNameLength)
            error = "user too long";
    }
    if (!error) return user;
    std::free(user);
    writeString(map, "error", error);
    writeInt(map, "result", 0);
    return nullptr;
}

void setOwnName(const char *user) {
    Guard g(&net.lock); // the admission thread reads ownName
    std::memcpy(net.ownName, user, std::strlen(user) + 1);
}

namespace {
// Stops any admission, closes every connection and empties the inbox.
void endNetworking() {
    stopAdmission();
    Guard g(&net.lock);
    sockClose(net.connSocket);
    net.connSocket = InvalidSocket;
    sockClose(net.listenSocket);
    net.listenSocket = InvalidSocket;
    freeAllClients();
    inboxClear(&net.inbox);
}
} // namespace

} // namespace ll

using namespace ll;

extern "C" int32_t p2pInit(ArgNode *map) {
    if (platStartup() != 0) {
        writeString(map, "error", "WSAStartup");
        writeInt(map, "result", 0);
        return 0;
    }
    writeInt(map, "result", 1);
    return 1;
}

extern "C" int32_t p2pTerminate(ArgNode *) {
    endNetworking();
    return platCleanup();
}

#ifndef _WIN32
// The same function under a second name (the Windows build aliases it in its
// module definition file).
extern "C" int32_t nlTerminate(ArgNode *map) __attribute__((alias("p2pTerminate")));
#endif

extern "C" int32_t p2pDisconnect(ArgNode *) {
    endNetworking();
    Guard g(&net.lock);
    net.searching = 0;
    net.sendLength = 0;
    net.clientReader.count = 0;
    net.state = Idle;
    net.nextId = 1;
    return 0;
}

extern "C" int32_t p2pCreateLobby(ArgNode *map) {
    char *user = beginOpening(map);
    if (!user) return 0;
    setOwnName(user);
    std::free(user);
    net.state = Lobby;
    writeInt(map, "result", 1);
    return 1;
}
