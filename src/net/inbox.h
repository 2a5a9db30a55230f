// The inbox: messages and notices waiting for p2pRecv, oldest first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/limits.h"

namespace ll {

// One message or notice. Sized to its text: `text` holds `length` bytes and a
// terminating 0.
struct InboxEntry {
    InboxEntry *next;
    uint8_t sender;  // member id; HostId for the lobby host; 0 for local notices
    uint8_t msgId;
    uint32_t length;
    char text[1];
};

struct Inbox {
    InboxEntry *head;
    InboxEntry *tail; // kept so that appending never walks the list
    uint32_t count;
    uint32_t bytes; // text bytes of all entries
};

// Allocates an entry holding `text` (`length` bytes, 0 bytes not allowed).
InboxEntry *inboxEntryNew(uint8_t sender, uint8_t msgId, const char *text, size_t length);
void inboxEntryFree(InboxEntry *entry);
// Appends an entry at the tail. Callers hold the state lock.
void inboxPush(Inbox *inbox, InboxEntry *entry);
// Convenience: builds the entry and appends it.
void inboxPushText(Inbox *inbox, uint8_t sender, uint8_t msgId, const char *text, size_t length);
// True while the inbox holds InboxMaxEntries entries or InboxMaxBytes of
// text: then nothing more is read from the network.
bool inboxFull(const Inbox *inbox);
// Unlinks the oldest entry, or returns null.
InboxEntry *inboxPop(Inbox *inbox);
void inboxClear(Inbox *inbox);

} // namespace ll
