// Every allocation of the library goes through here, on the C runtime's
// malloc and free: the host application shares that heap and frees what the library adds
// to its dictionaries. Running out of memory has one outcome: the process
// ends at once (abort), so nothing is ever written through a null pointer
// and no record is left half-built. Every buffer the library holds is
// bounded by the constants in limits.h, so only a process that is out of
// memory for other reasons can get there.
#pragma once

#include <cstddef>

namespace ll {

void *heapAlloc(size_t size);               // never null
void *heapZeroed(size_t size);              // never null, zero-filled
void *heapResize(void *block, size_t size); // never null; keeps the contents
void heapFree(void *block);                 // null is fine
// The one outcome of memory that cannot be had, also outside malloc (the
// secret's stretching): the process ends with a line on stderr.
[[noreturn]] void outOfMemory(size_t size);

template <typename T> T *heapNew() { return static_cast<T *>(heapZeroed(sizeof(T))); }

// Invariant checks: active in the checked (sanitizer) builds, compiled out
// otherwise. A broken invariant ends the process with its place and text.
#ifdef LL_CHECKS
[[noreturn]] void invariantBroken(const char *what, const char *file, int line);
#define LL_ASSERT(cond) ((cond) ? (void)0 : ::ll::invariantBroken(#cond, __FILE__, __LINE__))
#else
#define LL_ASSERT(cond) ((void)0)
#endif

} // namespace ll
