// The client role: one connection to a lobby host, made by p2pConnect with
// the handshake (client.cpp), then pumped by p2pUpdate (send the queue
// once, receive once, hand every complete frame to the inbox).
//
// Making the connection touches nothing shared: clientDial connects and
// runs the handshake on locals and its caller's Dialled alone, so it may
// run on any thread; clientAdopt, on the host application's thread, then
// makes the connection the client role's.
#pragma once

#include "net/base/bytequeue.h"
#include "net/base/limits.h"
#include "net/secure/link.h"
#include "net/core/lobby.h"
#include "net/base/protocol.h"
#include "platform/platform.h"

namespace ll {

// The client role's record; every field is guarded by the state lock
// (net.lock, state.h) and touched on the host application's thread.
struct ClientRoleState {
    Socket socket = InvalidSocket; // lock: the connection to the lobby host, or none
    ByteQueue queue;               // lock: bytes for the lobby host; holds less than QueueCapacity
    FrameReader reader = {nullptr, 0, 0, QueueCapacity - 1}; // lock: frames from the lobby host
    RecordLink link;                                         // lock: sealed in a private lobby
    bool heard = false; // lock: a frame has come on this connection
};

extern ClientRoleState clientRole;

// A connection through its handshake, not the client role's yet.
struct Dialled {
    Socket socket = InvalidSocket; // non-blocking
    RecordLink link;               // sealed in a private lobby
};
// Connects to `address` as `user` and makes the handshake, blocking (see
// clientConnect, lobby.h); on Connected, `*dialled` holds the connection.
// Touches nothing shared.
ConnectOutcome clientDial(const char *address, const char *user, const JoinSecret &secret,
                          Dialled *dialled);
// Makes a dialled connection the client role's, under `user`; the client
// role must be idle. Takes the lock.
void clientAdopt(Dialled *dialled, const char *user);

// The client role's half of an update; with the lock held.
void clientPump();
// The lobby closes, with the lock held: the last words go out
// (linkLastWords) and the connection closes. Its queue and reader are
// emptied by clientForget, on p2pDisconnect.
void clientClose();
void clientForget();
// Checks the client role's stated invariants (its queue's accounting); with
// the lock held. Compiled out outside the checked builds.
void clientCheckInvariants();

} // namespace ll
