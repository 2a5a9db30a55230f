// The one process-wide networking state, and the record of one admitted
// client. Three threads touch it:
// - the host application's thread runs every export; fields marked "app"
//   are its alone, and it reads or writes those marked "lock" only while
//   holding `lock`;
// - the admission thread (admission.cpp), while a search runs, waits and
//   reads on sockets it alone owns, reads `searchStop`, and takes `lock` to
//   admit a client or end the search: it touches "lock" fields only;
// - the router thread (portmap.cpp), while a mapping is asked for, touches
//   nothing here but `portmap.stop` (read) and, through the notice callback
//   it is started with, the inbox under `lock`.
#pragma once

#include "lobbylink/lobbylink.h"
#include "net/bytequeue.h"
#include "net/clock.h"
#include "net/discovery.h"
#include "net/inbox.h"
#include "net/limits.h"
#include "net/lobby.h"
#include "net/portmap.h"
#include "net/protocol.h"
#include "net/handshake.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace ll {

enum NetMode { Idle = 0, Lobby = 1, Client = 2 };

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
    bool due = false;                   // on net.due (or net.later): the next walk services it
    ClientRecord *next = nullptr;
};

struct NetState {
    NetMode mode = Idle;                 // app; changed only by setMode
    Socket listenSocket = InvalidSocket; // lock: open from a search's bind to its end
    Socket connSocket = InvalidSocket;   // lock: the client role's connection
    uint8_t nextId = 1;                  // lock: the id handed out last
    char ownName[HandshakeLimit] = {};   // lock: our name, announced to newcomers
    int32_t searching = 0;               // lock: an admission runs
    int32_t cancelRequested = 0;         // lock: turn the next newcomer away
    int32_t searchError = SearchOk;      // lock: outcome of the last admission
    ClientRecord *clients = nullptr;     // lock: admitted clients, in admission order
    int32_t clientCount = 0;             // lock: records in `clients`
    ClientRecord *byId[256] = {};        // lock: the record of every id in use
    uint64_t admissions = 0;             // lock: order given to the last record added
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
    Inbox inbox = {};                     // lock: entries waiting for p2pRecv
    Poller poller;                        // lock: readiness of the clients' sockets
    ByteQueue sendQueue;                  // lock: client role, bytes for the lobby host;
                                          // holds less than QueueCapacity bytes
    FrameReader clientReader = {nullptr, 0, 0, QueueCapacity - 1}; // lock: client role
    RecordLink clientLink; // lock: client role, sealed in a private lobby
    LobbySecret secret;    // lock: a private lobby's salt and key (lobby host)

    Mutex lock = LL_MUTEX_INIT;          // guards every field marked "lock"
    bool threadStarted = false;          // app: acceptThread holds a thread to join
    ThreadHandle acceptThread = {};      // app
    bool listening = false;              // lock: the search's socket listens
    bool inGrace = false;                // lock: a search ended, its socket stays open for
                                         // SearchGraceMs and its thread takes up the next one
    std::atomic<int> searchStop{0};      // atomic: asks the running admission to end now
    uint8_t scratch[QueueCapacity] = {}; // app, under lock: one receive's worth
    uint8_t plain[QueueCapacity] = {};   // app, under lock: that receive's records, opened
    void *ready[PollerCapacity] = {};    // app, under lock: the poller's answer
    PortmapTask portmap;                 // app: the router thread's task (portmap.h)
    DiscoveryState discovery;            // app: LAN discovery (discovery.h)
};

static_assert(MaxClients <= PollerCapacity, "the poller must watch a full lobby");

extern NetState net;

// The one place where the mode changes.
void setMode(NetMode mode);

// Closes and frees every client record, silently.
void freeAllClients();
// Creates the record of an admitted client (name at most 63 characters, socket
// already non-blocking) and appends it at the end of `clients`.
ClientRecord *addClient(uint8_t id, const char *name, Socket socket);
// Unlinks, closes and frees one record; nothing when it is not in the list.
void removeClient(ClientRecord *record);
ClientRecord *findClientBySignedId(int32_t id);

// ---- The relay's scheduling and a member's queue (relay.cpp) ----
// Room in a record's queue: reserves `n` bytes at its end and returns where to
// write them, or null when the queue cannot take them within `room` bytes.
uint8_t *recordQueueReserve(ClientRecord *record, uint32_t n, uint32_t room);
// Drops `n` sent bytes from the front of a record's queue.
void recordQueueConsume(ClientRecord *record, uint32_t n);
// Marks a record failed: the next update (or this one's removal walk)
// announces and removes it.
void markFailed(ClientRecord *record);
// Puts a record on the due list, once.
void makeDue(ClientRecord *record);
// Takes a record that is going off the relay's lists: the list it waits on
// and the due list; the senders waiting for its queue go on.
void relayForget(ClientRecord *record);
// Puts back on the due list every sender waiting on `*list` whose frame fits
// a queue holding `queued` bytes (0: all of them).
void wakeWaiters(ClientRecord **list, uint32_t queued);
// Queues a notice (join or leave) for a record within the relay room; a
// record that cannot take it is marked failed.
void queueNotice(ClientRecord *to, uint8_t member, uint8_t kind, const char *name);

// The checks before opening a lobby or a connection: idle, and a user name
// of at most MaxNameLength characters.
OpenRefusal openingRefusal(const char *user);
// Sets this participant's name, announced to every newcomer.
void setOwnName(const char *user);

// The two halves of an update; called with the lock held.
void hostPump();
void clientPump();

// Stops a running admission and waits for its thread to end. Call without
// holding the lock.
void stopAdmission();

// The admission thread's shared steps (admission.cpp). With the lock held:
// admits a newcomer whose handshake is complete (sealed with `keys` in a
// private lobby, else null), and closes the search's listening socket.
void admitMember(Socket c, const char *name, const NoiseTransport *keys);
void closeListenerLocked();
// Ends a search that took a connection: its outcome is set and its socket
// stays open for the grace, where the next search takes it up.
void endSearchInGraceLocked(int32_t outcome);
bool admissionStopAsked();
// A private lobby's admission (admission_private.cpp): serves several
// handshakes at once on `listener` until it is stopped or the grace after a
// search ends without a new one.
void privateAdmission(Socket listener, const LobbySecret &secret);

// Checks the invariants the comments above state (client count, ids, queue
// accounting, held senders and their lists, the due list, spare inbox
// entries); with the lock held. Compiled out outside the checked builds.
void checkInvariants();

} // namespace ll
