// Sending a whole request on a non-blocking stream before a deadline, for
// the threads that talk to a server of their own (the home router's HTTP
// service, the relay server): each waits for room in slices, between which
// it checks whether the lobby has closed.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ll {

// Sends all `length` bytes of `data` on `s`, waiting for room at most
// `sliceMs` at a time, until `deadline` on the core clock; gives up between
// slices once *stop is set (null: the caller goes on whatever happens, as a
// thread does while it undoes what it asked for). True when all of it went.
bool sendAllUntil(Socket s, const void *data, size_t length, uint64_t deadline, int sliceMs,
                  const std::atomic<int> *stop);

} // namespace ll
