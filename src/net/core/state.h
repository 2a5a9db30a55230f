// What the rooms of the lobby core share, and the lock that guards it. Each
// room keeps its own record in its own header: the admission's
// (admission.h), the relay's (relay.h) and the client role's (client.h).
// Four threads touch them:
// - the host application's thread runs every export; fields marked "app"
//   are its alone, and it reads or writes those marked "lock", here and in
//   the rooms' records, only while holding `net.lock`;
// - the admission thread (admission.cpp), while a search runs, waits and
//   reads on sockets it alone owns and takes the lock to admit a client or
//   end the search: it touches "lock" fields only, and its record's atomic;
// - the router thread (portmap.cpp), while a mapping is asked for, touches
//   nothing here but, through the notice callback it is started with, the
//   inbox under the lock;
// - a join's thread (join.cpp), while p2pConnect's "async" join runs, works
//   on sockets and a task of its own, and takes the lock once at its end:
//   to hand its connection to the client role or post its failure notice,
//   unless the application stopped it meanwhile.
// - the relay server's thread (turn.cpp), while the lobby is hosted through
//   a relay, touches nothing here but `turn` and, through its callbacks,
//   the inbox and the admission's hand-over under the lock.
#pragma once

#include "net/secure/handshake.h"
#include "net/base/inbox.h"
#include "net/base/limits.h"
#include "net/core/lobby.h"
#include "net/outside/turn.h"
#include "platform/platform.h"

#include <cstdint>

namespace ll {

enum NetMode { Idle = 0, Lobby = 1, Client = 2 };

struct NetState {
    NetMode mode = Idle;               // app; changed only by setMode
    char ownName[HandshakeLimit] = {}; // lock: our name, announced to newcomers
    LobbySecret secret;                // lock: a private lobby's salt and key (lobby host)
    Inbox inbox = {};                  // lock: entries waiting for p2pRecv
    Mutex lock = LL_MUTEX_INIT; // guards every field marked "lock", here and in the rooms' records
    TurnTask turn;              // app: hosting through a relay server (turn.h)
    // One receive's worth, for the relay's and the client role's pumps in
    // turn: app, under lock.
    uint8_t scratch[QueueCapacity] = {}; // the bytes received
    uint8_t plain[QueueCapacity] = {};   // their records, opened
};

extern NetState net;

// The one place where the mode changes.
void setMode(NetMode mode);

// The checks before opening a lobby or a connection: idle, and a user name
// of at most MaxNameLength characters.
OpenRefusal openingRefusal(const char *user);
// Sets this participant's name, announced to every newcomer.
void setOwnName(const char *user);

// Checks the invariants that the comments of every record state; with the
// lock held. Compiled out outside the checked builds.
void checkInvariants();

} // namespace ll
