// Admission: how newcomers become members of the lobby host's lobby. A
// search (p2pSearchClient) opens the lobby port and starts the admission
// thread, which admits one newcomer per search through the lobby's door:
// the open door (admission_open.cpp: the name, read one newcomer at a time)
// or the private one (admission_private.cpp: many handshakes at once).
// Newcomers come from the listening socket, or are handed over by a way in
// from outside (admissionHandOver); both wait for a search alike.
//
// The core (admission.cpp) is what every door shares: the record below,
// the thread, "admit or turn away" with the full check, the outcome of the
// search, and the grace. The grace: a search that took a newcomer ends with
// its listening socket still open, and the thread waits SearchGraceMs for
// the next search, which takes the next newcomer from the same socket, so
// players who join at the same moment are admitted one per search instead
// of being reset. Without a new search the socket closes and the thread
// ends; a search that failed to listen or accept closes it at once. Every
// wait is sliced (AdmissionWaitSliceMs) so that p2pDisconnect and
// p2pTerminate can stop the thread and wait for it: no admission, and no
// grace, outlives them.
//
// The admission thread waits and reads on sockets it alone owns, without
// the state lock (net.lock, state.h), and reads `searchStop`. It takes the
// lock only to admit (record, join notices and inbox entry appear together,
// the socket already non-blocking) and to end the search: it touches "lock"
// fields only.
#pragma once

#include "net/secure/handshake.h"
#include "net/base/limits.h"
#include "net/secure/noise.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace ll {

// A connection handed over, and where its player comes from (sockPeerSource's
// value; 0: the connection's own peer counts).
struct HandedOver {
    Socket socket;
    uint64_t source;
};

// The admission's record.
struct AdmissionState {
    Socket listenSocket = InvalidSocket; // lock: open from a search's bind to its end
    bool listening = false;              // lock: the search's socket listens
    uint8_t nextId = 1;                  // lock: the id handed out last
    int32_t searching = 0;               // lock: an admission runs
    int32_t cancelRequested = 0;         // lock: turn the next newcomer away
    int32_t searchError = SearchOk;      // lock: outcome of the last admission
    bool inGrace = false;                // lock: a search ended, its socket stays open until
    uint64_t graceEnd = 0;               // lock: then, and its thread takes up the next search
    // lock: connections handed over, oldest first, waiting for a search
    HandedOver handedOver[HandOverBacklog] = {};
    int32_t handedOverCount = 0;    // lock
    bool threadStarted = false;     // app: acceptThread holds a thread to join
    ThreadHandle acceptThread = {}; // app
    std::atomic<int> searchStop{0}; // atomic: asks the running admission to end now
};

extern AdmissionState admission;

// ---- For the lifecycle ----
// Stops a running admission and waits for its thread to end. Call without
// holding the lock.
void stopAdmission();
// The lobby closes (lock held, the thread stopped): the listening socket
// and the connections handed over close.
void admissionClose();
// p2pDisconnect (lock held): no search, and ids start again from the first.
void admissionForget();

// ---- The third way in ----
// A connection made by a way in from outside (a relay server's), handed to
// the admission: it waits for a search exactly like one on the listening
// socket, and goes through the lobby's door with the same limits, grace and
// notices. `source` is the player's address as sockPeerSource tells it (a
// relay server's connection has the server's), so that a private lobby's
// share per source counts the player's own; 0 when unknown. Any thread;
// takes the lock and waits for nothing else. False
// when no search or grace holds the port open (a connection to it would be
// refused) or HandOverBacklog connections wait already: the caller keeps
// the socket, to close it (TurnHandover's contract, turn.h).
bool admissionHandOver(Socket s, uint64_t source);

// ---- The doors ----
// Each serves newcomers from `listener` and those handed over, and returns
// once admissionTurn says the door closes, or its socket failed.
void openDoor(Socket listener);
void privateDoor(Socket listener, const LobbySecret &secret);

// ---- The core, for the doors ----
bool admissionStopAsked();
// The oldest connection handed over, in whatever blocking mode it came, or
// one with InvalidSocket. Takes the lock.
HandedOver admissionTakeHandedOver();
// Where the door stands, with the lock held.
enum AdmissionTurn {
    TurnSearch, // a search runs: the next newcomer is its
    TurnGrace,  // between searches: newcomers wait until graceEnd
    TurnOver    // no search within the grace, or a stop asked: the listening
                // socket and the connections handed over are closed now
};
AdmissionTurn admissionTurn();
// One newcomer's outcome, with the lock held: `outcome` is its handshake's
// (SearchOk: complete, with `name`, and `keys` in a private lobby, which
// move to the member's link when it is admitted). The
// running search admits it and returns true, or returns false when its
// handshake failed, a stop is asked, the host application cancelled the
// search or the lobby is full: the door then turns it away (closes `c`).
// The search ends with that outcome, its socket kept open for the grace.
bool admissionSettle(int32_t outcome, Socket c, const char *name, NoiseTransport *keys);

} // namespace ll
