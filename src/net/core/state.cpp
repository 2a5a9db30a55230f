// What the rooms of the lobby core share (state.h).
#include "net/core/state.h"

#include "platform/heap.h"

#include <cstring>

namespace ll {

// The state is constant-initialised: no constructor runs when the library is
// loaded, so no call of the host application can come before it. Checked once, here.
constexpr bool stateIsConstantInitialised() {
    NetState probe{};
    return probe.mode == Idle && probe.ownName[0] == 0;
}
static_assert(stateIsConstantInitialised(), "NetState must be constant-initialised");

NetState net;

void setMode(NetMode mode) {
    // Idle -> Lobby (lobbyCreate), Idle -> Client (clientConnect), any ->
    // Idle (lobbyDisconnect), and Client -> Idle when a message does not fit
    // the client role's queue: an overflow is the library's own decision to
    // give the connection up, so it leaves nothing open and the host
    // application may connect again at once. A connection that is *lost*
    // keeps the mode: the application learns of it from the notice in the
    // inbox, and until it calls p2pDisconnect, opening again answers "already
    // connected", so the notice cannot be missed or mixed up with a new
    // connection's traffic.
    // So a role is only ever taken from Idle, and left only for Idle.
    LL_ASSERT(mode == Idle || net.mode == Idle);
    net.mode = mode;
}

OpenRefusal openingRefusal(const char *user) {
    if (net.mode != Idle) return OpenAlreadyConnected;
    if (!user) return OpenNoUser;
    if (std::strlen(user) > MaxNameLength) return OpenUserTooLong;
    return OpenAllowed;
}

void setOwnName(const char *user) {
    Guard g(&net.lock); // the admission thread reads ownName
    std::memcpy(net.ownName, user, std::strlen(user) + 1);
}

} // namespace ll
