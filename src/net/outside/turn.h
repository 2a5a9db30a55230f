// Hosting through a TURN relay over TCP (RFC 6062), for a lobby host that
// nobody can reach directly (carrier-grade NAT, a router that refuses
// mappings). A thread of its own holds the whole conversation with the
// relay server, so no call of the application's ever waits for it: it
// connects to the server, authenticates with long-term credentials,
// allocates a TCP relay and posts the outcome as one notice text; it
// refreshes the allocation while the lobby lives, binds each player who
// connects to the relayed address and hands that player's connection over,
// and releases the allocation when the lobby closes.
//
// The thread lives in a room of its own, like the router's (portmap.h): it
// touches nothing but its task record and the two callbacks, which get the
// task, so their owner finds its own record through `owner`.
//
// Through the relay server (coturn, run with --server-relay so that any
// plain TCP client may connect to the relayed address) a player's
// connection is an ordinary TCP stream, with two limits of the server's: it
// keeps only the first 64 KiB a player sends before the bind, and it resets
// both sides when either half-closes. A last word sent just before a close
// may be lost on the way.
#pragma once

#include "net/base/hostport.h"
#include "net/outside/stun.h"
#include "platform/platform.h"

#include <atomic>

namespace ll {

struct TurnTask;

// Posts one notice text (the relayed address, TurnNoRelay, TurnRefused or
// TurnLost); called on the relay thread.
typedef void (*TurnPost)(TurnTask *task, const char *text);
// Takes a player's connection, bound and now a plain TCP stream to the
// player, blocking, with nothing read from it yet, and the player's address
// as sockPeerSource would tell it on a direct connection (0 when the server
// did not say). True when taken; false and the thread closes it. Called on
// the relay thread: it must not block.
typedef bool (*TurnHandover)(TurnTask *task, Socket player, uint64_t source);

// What the relay thread is started with; copied by turnStart.
struct TurnConfig {
    const char *server;   // "HOST" or "HOST:PORT" (default 3478); IPv6 in brackets
    const char *user;     // the long-term credentials
    const char *password; // used for the key, then wiped
};

// Its task record. The owner sets `owner` and may read the rest only
// through turnStart and turnStop.
struct TurnTask {
    void *owner = nullptr;    // for the callbacks: the record this task belongs to
    bool started = false;     // owner's thread: `thread` is to be joined
    ThreadHandle thread = {}; // owner's thread
    TurnPost post = nullptr;  // set before the thread starts, then read by it
    TurnHandover handover = nullptr;
    std::atomic<int> stop{0}; // atomic: the lobby has closed
    HostPort server = {};     // the thread's copies of the configuration
    char password[StunUserCapacity + 1] = {};
    StunAuth auth = {};
};

// The notice texts besides the relayed address ("ADDRESS:PORT", IPv6 as
// "[ADDRESS]:PORT").
extern const char TurnNoRelay[]; // nothing answered within TurnAnswerBudgetMs
extern const char TurnRefused[]; // the server declined: credentials, quota, no TCP relay
extern const char TurnLost[];    // an allocation announced earlier cannot be kept

// Starts the relay conversation; its one outcome goes to `post` (none when
// the task is stopped first). False, with nothing started, when the server
// is not HOST[:PORT], the user or password is too long, or no thread could
// be started. Nothing, and true, when one runs already.
bool turnStart(TurnTask *task, const TurnConfig &config, TurnPost post, TurnHandover handover);
// Ends it: the allocation is released (Refresh with lifetime 0) within
// TurnCloseMs, every connection of the server's is closed, and the thread
// has ended when this returns. Nothing when none runs. (While the thread
// still resolves the server's name, this waits for the system's resolver,
// which takes no deadline; a numeric address never waits.)
void turnStop(TurnTask *task);

} // namespace ll
