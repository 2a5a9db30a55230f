// One p2pConnect's join: resolving the address, the staggered connects and
// the handshake (join.cpp runs it, client.cpp holds its steps). The blocking
// call runs it on the host application's thread; the async call on a
// thread of its own, which the application may stop at any time.
#pragma once

#include "net/lobby.h"
#include "net/secure.h"
#include "platform/platform.h"

#include <atomic>

namespace ll {

struct JoinTask {
    // What p2pConnect gave: borrowed by the blocking call, owned copies for
    // a thread (freed with the task).
    const char *address = nullptr; // null: this machine
    const char *user = nullptr;
    JoinSecret secret = {};
    // Raised by the application's thread (under the state lock) to end the
    // join at its next wait; the join then hands nothing over.
    std::atomic<int> stop{0};
    // The join's thread is inside name resolution, which cannot be cut
    // short: a stop then leaves the thread to end by itself.
    std::atomic<int> resolving{0};
    // The threads that still use the task: the last to let go frees it.
    std::atomic<int> holders{1};
    JoinNoticeText noticeText = nullptr; // a thread's join: its failure texts
    // The outcome: with step Connected, the connection (non-blocking) and
    // its record link.
    ConnectOutcome out = {Connected, OpenAllowed, false, 0, {}};
    Socket socket = InvalidSocket;
    RecordLink link;
};

// Runs the join's steps on the calling thread and leaves the outcome in the
// task; with a stop, whatever outcome it had reached (the socket closed).
void joinRun(JoinTask *t);

} // namespace ll
