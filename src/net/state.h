// The one process-wide networking state, and the record of one admitted
// client. Both the host's thread (every export) and the admission thread
// touch it; every shared field is read and written under `lock` only.
#pragma once

#include "lobbylink/lobbylink.h"
#include "net/inbox.h"
#include "net/protocol.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace ll {

enum NetMode { Idle = 0, Lobby = 1, Client = 2 };

// A client's send queue at the lobby host may hold this much of notices and
// relayed frames (p2pSend still counts against QueueCapacity).
const uint32_t RelayRoom = 4 * QueueCapacity;
// While any client's queue holds this much, the lobby host reads from no
// other client.
const uint32_t HighWaterMark = 2 * QueueCapacity;
// A client above the mark whose connection takes nothing for this long is
// dropped.
const uint64_t StallTimeoutMs = 10000;
// Longest frame the lobby host takes from a client, its 0 included: relayed,
// with the sender byte in front, it just fits a client's receive buffer.
const uint32_t MaxClientFrame = QueueCapacity - 1;
// Ids a lobby can hand out: 2..254 (0 ends frames, 1 is the lobby host, 255
// means everybody).
const int MaxClients = 253;

// Outgoing bytes of one client, oldest first at data[start].
struct ByteQueue {
    uint8_t *data;
    uint32_t start;
    uint32_t length;
    uint32_t capacity;
};

struct ClientRecord {
    uint8_t id;
    char name[HandshakeLimit]; // the whole handshake name, NUL-terminated
    Socket socket;             // non-blocking
    int32_t failed;
    FrameReader reader;        // the frame being assembled from this client
    ByteQueue queue;
    bool aboveMark;            // queue.length >= HighWaterMark
    uint64_t lastTakeMs;       // last time the connection took bytes while above the mark
    ClientRecord *next;
};

struct NetState {
    NetMode state;
    Socket listenSocket; // open from a search's bind to its end (under lock)
    Socket connSocket;
    uint8_t nextId;
    char ownName[HandshakeLimit];
    int32_t searching;
    int32_t cancelRequested;
    int32_t searchError;
    ClientRecord *clients;
    int32_t clientCount;
    Inbox inbox;
    uint8_t sendQueue[QueueCapacity]; // client role
    int32_t sendLength;
    FrameReader clientReader;          // client role: the frame being assembled
    void *hostCallbacks[9];

    // Guards every field above that the admission thread may touch.
    Mutex lock;
    // Admission thread bookkeeping (host's thread only, except searchStop).
    bool threadStarted;
    ThreadHandle acceptThread;
    bool listening;              // the search's socket listens (under lock)
    std::atomic<int> searchStop; // asks the running admission to end now
    int32_t clientsAboveMark;    // records with aboveMark set
    uint8_t scratch[QueueCapacity]; // one receive's worth, host's thread only
};

extern NetState net;

// Closes and frees every client record, silently.
void freeAllClients();
// Creates the record of an admitted client (name at most 63 characters, socket
// already non-blocking) and appends it at the end of `clients`.
ClientRecord *addClient(uint8_t id, const char *name, Socket socket);
// Unlinks, closes and frees one record; nothing when it is not in the list.
void removeClient(ClientRecord *record);
ClientRecord *findClientBySignedId(int32_t id);

// Room in a record's queue: reserves `n` bytes at its end and returns where to
// write them, or null when the queue cannot take them within `room` bytes.
uint8_t *recordQueueReserve(ClientRecord *record, uint32_t n, uint32_t room);
// Drops `n` sent bytes from the front of a record's queue.
void recordQueueConsume(ClientRecord *record, uint32_t n);
// Queues a notice (join or leave) for a record within the relay room; a
// record that cannot take it is marked failed.
void queueNotice(ClientRecord *to, uint8_t member, uint8_t kind, const char *name);

// The checks p2pCreateLobby and p2pConnect make before opening anything: the
// library must be idle and "user" a String of at most 63 characters. Returns
// the malloc'd name, or null after writing "error" ("already connected",
// "no user", "user too long") and then "result" = 0.
char *beginOpening(ArgNode *map);
// Sets this participant's name, announced to every newcomer.
void setOwnName(const char *user);

// The two halves of p2pUpdate; called with the lock held.
void hostPump();
void clientPump();

// Stops a running admission and waits for its thread to end. Call without
// holding the lock.
void stopAdmission();

} // namespace ll
