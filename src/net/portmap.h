// Opening the lobby port on the home router while a lobby is open, when the
// host application asks for it. A thread of its own holds the whole router
// conversation, so no call of the application's ever waits for the router: it finds
// the router (NAT-PMP to the default gateway, SSDP for a UPnP gateway),
// asks it to forward TCP LobbyPort to this machine, posts the outcome as one
// notice (0, MsgPortmap, text), renews the lease and deletes the mapping
// when the lobby closes.
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace ll {

struct PortmapTask {
    bool started = false;     // app: `thread` is to be joined
    ThreadHandle thread = {}; // app
    std::atomic<int> stop{0}; // atomic: the lobby has closed
};

// The notice texts besides the external address.
extern const char PortmapNoRouter[]; // nothing answered within the budget
extern const char PortmapRefused[];  // the router declined the port

// portmapStart (lobby.h) starts the conversation for the lobby just opened.
// Ends it: the mapping is deleted within PortmapCloseMs and the thread has
// ended when this returns. Nothing when none runs.
void portmapStop();

} // namespace ll
