// The folder src/net/core/ holds the lobby itself: this face and the
// lifecycle (lobby.cpp), what its rooms share and the lock (state.h), and
// the rooms, each with its record in its own header: the admission and its
// two doors (admission.h), the relay (relay.h) and the client role
// (client.h); sending.cpp queues messages for either. It stands on base/,
// secure/ and outside/, and nothing below includes it.
//
// The lobby core's face towards the binding: plain values in, plain values
// and small enums out. Nothing here knows the host application's dictionary;
// the binding layer (src/hostapi/) reads the arguments, calls these and
// writes the results. Every function runs on the application's thread (a
// JoinNoticeText is also called on a join's thread).
#pragma once

#include "net/base/limits.h"

#include <cstddef>
#include <cstdint>

namespace ll {

// ---- Lifecycle ----
// Starts the socket library; false when it failed to start.
bool lobbyStartup();
// Ends all networking (stops any admission, closes everything, empties the
// inbox) and stops the socket library; returns the library's cleanup result.
int32_t lobbyTerminate();
// Ends the lobby or connection and returns to idle.
void lobbyDisconnect();

// Why opening a lobby or a connection was refused before anything was tried.
enum OpenRefusal {
    OpenAllowed = 0,
    OpenAlreadyConnected, // not idle
    OpenNoUser,           // no user name given
    OpenUserTooLong       // more than MaxNameLength characters
};
// A lobby's secret as the host application gave it: `length` bytes (0: an
// open lobby), at most MaxSecretLength.
struct JoinSecret {
    const char *text;
    size_t length;
};
// Wipes and frees the binding's copy of a secret.
void secretRelease(const JoinSecret &secret);
// Becomes the lobby host under `user` (null: none given); with a secret, a
// private lobby, whose secret is stretched here, once.
OpenRefusal lobbyCreate(const char *user, const JoinSecret &secret = {});
// Asks the home router to forward the lobby port to this machine while the
// lobby just opened lives; the outcome arrives as the notice MsgPortmap.
void lobbyMapPort();
// A TURN server and the credentials for hosting through it (turn.h).
struct RelayServer {
    const char *server; // "HOST" or "HOST:PORT"
    const char *user;
    const char *password;
};
enum RelayRefusal {
    RelayAllowed = 0,
    RelayBadServer,      // not HOST or HOST:PORT
    RelayUserTooLong,    // more than StunUserCapacity bytes
    RelayPasswordTooLong // the same
};
// Whether lobbyRelay would take these, checked before the lobby opens.
RelayRefusal relayCheck(const RelayServer &relay);
// Hosts the lobby just opened through a relay server as well, while it
// lives (checked with relayCheck); the outcome arrives as the notice MsgRelay.
void lobbyRelay(const RelayServer &relay);
// Answers discovery queries from the local networks while the lobby just
// opened lives; silently nothing when the UDP port cannot be bound.
void announceStart();

// ---- Admission (lobby host) ----
enum SearchStart {
    SearchStarted = 0,
    SearchAlreadyRunning, // a search runs: nothing changes
    SearchPortTaken,      // the lobby port could not be bound
    SearchThreadFailed    // the admission thread could not be started
};
SearchStart searchStart();
int32_t searchRunning();                 // 1 while an admission runs
int32_t searchOutcome();                 // Search* outcome of the last admission
void searchSetCancelled(bool cancelled); // turn away / admit the next newcomer

// ---- The pump and the members (lobby host) ----
// One non-blocking pass: the lobby host's clients, then the client role's
// connection, then LAN discovery's datagrams.
void lobbyUpdate();
// Removes the member whose id, read as a signed byte, is `id` (lobby host).
void memberKick(int32_t id);
int32_t memberCount();
// Copies the name of member `id` (signed byte) into `name`; "" when unknown.
void memberName(int32_t id, char name[HandshakeLimit]);

// ---- Client connection ----
enum ConnectStep {
    Connected = 0,
    ConnectNotAllowed,      // the opening checks refused it: see `refusal`
    ConnectResolveFailed,   // the address did not resolve
    ConnectSocketFailed,    // no socket could be made
    ConnectFailed,          // no address took the connection, or the connection
                            // could not be made non-blocking after the handshake
    ConnectHandshakeFailed, // the name could not be sent whole
    ConnectWrongSecret,     // a private lobby that does not take our secret
    ConnectNotPrivate,      // with a secret: no private lobby answered in time
    ConnectBusy,            // with a secret: the private lobby let us go for another
                            // reason than the secret (its door is full, a deadline)
    ConnectPrivateLobby,    // without a secret: a private lobby greeted us
    ConnectRefused,         // a join that started: the lobby host closed the connection
                            // after the handshake, before admitting
    ConnectThreadFailed     // a join could not start its thread
};
struct ConnectOutcome {
    ConnectStep step;
    OpenRefusal refusal;           // why, when step is ConnectNotAllowed
    bool handshakeTried;           // a connection was made and the handshake sent on it
    int32_t handshakeSends;        // then: the sends that carried it
    char address[AddressTextSize]; // connected: the lobby host's address as numeric text
};
// The text of the notice (0, MsgError, text) that ends a join that started
// and failed at `step`; called on the join's thread and by the pump.
typedef const char *(*JoinNoticeText)(ConnectStep step);
// Connects to the lobby host at `address` (null: this machine) as `user`
// (null: none given); blocks while it connects and sends the handshake. The
// resolved addresses are tried staggered (RFC 8305), the first connection
// made wins.
// With a secret the whole private handshake is made before it returns, for
// at most PrivateJoinDeadlineMs after the connection.
// With `started` (a join that does not wait) only the opening checks are
// made here; then the join starts on a thread of its own and the outcome is
// Connected (started) or ConnectThreadFailed. The thread runs the same steps
// as the blocking call and ends them with the lobby host's join notice in
// the inbox, or with one notice (0, MsgError, started(step)). The arguments
// are copied: the caller may free them at once.
ConnectOutcome clientConnect(const char *address, const char *user, const JoinSecret &secret = {},
                             JoinNoticeText started = nullptr);

// ---- LAN discovery (player) ----
enum FindStart {
    FindStarted = 0,
    FindNotIdle, // a lobby or connection is open
    FindNoSocket // no UDP socket could be made
};
// Sends one query to the directed broadcast address of every IPv4 network
// of this machine; for DiscoveryListenMs the updates turn each lobby's first
// answer into a notice (0, MsgLobbyFound, text). Ends a listing before it.
FindStart lobbiesFind();
// Ends the listing (nothing when none runs): p2pConnect and p2pCreateLobby
// do, as a new listing does.
void listingStop();

// ---- Sending ----
// Queues `text` (no 0 bytes; nothing when it is empty) for the next update:
// in the client role's queue while connected, else in each addressed
// client's queue.
void messageSend(uint8_t msgId, uint8_t receiver, const char *text, size_t length);
// Room left in a send queue: the client role's own, or at the lobby host that
// of member `id` (signed byte); 0 when idle or unknown.
int32_t messageRoom(int32_t id);

// ---- Inbox ----
// One message or notice read from the inbox. `text` holds `length` bytes and
// a terminating 0; it stays valid until the next take or the end of
// networking.
struct InboxMessage {
    uint8_t sender; // member id; HostId for the lobby host; 0 for local notices
    uint8_t msgId;
    const char *text;
    uint32_t length;
};
// Reads the oldest entry into *out; false when the inbox is empty. The entry
// read before is done with then, and used again for a later message.
bool inboxTake(InboxMessage *out);

} // namespace ll
