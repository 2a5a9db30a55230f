// The client role: one connection to a lobby host, opened by p2pConnect with
// the handshake, then pumped by p2pUpdate (send the queue once, receive once,
// hand every complete frame to the inbox).
#include "net/state.h"

#include <cstring>

namespace ll {

namespace {

// The connection to the lobby host is gone: one notice, and nothing more
// until the host application disconnects.
void connectionLost() {
    sockClose(net.connSocket);
    net.connSocket = InvalidSocket;
    inboxPushText(&net.inbox, 0, MsgError, LossNotice, sizeof LossNotice - 1);
}

void deliver(const uint8_t *frame, size_t length) {
    // [sender][message id][receiver][text][0]; a shorter frame carries no
    // defined fields and is dropped.
    if (length < 4) return;
    inboxPushText(&net.inbox, frame[0], frame[1], reinterpret_cast<const char *>(frame + 3),
                  length - 4);
}

// Sends the handshake (the name and its 0) on the still blocking socket,
// pausing after every send that took something. Returns the bytes sent.
size_t sendHandshake(Socket s, const char *user, int32_t *calls) {
    size_t total = std::strlen(user) + 1, sent = 0;
    *calls = 0;
    while (sent < total) {
        int n = sockSend(s, user + sent, static_cast<int>(total - sent));
        if (n <= 0) break; // a blocking socket: any outcome but bytes ends it
        ++*calls;
        sent += static_cast<size_t>(n);
        sleepMs(ClientHandshakePauseMs);
    }
    return sent;
}

} // namespace

void clientPump() {
    if (net.connSocket == InvalidSocket) return;
    if (net.sendLength > 0) {
        int m = sockSend(net.connSocket, net.sendQueue, net.sendLength);
        if (m > 0) {
            net.sendLength -= m;
            std::memmove(net.sendQueue, net.sendQueue + m, static_cast<size_t>(net.sendLength));
        } else if (m != IoAgain) {
            return connectionLost();
        }
    }
    if (inboxFull(&net.inbox)) return; // the lobby host waits in TCP meanwhile
    int n = sockRecv(net.connSocket, net.scratch, static_cast<int>(QueueCapacity));
    if (n == IoAgain) return;
    if (n <= 0) return connectionLost(); // closed or failed
    const uint8_t *in = net.scratch;
    size_t left = static_cast<size_t>(n);
    for (;;) {
        const uint8_t *frame = nullptr;
        size_t length = 0;
        FrameStatus st = frameReaderNext(&net.clientReader, &in, &left, &frame, &length);
        if (st == FrameNone) return;
        if (st == FrameTooLong) return connectionLost();
        deliver(frame, length);
    }
}

ConnectOutcome clientConnect(const char *address, const char *user) {
    ConnectOutcome out = {Connected, openingRefusal(user), false, 0};
    if (out.refusal != OpenAllowed) {
        out.step = ConnectNotAllowed;
        return out;
    }

    struct addrinfo *list = nullptr;
    if (resolveTcp(address, LobbyService.text, &list) != 0) {
        out.step = ConnectResolveFailed;
        return out;
    }
    Socket s = InvalidSocket;
    for (const struct addrinfo *ai = list; ai; ai = resolveNext(ai)) {
        s = sockOpenFor(ai);
        if (s == InvalidSocket) {
            resolveFree(list);
            out.step = ConnectSocketFailed;
            return out;
        }
        if (sockConnect(s, ai, ConnectTimeoutMs)) break;
        sockClose(s);
        s = InvalidSocket;
    }
    resolveFree(list);
    if (s == InvalidSocket) {
        out.step = ConnectFailed;
        return out;
    }
    // Without no-delay the client only sends a little later, and without
    // keep-alive a vanished lobby host is only noticed once something is
    // sent to it: neither failure is worth giving the connection up.
    (void)sockSetNoDelay(s);
    (void)sockSetKeepAlive(s, KeepAliveIdleS, KeepAliveProbeS, KeepAliveProbes);

    out.handshakeTried = true;
    bool whole = sendHandshake(s, user, &out.handshakeSends) == std::strlen(user) + 1;
    // The pump must never block on the connection: one that stays blocking
    // is given up as a failed connect.
    if (!whole || !sockSetNonBlocking(s)) {
        sockClose(s);
        out.step = whole ? ConnectFailed : ConnectHandshakeFailed;
        return out;
    }
    setOwnName(user);
    {
        Guard g(&net.lock);
        net.connSocket = s;
        // A new connection starts clean, also after an overflow that left
        // the last connection's bytes behind.
        net.sendLength = 0;
        net.clientReader.count = 0;
    }
    setMode(Client);
    return out;
}

} // namespace ll
