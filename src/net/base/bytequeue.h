// A byte queue: the bytes waiting to go on a connection (or, for a held
// sender, to be routed), oldest first.
#pragma once

#include <cstdint>

namespace ll {

// Bytes waiting, oldest first at data[start]. The buffer is allocated on the
// first bytes and grows by doubling; once empty, one that a burst grew
// beyond QueueCapacity is given back.
struct ByteQueue {
    uint8_t *data = nullptr;
    uint32_t start = 0;    // offset of the oldest unsent byte
    uint32_t length = 0;   // unsent bytes
    uint32_t capacity = 0; // allocated size of data
};

// A queue's first buffer: some dozens of chat lines fit it, so a member that
// only chats never needs more; from there it doubles.
const uint32_t QueueFirstCapacity = 4096;

// Reserves `n` bytes at the end of a queue and returns where to write them,
// or null when the queue would then hold more than `room` bytes.
uint8_t *queueReserve(ByteQueue *q, uint32_t n, uint32_t room);
// Drops `n` bytes from the front of a queue.
void queueConsume(ByteQueue *q, uint32_t n);
// Gives back the buffer of an empty queue that a burst grew beyond the
// everyday size.
void queueTrim(ByteQueue *q);
// Frees a queue's buffer and empties it.
void queueFree(ByteQueue *q);

} // namespace ll
