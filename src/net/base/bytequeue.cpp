#include "net/base/bytequeue.h"

#include "net/base/limits.h"
#include "platform/heap.h"

#include <cstring>

namespace ll {

uint8_t *queueReserve(ByteQueue *q, uint32_t n, uint32_t room) {
    if (q->length + n > room) return nullptr;
    if (q->start + q->length + n > q->capacity) {
        if (q->length + n <= q->capacity) {
            std::memmove(q->data, q->data + q->start, q->length);
        } else {
            uint32_t cap = q->capacity ? q->capacity : QueueFirstCapacity;
            while (cap < q->length + n) cap *= 2;
            uint8_t *grown = static_cast<uint8_t *>(heapAlloc(cap));
            if (q->length) std::memcpy(grown, q->data + q->start, q->length);
            heapFree(q->data);
            q->data = grown;
            q->capacity = cap;
        }
        q->start = 0;
    }
    uint8_t *at = q->data + q->start + q->length;
    q->length += n;
    return at;
}

void queueConsume(ByteQueue *q, uint32_t n) {
    LL_ASSERT(n <= q->length);
    q->start += n;
    q->length -= n;
    if (q->length == 0) {
        q->start = 0;
        queueTrim(q);
    }
}

void queueTrim(ByteQueue *q) {
    if (q->length == 0 && q->capacity > QueueCapacity) queueFree(q);
}

void queueFree(ByteQueue *q) {
    heapFree(q->data);
    *q = ByteQueue();
}

} // namespace ll
