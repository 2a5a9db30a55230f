// A join with "async": p2pConnect's dial (client.h) on a thread of its own,
// while the host application's frames go on (join.cpp).
#pragma once

#include "net/core/client.h"
#include "net/core/lobby.h"

#include <atomic>

namespace ll {

// What a join's thread works on, and nobody else while it runs: its own
// copies of p2pConnect's arguments, its dial and its outcome. The
// application's thread reaches the task only to stop the dial
// (joinStopLocked) and to collect the thread (joinCollect).
struct JoinTask {
    char *address = nullptr; // null: this machine
    char *user = nullptr;
    JoinSecret secret = {};
    DialStop stop;
    // The threads that still use the task: the last to let go frees it.
    std::atomic<int> holders{2};
    JoinNoticeText noticeText = nullptr; // the texts of its failure notices
    ConnectOutcome out = {Connected, OpenAllowed, false, 0, {}};
    Dialled dialled;
};

// Starts a join on a thread of its own (the opening checks passed): the
// library is a client that is connecting from here on. Connected (started)
// or ConnectThreadFailed; the arguments are copied.
ConnectOutcome joinStart(const char *address, const char *user, const JoinSecret &secret,
                         JoinNoticeText noticeText);

} // namespace ll
