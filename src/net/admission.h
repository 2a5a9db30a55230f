// Admission: how newcomers become members of the lobby host's lobby. A
// search (p2pSearchClient) opens the lobby port and starts the admission
// thread, which admits one newcomer through the lobby's door: the open door
// (admission.cpp) or the private one (admission_private.cpp).
//
// The admission thread waits and reads on sockets it alone owns, reads
// `searchStop`, and takes the state lock (net.lock, state.h) to admit a
// newcomer or end the search: it touches "lock" fields only.
#pragma once

#include "net/handshake.h"
#include "net/limits.h"
#include "net/noise.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace ll {

// The admission's record.
struct AdmissionState {
    Socket listenSocket = InvalidSocket; // lock: open from a search's bind to its end
    bool listening = false;              // lock: the search's socket listens
    uint8_t nextId = 1;                  // lock: the id handed out last
    int32_t searching = 0;               // lock: an admission runs
    int32_t cancelRequested = 0;         // lock: turn the next newcomer away
    int32_t searchError = SearchOk;      // lock: outcome of the last admission
    bool inGrace = false;                // lock: a search ended, its socket stays open for
                                         // SearchGraceMs and its thread takes up the next one
    bool threadStarted = false;          // app: acceptThread holds a thread to join
    ThreadHandle acceptThread = {};      // app
    std::atomic<int> searchStop{0};      // atomic: asks the running admission to end now
};

extern AdmissionState admission;

// Stops a running admission and waits for its thread to end. Call without
// holding the lock.
void stopAdmission();
// The lobby closes (lock held, the thread stopped): the listening socket
// closes.
void admissionClose();
// p2pDisconnect (lock held): no search, and ids start again from the first.
void admissionForget();

// The admission thread's shared steps (admission.cpp). With the lock held:
// admits a newcomer whose handshake is complete (sealed with `keys` in a
// private lobby, else null), and closes the search's listening socket.
void admitMember(Socket c, const char *name, const NoiseTransport *keys);
void closeListenerLocked();
// Ends a search that took a connection: its outcome is set and its socket
// stays open for the grace, where the next search takes it up.
void endSearchInGraceLocked(int32_t outcome);
bool admissionStopAsked();
// A private lobby's admission (admission_private.cpp): serves several
// handshakes at once on `listener` until it is stopped or the grace after a
// search ends without a new one.
void privateAdmission(Socket listener, const LobbySecret &secret);

} // namespace ll
