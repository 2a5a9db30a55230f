// The client role: one connection to a lobby host, made by p2pConnect with
// the handshake (client.cpp), then pumped by p2pUpdate (send the queue
// once, receive once, hand every complete frame to the inbox).
//
// Making the connection touches nothing shared: clientDial connects and
// runs the handshake on locals and its caller's Dialled alone, so it may
// run on any thread (a join with "async" runs it on its own, join.h);
// clientAdopt, on the host application's thread, then makes the
// connection the client role's.
#pragma once

#include "net/base/bytequeue.h"
#include "net/base/limits.h"
#include "net/secure/link.h"
#include "net/core/lobby.h"
#include "net/base/protocol.h"
#include "platform/platform.h"

#include <atomic>

namespace ll {

struct JoinTask; // a join with "async" under way (join.h)

// The client role's record. The fields marked "lock" are guarded by the
// state lock (net.lock, state.h) and touched on the host application's
// thread, and by a join's thread once, at its end (join.cpp); those marked
// "app" are the host application's thread's alone.
struct ClientRoleState {
    Socket socket = InvalidSocket; // lock: the connection to the lobby host, or none
    ByteQueue queue;               // lock: bytes for the lobby host; holds less than QueueCapacity
    FrameReader reader = {nullptr, 0, 0, QueueCapacity - 1}; // lock: frames from the lobby host
    RecordLink link;                                         // lock: sealed in a private lobby
    bool heard = false; // lock: a frame has come on this connection
    // A join with "async" (join.cpp): its thread has not handed its outcome
    // over yet; its connection is handed over and the lobby host's join
    // notice has not come yet; the texts of its notices.
    bool joining = false;                // lock
    bool awaitingAdmission = false;      // lock
    JoinNoticeText noticeText = nullptr; // lock
    JoinTask *joinTask = nullptr;        // app: the last join's task, while its thread is held
    ThreadHandle joinThread = {};        // app: that thread, until joinCollect
};

extern ClientRoleState clientRole;

// A connection through its handshake, not the client role's yet.
struct Dialled {
    Socket socket = InvalidSocket; // non-blocking
    RecordLink link;               // sealed in a private lobby
};
// What stops a dial early: raised by the application's thread, it is seen
// at the dial's next wait (every wait is sliced, JoinWaitSliceMs); and the
// dial's word that it is resolving the address, which cannot be cut short.
struct DialStop {
    std::atomic<int> asked{0};
    std::atomic<int> resolving{0};
};
// Connects to `address` as `user` and makes the handshake, blocking (see
// clientConnect, lobby.h); on Connected, `*dialled` holds the connection.
// Touches nothing shared. Once `stop` is asked it ends at its next wait
// with any step but Connected, and leaves no socket.
ConnectOutcome clientDial(const char *address, const char *user, const JoinSecret &secret,
                          Dialled *dialled, DialStop *stop);
// With the lock held: the client role starts clean, also after an overflow
// that left the last connection's bytes behind.
void clientResetLocked();
// With the lock held: a dialled connection becomes the client role's.
void clientTakeLocked(Dialled *dialled);
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
// A join with "async" under way (join.cpp): asked to stop, with the lock held;
// it then hands nothing over and posts nothing.
void joinStopLocked();
// Collects the last join's thread (without the lock): stops it, and waits
// for it unless it is resolving a name, which cannot be cut short; then it
// ends by itself and touches nothing shared.
void joinCollect();
// Checks the client role's stated invariants (its queue's accounting); with
// the lock held. Compiled out outside the checked builds.
void clientCheckInvariants();

} // namespace ll
