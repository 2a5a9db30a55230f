#include "net/inbox.h"

#include "platform/heap.h"

#include <cstddef>
#include <cstring>

namespace ll {

InboxEntry *inboxEntryNew(uint8_t sender, uint8_t msgId, const char *text, size_t length) {
    InboxEntry *e = static_cast<InboxEntry *>(heapAlloc(offsetof(InboxEntry, text) + length + 1));
    e->next = nullptr;
    e->sender = sender;
    e->msgId = msgId;
    e->length = static_cast<uint32_t>(length);
    std::memcpy(e->text, text, length);
    e->text[length] = '\0';
    return e;
}

void inboxEntryFree(InboxEntry *entry) { heapFree(entry); }

void inboxPush(Inbox *inbox, InboxEntry *entry) {
    entry->next = nullptr;
    if (inbox->tail)
        inbox->tail->next = entry;
    else
        inbox->head = entry;
    inbox->tail = entry;
    ++inbox->count;
    inbox->bytes += entry->length;
}

void inboxPushText(Inbox *inbox, uint8_t sender, uint8_t msgId, const char *text, size_t length) {
    inboxPush(inbox, inboxEntryNew(sender, msgId, text, length));
}

bool inboxFull(const Inbox *inbox) {
    return inbox->count >= InboxMaxEntries || inbox->bytes >= InboxMaxBytes;
}

InboxEntry *inboxPop(Inbox *inbox) {
    InboxEntry *e = inbox->head;
    if (!e) return nullptr;
    inbox->head = e->next;
    if (!inbox->head) inbox->tail = nullptr;
    --inbox->count;
    inbox->bytes -= e->length;
    e->next = nullptr;
    return e;
}

void inboxClear(Inbox *inbox) {
    while (InboxEntry *e = inboxPop(inbox)) inboxEntryFree(e);
}

} // namespace ll
