// p2pConnect's join (join.h): the blocking call runs it on the host
// application's thread and hands the connection to the pump; with "async"
// it runs on a thread of its own while the application's frames go on.
//
// Hand-over: the join's thread works on its own sockets and its own task,
// and takes the state lock once, at its end: unless the application
// stopped it, it hands the connection over (the pump sends what p2pSend
// queued meanwhile, and waits for the lobby host's join notice) or posts
// its one failure notice. The application stops it under the same lock, so
// exactly one of the two happens, and a stopped join leaves nothing behind.
// Every wait of the join is sliced (JoinWaitSliceMs) and looks at the stop
// between slices; two steps cannot be cut short: name resolution (a stop
// then leaves the thread to end by itself, touching nothing shared) and
// the stretch of the secret (a stop waits for it). The thread keeps the
// library's code loaded while it runs (threadStart), so a host application
// that unloads the library meanwhile does not pull its code away.
#include "net/join.h"
#include "net/state.h"

#include "platform/heap.h"

#include <cstring>
#include <new>

namespace ll {

namespace {

char *copyText(const char *text, size_t length) {
    char *copy = static_cast<char *>(heapAlloc(length + 1));
    if (length) std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// A task for a join's thread, with its own copies of the arguments.
JoinTask *taskNew(const char *address, const char *user, const JoinSecret &secret) {
    JoinTask *t = new (heapAlloc(sizeof(JoinTask))) JoinTask();
    if (address) t->address = copyText(address, std::strlen(address));
    t->user = copyText(user, std::strlen(user));
    if (secret.length) t->secret = {copyText(secret.text, secret.length), secret.length};
    return t;
}

// One holder lets go of a task; the last frees it, its secret wiped.
void taskRelease(JoinTask *t) {
    if (t->holders.fetch_sub(1) != 1) return;
    heapFree(const_cast<char *>(t->address));
    heapFree(const_cast<char *>(t->user));
    secretRelease(t->secret);
    linkFree(&t->link);
    t->~JoinTask();
    heapFree(t);
}

// With the lock held: the connection the join made becomes the client
// role's. A join's thread hands it over while the mode is already Client
// (since the join started), and what p2pSend queued meanwhile goes out on
// the next update.
void handOverLocked(JoinTask *t) {
    net.connSocket = t->socket;
    t->socket = InvalidSocket;
    linkMove(&net.clientLink, &t->link);
}

void joinThread(void *arg) {
    JoinTask *t = static_cast<JoinTask *>(arg);
    joinRun(t);
    {
        Guard g(&net.lock);
        if (!t->stop.load()) {
            net.joining = false;
            if (t->out.step == Connected) {
                handOverLocked(t);
                net.awaitingAdmission = true;
            } else {
                const char *text = t->noticeText(t->out.step);
                inboxPushText(&net.inbox, 0, MsgError, text, std::strlen(text));
            }
        }
    }
    sockClose(t->socket); // stopped meanwhile: nobody takes the connection
    taskRelease(t);
}

// The client role starts clean, also after an overflow that left the last
// connection's bytes behind. With the lock held.
void clientResetLocked() {
    queueFree(&net.sendQueue);
    net.clientReader.count = 0;
    net.clientHeard = false;
    linkFree(&net.clientLink);
    net.awaitingAdmission = false;
}

// Starts a join on a thread of its own: the library is a client that is
// connecting from here on.
ConnectOutcome joinStart(const char *address, const char *user, const JoinSecret &secret,
                         JoinNoticeText noticeText) {
    ConnectOutcome out = {Connected, OpenAllowed, false, 0, {}};
    joinCollect(); // a join that overflowed its queue may still have its thread
    JoinTask *t = taskNew(address, user, secret);
    t->noticeText = noticeText;
    t->holders.store(2); // this thread and the join's
    setOwnName(user);
    {
        Guard g(&net.lock);
        clientResetLocked();
        net.joining = true;
        net.joinText = noticeText;
    }
    setMode(Client);
    if (!threadStart(&net.joinThread, joinThread, t)) {
        {
            Guard g(&net.lock);
            net.joining = false;
        }
        setMode(Idle);
        t->holders.store(1);
        taskRelease(t);
        out.step = ConnectThreadFailed;
        return out;
    }
    net.joinTask = t;
    return out;
}

} // namespace

void joinStopLocked() {
    if (net.joinTask) net.joinTask->stop.store(1);
    net.joining = false;
}

void joinCollect() {
    JoinTask *t = net.joinTask;
    if (!t) return;
    {
        Guard g(&net.lock);
        joinStopLocked();
    }
    // Resolving a name cannot be cut short: the thread then ends by itself
    // once the resolver answers, and finds itself stopped.
    if (t->resolving.load())
        threadDetach(net.joinThread);
    else
        threadJoin(net.joinThread);
    net.joinTask = nullptr;
    taskRelease(t);
}

ConnectOutcome clientConnect(const char *address, const char *user, const JoinSecret &secret,
                             JoinNoticeText started) {
    ConnectOutcome refused = {ConnectNotAllowed, openingRefusal(user), false, 0, {}};
    if (refused.refusal != OpenAllowed) return refused;
    if (started) return joinStart(address, user, secret, started);
    JoinTask t; // on this thread, which nobody stops
    t.address = address;
    t.user = user;
    t.secret = secret;
    joinRun(&t);
    if (t.out.step != Connected) return t.out;
    setOwnName(user);
    {
        Guard g(&net.lock);
        clientResetLocked();
        handOverLocked(&t);
    }
    setMode(Client);
    return t.out;
}

} // namespace ll
