// The lobby host's pump: at most one receive and one send per client per
// update, routing of every complete client frame, and the removal of clients
// whose connection failed, announced to everybody who remains. One readiness
// call per update tells which clients have something to receive (data, or a
// closed or reset connection); only those are received from, in list order,
// so an idle member costs no system call.
//
// Flow control: a client's queue takes notices and relayed frames up to
// RelayRoom bytes. While any client's queue holds HighWaterMark bytes or more
// the lobby host reads from no other client: their bytes wait in TCP and
// their own queues fill, so their p2pBuffer slows them down, instead of a
// slow receiver being overrun. A receive takes no more than ReceiveBudget
// less what the client's frame reader already holds, so what it relays always
// fits a queue below the mark (limits.h). A client that stays above the mark
// while its connection takes nothing for StallTimeoutMs is dropped. While the
// inbox is full the lobby host reads from no client at all.
#include "net/state.h"

#include <cstring>

namespace ll {

namespace {

void routeClientFrame(ClientRecord *from, const uint8_t *frame, size_t length) {
    // A frame whose 0 byte comes first has no header: it goes nowhere. With
    // the 0 second, the receiver is 0 and no client has that id.
    if (length < 2) return;
    uint8_t receiver = frame[1];
    if (receiver == BroadcastId || receiver == HostId)
        inboxPushText(&net.inbox, from->id, frame[0], reinterpret_cast<const char *>(frame + 2),
                      length - 3);
    for (ClientRecord *r = net.clients; r; r = r->next) {
        if (r == from || (receiver != BroadcastId && r->id != receiver)) continue;
        uint8_t *at = recordQueueReserve(r, static_cast<uint32_t>(length + 1), RelayRoom);
        if (!at) {
            r->failed = 1;
            continue;
        }
        at[0] = from->id;
        std::memcpy(at + 1, frame, length);
    }
}

void receiveFrom(ClientRecord *rec) {
    uint32_t budget = ReceiveBudget - rec->reader.count;
    if (budget > QueueCapacity) budget = QueueCapacity;
    int n = sockRecv(rec->socket, net.scratch, static_cast<int>(budget));
    if (n == IoAgain) return;
    if (n <= 0) { // closed or failed
        rec->failed = 1;
        return;
    }
    const uint8_t *in = net.scratch;
    size_t left = static_cast<size_t>(n);
    for (;;) {
        const uint8_t *frame = nullptr;
        size_t length = 0;
        FrameStatus st = frameReaderNext(&rec->reader, &in, &left, &frame, &length);
        if (st == FrameNone) return;
        if (st == FrameTooLong) {
            rec->failed = 1;
            return;
        }
        routeClientFrame(rec, frame, length);
    }
}

void sendTo(ClientRecord *rec) {
    ByteQueue *q = &rec->queue;
    if (q->length == 0) return;
    int m = sockSend(rec->socket, q->data + q->start, static_cast<int>(q->length));
    if (m > 0)
        recordQueueConsume(rec, static_cast<uint32_t>(m));
    else if (m != IoAgain)
        rec->failed = 1;
}

void serviceClient(ClientRecord *rec) {
    if (rec->failed) return;
    int othersAbove = net.clientsAboveMark - (rec->aboveMark ? 1 : 0);
    bool ready = rec->readable || !rec->watched;
    rec->readable = false;
    if (ready && othersAbove == 0 && !inboxFull(&net.inbox)) receiveFrom(rec);
    if (rec->failed) return;
    sendTo(rec);
    if (!rec->failed && rec->aboveMark && monotonicMs() - rec->lastTakeMs >= StallTimeoutMs)
        rec->failed = 1;
}

void announceLeave(ClientRecord *rec) {
    inboxPushText(&net.inbox, rec->id, MsgLeave, rec->name, std::strlen(rec->name));
    for (ClientRecord *r = net.clients; r; r = r->next)
        if (r != rec) queueNotice(r, rec->id, MsgLeave, rec->name);
}

ClientRecord *firstFailed() {
    for (ClientRecord *r = net.clients; r; r = r->next)
        if (r->failed) return r;
    return nullptr;
}

} // namespace

namespace {
// Marks the records whose sockets are readable now; when the poller fails,
// every record is tried, as if all were.
void findReadable() {
    int n = pollerReadable(&net.poller, net.ready, PollerCapacity);
    if (n < 0) {
        for (ClientRecord *r = net.clients; r; r = r->next) r->readable = true;
        return;
    }
    for (int i = 0; i < n; ++i) static_cast<ClientRecord *>(net.ready[i])->readable = true;
}
} // namespace

void hostPump() {
    if (!net.clients) return;
    findReadable();
    for (ClientRecord *r = net.clients; r && !r->failed; r = r->next) serviceClient(r);
    while (ClientRecord *gone = firstFailed()) {
        announceLeave(gone);
        removeClient(gone);
    }
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
    return net.clientCount;
}

void memberName(int32_t id, char name[HandshakeLimit]) {
    name[0] = '\0';
    Guard g(&net.lock);
    if (ClientRecord *r = findClientBySignedId(id)) std::memcpy(name, r->name, HandshakeLimit);
}

} // namespace ll
