// p2pConnect's join with "async" (join.h): the dial the blocking call makes
// on the host application's thread, here on a thread of its own.
//
// Hand-over: the join's thread works on its own sockets and its own task,
// and takes the state lock once, at its end: unless the application
// stopped it, it hands the connection over (the pump sends what p2pSend
// queued meanwhile, and waits for the lobby host's join notice) or posts
// its one failure notice. The application stops it under the same lock, so
// exactly one of the two happens, and a stopped join leaves nothing behind.
// Every wait of the dial is sliced (JoinWaitSliceMs) and looks at the stop
// between slices; two steps cannot be cut short: name resolution (a stop
// then leaves the thread to end by itself, touching nothing shared) and
// the stretch of the secret (a stop waits for it). The thread keeps the
// library's code loaded while it runs (threadStart), so a host application
// that unloads the library meanwhile does not pull its code away.
#include "net/core/join.h"

#include "net/core/state.h"
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
    heapFree(t->address);
    heapFree(t->user);
    secretRelease(t->secret);
    linkFree(&t->dialled.link);
    t->~JoinTask();
    heapFree(t);
}

void joinThread(void *arg) {
    JoinTask *t = static_cast<JoinTask *>(arg);
    t->out = clientDial(t->address, t->user, t->secret, &t->dialled, &t->stop);
    {
        Guard g(&net.lock);
        if (!t->stop.asked.load()) {
            clientRole.joining = false;
            if (t->out.step == Connected) {
                clientTakeLocked(&t->dialled);
                clientRole.awaitingAdmission = true;
            } else {
                const char *text = t->noticeText(t->out.step);
                inboxPushText(&net.inbox, 0, MsgError, text, std::strlen(text));
            }
        }
    }
    sockClose(t->dialled.socket); // stopped meanwhile: nobody takes the connection
    taskRelease(t);
}

} // namespace

ConnectOutcome joinStart(const char *address, const char *user, const JoinSecret &secret,
                         JoinNoticeText noticeText) {
    ConnectOutcome out = {Connected, OpenAllowed, false, 0, {}};
    joinCollect(); // a join that overflowed its queue may still have its thread
    JoinTask *t = taskNew(address, user, secret);
    t->noticeText = noticeText;
    setOwnName(user);
    {
        Guard g(&net.lock);
        clientResetLocked();
        clientRole.joining = true;
        clientRole.noticeText = noticeText;
    }
    setMode(Client);
    if (!threadStart(&clientRole.joinThread, joinThread, t)) {
        {
            Guard g(&net.lock);
            clientRole.joining = false;
        }
        setMode(Idle);
        t->holders.store(1);
        taskRelease(t);
        out.step = ConnectThreadFailed;
        return out;
    }
    clientRole.joinTask = t;
    return out;
}

void joinStopLocked() {
    if (clientRole.joinTask) clientRole.joinTask->stop.asked.store(1);
    clientRole.joining = false;
}

void joinCollect() {
    JoinTask *t = clientRole.joinTask;
    if (!t) return;
    {
        Guard g(&net.lock);
        joinStopLocked();
    }
    // Resolving a name cannot be cut short: the thread then ends by itself
    // once the resolver answers, and finds itself stopped.
    if (t->stop.resolving.load())
        threadDetach(clientRole.joinThread);
    else
        threadJoin(clientRole.joinThread);
    clientRole.joinTask = nullptr;
    taskRelease(t);
}

} // namespace ll
