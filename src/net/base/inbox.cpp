#include "net/base/inbox.h"

#include "platform/heap.h"

#include <cstddef>
#include <cstring>

namespace ll {

namespace {
void fill(InboxEntry *e, uint8_t sender, uint8_t msgId, const char *text, size_t length) {
    e->next = nullptr;
    e->sender = sender;
    e->msgId = msgId;
    e->length = static_cast<uint32_t>(length);
    std::memcpy(e->text, text, length);
    e->text[length] = '\0';
}
} // namespace

InboxEntry *inboxEntryNew(uint8_t sender, uint8_t msgId, const char *text, size_t length) {
    size_t room = length > ShortText ? length : ShortText;
    InboxEntry *e = static_cast<InboxEntry *>(heapAlloc(offsetof(InboxEntry, text) + room + 1));
    fill(e, sender, msgId, text, length);
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
    InboxEntry *e = inbox->spares;
    if (e && length <= ShortText) {
        inbox->spares = e->next;
        --inbox->spareCount;
        fill(e, sender, msgId, text, length);
    } else {
        e = inboxEntryNew(sender, msgId, text, length);
    }
    inboxPush(inbox, e);
}

void inboxRecycle(Inbox *inbox, InboxEntry *entry) {
    if (!entry) return;
    if (entry->length > ShortText || inbox->spareCount >= SpareEntries)
        return inboxEntryFree(entry);
    entry->next = inbox->spares;
    inbox->spares = entry;
    ++inbox->spareCount;
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
    while (InboxEntry *e = inbox->spares) {
        inbox->spares = e->next;
        inboxEntryFree(e);
    }
    inbox->spareCount = 0;
    inboxEntryFree(inbox->taken);
    inbox->taken = nullptr;
}

} // namespace ll
