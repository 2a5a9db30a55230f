// p2pSend queues one message for the next p2pUpdate: a data frame in the
// client role's own queue while connected to a lobby host, otherwise a host
// frame in the queue of every addressed client. p2pBuffer tells the room left.
#include "hostapi/argmap.h"
#include "net/state.h"

#include <cstdlib>
#include <cstring>

using namespace ll;

namespace {

void sendAsClient(uint8_t msgId, uint8_t receiver, const char *text, size_t length) {
    size_t size = dataFrameSize(length);
    if (static_cast<size_t>(net.sendLength) + size < QueueCapacity) {
        writeDataFrame(net.sendQueue + net.sendLength, msgId, receiver, text, length);
        net.sendLength += static_cast<int32_t>(size);
        return;
    }
    // Overflow: the connection is given up, its queued bytes stay as they are.
    sockClose(net.connSocket);
    net.connSocket = InvalidSocket;
    inboxPushText(&net.inbox, 0, MsgError, "overflow", 8);
    net.state = Idle;
}

void sendAsLobbyHost(uint8_t msgId, uint8_t receiver, const char *text, size_t length) {
    size_t size = hostFrameSize(length);
    for (ClientRecord *r = net.clients; r; r = r->next) {
        if (receiver != BroadcastId && r->id != receiver) continue;
        uint8_t *at = nullptr;
        if (r->queue.length + size < QueueCapacity)
            at = recordQueueReserve(r, static_cast<uint32_t>(size), RelayRoom);
        if (at)
            writeHostFrame(at, HostId, msgId, receiver, text, length);
        else
            r->failed = 1;
    }
}

} // namespace

extern "C" int32_t p2pSend(ArgNode *map) {
    char *msg = mapGetString(map, "msg");
    if (!msg) return 0;
    size_t length = std::strlen(msg);
    uint8_t msgId = static_cast<uint8_t>(mapGetInt(map, "id"));
    uint8_t receiver = static_cast<uint8_t>(mapGetInt(map, "rcv"));
    if (length > 0) {
        Guard g(&net.lock);
        if (net.connSocket != InvalidSocket)
            sendAsClient(msgId, receiver, msg, length);
        else
            sendAsLobbyHost(msgId, receiver, msg, length);
    }
    std::free(msg);
    return 0;
}

extern "C" int32_t p2pBuffer(ArgNode *map) {
    int32_t res = 0;
    int32_t id = mapGetInt(map, "id");
    {
        Guard g(&net.lock);
        if (net.state == Lobby) {
            ClientRecord *r = findClientBySignedId(id);
            if (r && r->queue.length < QueueCapacity)
                res = static_cast<int32_t>(QueueCapacity - r->queue.length);
        } else if (net.state == Client) {
            res = static_cast<int32_t>(QueueCapacity) - net.sendLength;
        }
    }
    writeInt(map, "res", res);
    return res;
}
