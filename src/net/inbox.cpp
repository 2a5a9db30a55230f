#include "net/inbox.h"

#include "hostapi/argmap.h"
#include "net/state.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace ll {

InboxEntry *inboxEntryNew(uint8_t sender, uint8_t msgId, const char *text, size_t length) {
    InboxEntry *e = static_cast<InboxEntry *>(std::malloc(offsetof(InboxEntry, text) + length + 1));
    e->next = nullptr;
    e->sender = sender;
    e->msgId = msgId;
    e->length = static_cast<uint32_t>(length);
    std::memcpy(e->text, text, length);
    e->text[length] = '\0';
    return e;
}

void inboxPush(Inbox *inbox, InboxEntry *entry) {
    entry->next = nullptr;
    if (inbox->tail)
        inbox->tail->next = entry;
    else
        inbox->head = entry;
    inbox->tail = entry;
    ++inbox->count;
}

void inboxPushText(Inbox *inbox, uint8_t sender, uint8_t msgId, const char *text, size_t length) {
    inboxPush(inbox, inboxEntryNew(sender, msgId, text, length));
}

InboxEntry *inboxPop(Inbox *inbox) {
    InboxEntry *e = inbox->head;
    if (!e) return nullptr;
    inbox->head = e->next;
    if (!inbox->head) inbox->tail = nullptr;
    --inbox->count;
    e->next = nullptr;
    return e;
}

void inboxClear(Inbox *inbox) {
    while (InboxEntry *e = inboxPop(inbox)) std::free(e);
}

} // namespace ll

using namespace ll;

extern "C" int32_t p2pRecv(ArgNode *map) {
    InboxEntry *e;
    {
        Guard g(&net.lock);
        e = inboxPop(&net.inbox);
    }
    if (!e) {
        writeInt(map, "result", 0);
        return 0;
    }
    writeInt(map, "result", 1);
    writeInt(map, "usr", static_cast<int8_t>(e->sender));
    writeInt(map, "id", static_cast<int8_t>(e->msgId));
    writeString(map, "msg", e->text);
    std::free(e);
    return 1;
}
