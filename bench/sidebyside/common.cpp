#include "sbs.h"

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace sbs {

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool waitSeat(Control *c, int index) {
    int64_t end = nowNs() + 60 * 1000000000LL;
    while (c->seat.load() <= index) {
        if (c->phase.load() == Exit || nowNs() > end) return false;
        usleep(200);
    }
    return true;
}

Inbox::~Inbox() { std::free(entries); }

void Inbox::push(int from, int id, const char *text, size_t length) {
    if (taken == count) {
        // Everything before was taken: start over in the same storage.
        arena.clear();
        count = taken = 0;
    }
    if (count == capacity) {
        capacity = capacity ? 2 * capacity : 256;
        entries = static_cast<Entry *>(std::realloc(entries, capacity * sizeof(Entry)));
    }
    entries[count++] = Entry{from, id, arena.size(), length};
    arena.append(text, length);
}

bool Inbox::next(Message *m) {
    if (taken == count) return false;
    const Entry &e = entries[taken++];
    m->from = e.from;
    m->id = e.id;
    m->text = arena.data() + e.at;
    m->length = e.length;
    return true;
}

} // namespace sbs
