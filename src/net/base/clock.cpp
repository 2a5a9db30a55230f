#include "net/base/clock.h"

#include "platform/platform.h"

#include <atomic>

namespace ll {

namespace {
// Read by every thread of the library, written by a test's.
std::atomic<bool> held{false};
std::atomic<uint64_t> heldAt{0}; // the time while held
std::atomic<uint64_t> ahead{0};  // how far the clock runs ahead of the system's
} // namespace

uint64_t nowMs() {
    if (held.load(std::memory_order_acquire)) return heldAt.load();
    return monotonicMs() + ahead.load();
}

void clockNap(uint64_t until, int sliceMs) {
    if (held.load(std::memory_order_acquire)) return sleepMs(1);
    int slice = clockSlice(until, sliceMs);
    if (slice > 0) sleepMs(slice);
}

int clockSlice(uint64_t until, int sliceMs) {
    uint64_t now = nowMs();
    if (now >= until) return 0;
    return until - now < static_cast<uint64_t>(sliceMs) ? static_cast<int>(until - now) : sliceMs;
}

void clockHold() {
    heldAt.store(nowMs());
    held.store(true, std::memory_order_release);
}

void clockAdvance(uint64_t ms) {
    if (held.load())
        heldAt.fetch_add(ms);
    else
        ahead.fetch_add(ms);
}

void clockRelease() {
    if (!held.load()) return;
    uint64_t at = heldAt.load(), system = monotonicMs();
    ahead.store(at > system ? at - system : 0);
    held.store(false, std::memory_order_release);
}

} // namespace ll
