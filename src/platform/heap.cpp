#include "platform/heap.h"

#include <cstdio>
#include <cstdlib>

namespace ll {

void outOfMemory(size_t size) {
    std::fprintf(stderr, "lobbylink: out of memory (%lu bytes)\n",
                 static_cast<unsigned long>(size));
    std::abort();
}

void *heapAlloc(size_t size) {
    void *p = std::malloc(size ? size : 1);
    if (!p) outOfMemory(size);
    return p;
}

void *heapZeroed(size_t size) {
    void *p = std::calloc(1, size ? size : 1);
    if (!p) outOfMemory(size);
    return p;
}

void *heapResize(void *block, size_t size) {
    void *p = std::realloc(block, size ? size : 1);
    if (!p) outOfMemory(size);
    return p;
}

void heapFree(void *block) { std::free(block); }

#ifdef LL_CHECKS
void invariantBroken(const char *what, const char *file, int line) {
    std::fprintf(stderr, "lobbylink: invariant broken at %s:%d: %s\n", file, line, what);
    std::abort();
}
#endif

} // namespace ll
