// The client role: one connection to a lobby host, opened by p2pConnect with
// the handshake, then pumped by p2pUpdate (send the queue once, receive once,
// hand every complete frame to the inbox).
#include "hostapi/argmap.h"
#include "net/state.h"

#include <cstdlib>
#include <cstring>

using namespace ll;

namespace {

const int HandshakePauseMs = 100;

// The connection to the lobby host is gone: one notice, and nothing more
// until the host application disconnects.
void connectionLost() {
    sockClose(net.connSocket);
    net.connSocket = InvalidSocket;
    inboxPushText(&net.inbox, 0, MsgError, "error", 5);
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
        if (n <= 0) break;
        ++*calls;
        sent += static_cast<size_t>(n);
        sleepMs(HandshakePauseMs);
    }
    return sent;
}

int32_t fail(ArgNode *map, const char *error) {
    writeInt(map, "result", 0);
    writeString(map, "error", error);
    return 0;
}

} // namespace

namespace ll {

void clientPump() {
    if (net.connSocket == InvalidSocket) return;
    if (net.sendLength > 0) {
        int m = sockSend(net.connSocket, net.sendQueue, net.sendLength);
        if (m > 0) {
            net.sendLength -= m;
            std::memmove(net.sendQueue, net.sendQueue + m, static_cast<size_t>(net.sendLength));
        } else if (m == 0 || !sockWouldBlock()) {
            return connectionLost();
        }
    }
    int n = sockRecv(net.connSocket, net.scratch, static_cast<int>(QueueCapacity));
    if (n == 0 || (n < 0 && !sockWouldBlock())) return connectionLost();
    if (n < 0) return;
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

} // namespace ll

extern "C" int32_t p2pConnect(ArgNode *map) {
    char *user = beginOpening(map);
    if (!user) return 0;

    char *address = mapGetString(map, "address");
    struct addrinfo *list = nullptr;
    int rc = resolveTcp(address, LobbyService, &list);
    std::free(address);
    if (rc != 0) {
        std::free(user);
        return fail(map, "getaddrinfo");
    }
    Socket s = InvalidSocket;
    for (const struct addrinfo *ai = list; ai; ai = resolveNext(ai)) {
        s = sockOpenFor(ai);
        if (s == InvalidSocket) {
            resolveFree(list);
            std::free(user);
            return fail(map, "socket");
        }
        if (sockConnect(s, ai)) break;
        sockClose(s);
        s = InvalidSocket;
    }
    resolveFree(list);
    if (s == InvalidSocket) {
        std::free(user);
        return fail(map, "couldn't connect");
    }
    sockSetNoDelay(s);

    int32_t calls = 0;
    bool whole = sendHandshake(s, user, &calls) == std::strlen(user) + 1;
    writeInt(map, "pkg", calls);
    if (!whole) {
        sockClose(s);
        std::free(user);
        return fail(map, "failed to send user");
    }
    sockSetNonBlocking(s);
    setOwnName(user);
    {
        Guard g(&net.lock);
        net.connSocket = s;
        // A new connection starts clean, also after an overflow that left
        // the last connection's bytes behind.
        net.sendLength = 0;
        net.clientReader.count = 0;
    }
    std::free(user);
    net.state = Client;
    writeInt(map, "result", 1);
    return 1;
}
