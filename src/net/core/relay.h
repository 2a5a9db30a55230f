// The relay: the lobby host's admitted clients and its pump (relay.cpp),
// which moves their traffic on the host application's thread inside
// p2pUpdate. The record below is the relay's own; every field is guarded by
// the state lock (net.lock, state.h). The admission thread adds clients
// under that lock (addClient); nothing else of it is touched elsewhere.
#pragma once

#include "net/base/bytequeue.h"
#include "net/base/limits.h"
#include "net/secure/link.h"
#include "net/base/protocol.h"
#include "platform/platform.h"

#include <cstdint>

namespace ll {

// One admitted client (lobby host). Created by the admission thread under the
// lock, then touched under the lock only. A sender whose frame cannot go yet
// (the flow-control rule, limits.h) keeps it in `held` and waits on one list
// (`waitList`): a member's `waiters` or the inbox's.
struct ClientRecord {
    uint8_t id = 0;
    char name[HandshakeLimit] = {}; // the whole handshake name, NUL-terminated
    Socket socket = InvalidSocket;  // non-blocking, no-delay
    int32_t failed = 0;             // to be announced and removed by the pump (set by markFailed)
    FrameReader reader = {};        // the frame being assembled from this client
    ByteQueue queue;                // bytes waiting to go to this client
    RecordLink link;                // sealed records in a private lobby
    bool aboveMark = false;         // queue.length >= HighWaterMark
    bool watched = false;           // the poller reports this socket's readiness
    bool readable = false;          // the poller found it readable and it has not been read since
    uint64_t lastTakeMs = 0;        // last time the connection took bytes while above the mark
    uint64_t order = 0;             // admission sequence: the pump services in this order
    ByteQueue held;                 // received bytes not yet routed, from the frame that waits
    uint32_t heldNeed = 0;          // queue bytes the waiting frame needs at its blocker
    ClientRecord **waitList = nullptr;  // the list this sender waits on, or null
    ClientRecord *nextWaiter = nullptr; // next sender on that list
    ClientRecord *waiters = nullptr;    // senders waiting for this queue to drain
    bool due = false;                   // on relay.due (or relay.later): the next walk services it
    ClientRecord *next = nullptr;
};

struct RelayState {
    ClientRecord *clients = nullptr; // lock: admitted clients, in admission order
    int32_t clientCount = 0;         // lock: records in `clients`
    ClientRecord *byId[256] = {};    // lock: the record of every id in use
    uint64_t admissions = 0;         // lock: order given to the last record added
    // The records an update has something to do for (readable, bytes queued,
    // failed, a held frame that may go now, not watched by the poller): only
    // these are walked, so idle members cost nothing. Unordered between
    // updates; during the walk a heap by order, and what becomes due behind
    // the walk's position waits in `later` for the next update.
    ClientRecord *due[MaxClients] = {};   // lock
    int32_t dueCount = 0;                 // lock
    ClientRecord *later[MaxClients] = {}; // lock
    int32_t laterCount = 0;               // lock
    bool walking = false;                 // lock: the pump's walk runs
    uint64_t walkAt = 0;                  // lock: order of the record being serviced
    ClientRecord *inboxWaiters = nullptr; // lock: senders waiting for the inbox to take more
    Poller poller;                        // lock: readiness of the clients' sockets
    void *ready[PollerCapacity] = {};     // app, under lock: the poller's answer
};

static_assert(MaxClients <= PollerCapacity, "the poller must watch a full lobby");

extern RelayState relay;

// ---- The client list (all with the lock held) ----
// Creates the record of an admitted client (name at most 63 characters, socket
// already non-blocking) and appends it at the end of `clients`.
ClientRecord *addClient(uint8_t id, const char *name, Socket socket);
// Unlinks, closes and frees one record; nothing when it is not in the list.
void removeClient(ClientRecord *record);
ClientRecord *findClientBySignedId(int32_t id);
// The lobby closes: every member's last words go out (linkLastWords), then
// every record is closed and freed, and the poller with them.
void relayClose();

// ---- Scheduling and a member's queue ----
// Room in a record's queue: reserves `n` bytes at its end and returns where to
// write them, or null when the queue cannot take them within `room` bytes.
uint8_t *recordQueueReserve(ClientRecord *record, uint32_t n, uint32_t room);
// Marks a record failed: the next update (or this one's removal walk)
// announces and removes it.
void markFailed(ClientRecord *record);
// Queues a notice (join or leave) for a record within the relay room; a
// record that cannot take it is marked failed.
void queueNotice(ClientRecord *to, uint8_t member, uint8_t kind, const char *name);
// The inbox took entries: senders waiting for it go on once it has room.
void relayInboxTaken();

// The lobby host's half of an update; with the lock held.
void hostPump();
// Checks the relay's stated invariants (client count, ids, queue
// accounting, held senders and their lists, the due list); with the lock
// held. Compiled out outside the checked builds.
void relayCheckInvariants();

} // namespace ll
