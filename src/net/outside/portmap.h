// The folder src/net/outside/ holds the ways in from outside: the home
// router (this file, portmap_wire.h), the LAN (discovery.h,
// discovery_wire.h) and a relay server (turn.h, stun.h, digest.h). Each is
// a room of its own that the lifecycle (core/lobby.cpp) starts with its
// record and a notice callback, and a relay's players reach the admission
// through a hand-over callback (core/admission.h); it stands on base/
// alone and includes nothing of core/.
//
// Opening the lobby port on the home router while a lobby is open, when the
// host application asks for it. A thread of its own holds the whole router
// conversation, so no call of the application's ever waits for the router: it finds
// the router (NAT-PMP to the default gateway, SSDP for a UPnP gateway),
// asks it to forward TCP LobbyPort to this machine, posts the outcome as one
// notice (0, MsgPortmap, text), renews the lease and deletes the mapping
// when the lobby closes.
//
// The thread lives in a room of its own: it touches nothing but what its
// start call gives it, the task's stop flag (read) and its notice callback.
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace ll {

// Posts one notice (0, MsgPortmap, text) to the host application; called on
// the router thread, so it takes whatever lock the inbox needs, and drops
// the notice once the task's stop flag is up (the lobby's inbox is going).
typedef void (*PortmapPost)(const char *text);

struct PortmapTask {
    bool started = false;       // owner's thread: `thread` is to be joined
    ThreadHandle thread = {};   // owner's thread
    PortmapPost post = nullptr; // set before the thread starts, then read by it
    std::atomic<int> stop{0};   // atomic: the lobby has closed
};

// The notice texts besides the external address.
extern const char PortmapNoRouter[]; // nothing answered within the budget
extern const char PortmapRefused[];  // the router declined the port
extern const char PortmapLost[];     // a mapping announced earlier cannot be kept

// Starts the conversation for the lobby just opened; its notices go to
// `post`. False when no thread could be started (nothing was asked of the
// router then). Nothing, and true, when one runs already.
bool portmapStart(PortmapTask *task, PortmapPost post);
// Ends it: the mapping is deleted within PortmapCloseMs and the thread has
// ended when this returns. Nothing when none runs.
void portmapStop(PortmapTask *task);

} // namespace ll
