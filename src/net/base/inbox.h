// The inbox: messages and notices waiting for p2pRecv, oldest first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/base/limits.h"

namespace ll {

// One message or notice. `text` holds `length` bytes and a terminating 0.
// An entry for a text of up to ShortText characters has room for any such
// text, so that it can be used again for the next one; a longer one is
// sized to its text.
struct InboxEntry {
    InboxEntry *next;
    uint8_t sender; // member id; HostId for the lobby host; 0 for local notices
    uint8_t msgId;
    uint32_t length;
    char text[1];
};

const size_t ShortText = 129;
// Short entries the host application has given back, kept for the next
// messages instead of one allocation each; never more than this many.
const uint32_t SpareEntries = 1024;

struct Inbox {
    InboxEntry *head;
    InboxEntry *tail; // kept so that appending never walks the list
    uint32_t count;
    uint32_t bytes;     // text bytes of all entries
    InboxEntry *spares; // short entries to use again
    uint32_t spareCount;
    InboxEntry *taken; // the entry the host application read last: its text
                       // is in use until the next take
};

// Allocates an entry holding `text` (`length` bytes, 0 bytes not allowed).
InboxEntry *inboxEntryNew(uint8_t sender, uint8_t msgId, const char *text, size_t length);
void inboxEntryFree(InboxEntry *entry);
// Appends an entry at the tail. Callers hold the state lock.
void inboxPush(Inbox *inbox, InboxEntry *entry);
// Builds the entry, from the spares when it is short, and appends it.
void inboxPushText(Inbox *inbox, uint8_t sender, uint8_t msgId, const char *text, size_t length);
// True while the inbox holds InboxMaxEntries entries or InboxMaxBytes of
// text: then nothing more is read from the network.
bool inboxFull(const Inbox *inbox);
// Unlinks the oldest entry, or returns null.
InboxEntry *inboxPop(Inbox *inbox);
// An entry the host application is done with: kept as a spare when it is
// short and there are few, else freed. Callers hold the state lock.
void inboxRecycle(Inbox *inbox, InboxEntry *entry);
// Frees every entry and spare, and the entry read last.
void inboxClear(Inbox *inbox);

} // namespace ll
