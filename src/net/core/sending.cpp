// p2pSend queues one message for the next p2pUpdate: a data frame in the
// client role's own queue while connected to a lobby host, otherwise a host
// frame in the queue of every addressed client. p2pBuffer tells the room left.
#include "net/core/client.h"
#include "net/core/lobby.h"
#include "net/core/relay.h"
#include "net/core/state.h"

#include <cstring>

namespace ll {

namespace {

void sendAsClient(uint8_t msgId, uint8_t receiver, const char *text, size_t length) {
    size_t size = dataFrameSize(length);
    // The queue holds less than QueueCapacity bytes.
    uint8_t *at = nullptr;
    if (size < QueueCapacity)
        at = queueReserve(&clientRole.queue, static_cast<uint32_t>(size), QueueCapacity - 1);
    if (at) {
        writeDataFrame(at, msgId, receiver, text, length);
        return;
    }
    // Overflow: the connection is given up (a join under way is stopped),
    // its queued bytes stay as they are; its keys go with it.
    sockClose(clientRole.socket);
    clientRole.socket = InvalidSocket;
    linkFree(&clientRole.link);
    joinStopLocked();
    clientRole.awaitingAdmission = false;
    inboxPushText(&net.inbox, 0, MsgError, OverflowNotice, sizeof OverflowNotice - 1);
    setMode(Idle);
}

void sendAsLobbyHost(uint8_t msgId, uint8_t receiver, const char *text, size_t length) {
    size_t size = hostFrameSize(length);
    for (ClientRecord *r = relay.clients; r; r = r->next) {
        if (receiver != BroadcastId && r->id != receiver) continue;
        // A frame is queued when it is shorter than a client's receive
        // buffer and fits the relay room: a member whose queue holds relayed
        // traffic for a moment is not dropped for a chat line. p2pBuffer
        // still answers from QueueCapacity, for applications that pace by it.
        uint8_t *at = nullptr;
        if (size < QueueCapacity)
            at = recordQueueReserve(r, static_cast<uint32_t>(size), RelayRoom);
        if (at)
            writeHostFrame(at, HostId, msgId, receiver, text, length);
        else
            markFailed(r);
    }
}

} // namespace

void messageSend(uint8_t msgId, uint8_t receiver, const char *text, size_t length) {
    // A 0 in a frame's header would end the frame there: the receiver would
    // read the text as a header and route or report it wrongly. Such a
    // message cannot be framed and is not sent, like an empty one; nor is
    // one that would pass for the library's own notices.
    if (length == 0 || msgId == 0 || isNoticeId(msgId)) return;
    Guard g(&net.lock);
    // The path follows the connections, not the mode: a client-role
    // connection, or a join that will make one, takes the message; without
    // one it goes to the admitted members, whom a search admits in any mode
    // (an idle library that searched, a client whose connection was lost).
    // With no member it goes nowhere.
    if (clientRole.socket != InvalidSocket || clientRole.joining) {
        // A receiver of 0 would end the frame in its header.
        if (receiver != 0) sendAsClient(msgId, receiver, text, length);
    } else {
        sendAsLobbyHost(msgId, receiver, text, length); // no member has id 0
    }
}

int32_t messageRoom(int32_t id) {
    Guard g(&net.lock);
    if (net.mode == Lobby) {
        ClientRecord *r = findClientBySignedId(id);
        if (r && r->queue.length < QueueCapacity)
            return static_cast<int32_t>(QueueCapacity - r->queue.length);
    } else if (net.mode == Client) {
        return static_cast<int32_t>(QueueCapacity - clientRole.queue.length);
    }
    return 0;
}

} // namespace ll
