// LAN discovery: a lobby host that announces answers players' queries on
// UDP LobbyPort, and a player lists the lobbies that answer its query to the
// directed broadcast address of each of its networks (the datagrams are in
// discovery_wire.h). No thread: both sides move only inside p2pUpdate, and
// both sockets belong to the host application's thread.
#pragma once

#include "net/limits.h"
#include "platform/platform.h"

#include <cstdint>

namespace ll {

struct DiscoveryState {
    // The announcing lobby host's socket, bound to LobbyPort; InvalidSocket
    // for a lobby that does not announce.
    Socket announcer = InvalidSocket;
    uint64_t windowStartMs = 0; // the second the answers are counted in
    int answersInWindow = 0;
    LocalNet4 nets[MaxLocalNets] = {}; // this machine's networks, as read last
    int netCount = 0;
    bool netsRead = false;
    uint64_t netsReadMs = 0;
    // The player's listing: its socket until listingEndMs, and the addresses
    // that answered so far.
    Socket listing = InvalidSocket;
    uint64_t listingEndMs = 0;
    uint32_t found[MaxListedLobbies] = {};
    int foundCount = 0;
};

// Answers queries and takes answers, a bounded amount of each; called by the
// update with the state lock held.
void discoveryPump();
// Closes the announcing socket and ends the listing.
void discoveryStop();

} // namespace ll
