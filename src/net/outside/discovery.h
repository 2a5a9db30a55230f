// LAN discovery: a lobby host that announces answers players' queries on
// UDP LobbyPort, and a player lists the lobbies that answer its query to the
// directed broadcast address of each of its networks (the datagrams are in
// discovery_wire.h). No thread: both sides move only inside the pump, and
// both sockets belong to the host application's thread.
//
// Discovery lives in a room of its own: it touches nothing but the state
// record its owner gives it, the facts its owner hands each pump and the
// notice callback.
#pragma once

#include "net/base/limits.h"
#include "platform/platform.h"

#include <cstddef>
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

// What the owner knows at this pump: the lobby host's facts that an answer
// carries, and whether the player's inbox is full (then no answer is read).
struct DiscoveryFacts {
    int members;      // the lobby host and its clients
    bool isPrivate;   // it has a secret; the answer carries no more of it
    const char *name; // the lobby host's name
    bool inboxFull;
};

// Posts one notice (0, MsgLobbyFound, text) to the host application, on the
// owner's thread within discoveryPump; returns false when its inbox is full
// after it (then no more answers are read in this pump).
typedef bool (*DiscoveryPost)(const char *text, size_t length);

// Answers queries and takes answers, a bounded amount of each.
void discoveryPump(DiscoveryState *d, const DiscoveryFacts &facts, DiscoveryPost post);
// Starts answering queries; nothing when it does already. Silently nothing
// more when the UDP port cannot be bound.
void announceOpen(DiscoveryState *d);
// Ends a listing before it, then sends one query to the directed broadcast
// address of every IPv4 network of this machine; the pumps of the next
// DiscoveryListenMs take the answers. False when no UDP socket could be made.
bool listingOpen(DiscoveryState *d);
// Ends the listing; nothing when none runs.
void listingClose(DiscoveryState *d);
// Closes the announcing socket and ends the listing.
void discoveryClose(DiscoveryState *d);

} // namespace ll
