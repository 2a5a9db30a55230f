// The lobby core's one clock: every deadline, stall and lease is measured
// on nowMs(), so that time is an input of the core and not something it
// reaches for.
#pragma once

#include <cstdint>

namespace ll {

// Milliseconds on a clock that never goes back (the system's monotonic
// clock, unless a test holds it).
uint64_t nowMs();

// Sleeps until the clock reaches `until`, for at most sliceMs of real time
// (a thread that waits in slices checks between them whether to stop).
// While a test holds the clock it moves only by clockAdvance: the nap is
// then a short one, so the waiting thread sees the advance soon.
void clockNap(uint64_t until, int sliceMs);

// How long a wait for `until` may block in real time: 0 once the clock has
// reached it, else the time left but at most sliceMs. A thread that waits on
// its sockets in such slices reads the clock between them, so the clock (and
// a test that holds it) decides when its deadline has passed.
int clockSlice(uint64_t until, int sliceMs);

// A seam for the library's own tests, which link its objects: from
// clockHold on the clock stands still and moves only by clockAdvance, so a
// test steps over a ten-second deadline at once; clockRelease lets it run
// again from where it stands, never back. Not exported: no host reaches it.
void clockHold();
void clockAdvance(uint64_t ms);
void clockRelease();

} // namespace ll
