// The record link (link.h).
#include "net/secure/link.h"

#include <cstring>

namespace ll {

void recordLengthWrite(uint8_t *at, size_t length) {
    at[0] = static_cast<uint8_t>(length >> 8);
    at[1] = static_cast<uint8_t>(length);
}

uint32_t recordLengthRead(const uint8_t *at) { return static_cast<uint32_t>(at[0]) << 8 | at[1]; }

void linkFree(RecordLink *l) {
    keyWipe(&l->keys);
    queueFree(&l->out);
    queueFree(&l->in);
    l->sealed = false;
}

void linkMove(RecordLink *to, RecordLink *from) {
    if (to == from) return;
    linkFree(to);
    to->sealed = from->sealed;
    keyMove(&to->keys, &from->keys);
    to->out = from->out;
    to->in = from->in;
    from->out = ByteQueue();
    from->in = ByteQueue();
    from->sealed = false;
}

bool recordSeal(NoiseCipher *c, const uint8_t *data, size_t length, uint8_t *out) {
    recordLengthWrite(out, length + NoiseTagLength);
    return noiseSeal(c, data, length, out + RecordHeader);
}

LinkSent linkSend(Socket s, RecordLink *l, const uint8_t *data, uint32_t length) {
    LinkSent sent = {0, false, false};
    if (!l->sealed) {
        if (length == 0) return sent;
        int n = sockSend(s, data, static_cast<int>(length));
        sent.taken = n > 0 ? static_cast<uint32_t>(n) : 0;
        sent.tookBytes = n > 0;
        sent.failed = n <= 0 && n != IoAgain;
        return sent;
    }
    for (;;) {
        if (l->out.length == 0) {
            if (sent.taken == length) return sent;
            uint32_t n = length - sent.taken;
            if (n > RecordPayloadMax) n = RecordPayloadMax;
            uint8_t *at = queueReserve(&l->out, n + RecordHeader + NoiseTagLength, RecordMax);
            if (!recordSeal(&l->keys.send, data + sent.taken, n, at)) {
                sent.failed = true; // the nonces are spent: the connection ends
                return sent;
            }
            sent.taken += n;
        }
        int m = sockSend(s, l->out.data + l->out.start, static_cast<int>(l->out.length));
        if (m <= 0) {
            sent.failed = m != IoAgain;
            return sent;
        }
        sent.tookBytes = true;
        queueConsume(&l->out, static_cast<uint32_t>(m));
        if (l->out.length > 0) return sent; // the connection takes no more now
    }
}

bool linkOpen(RecordLink *l, const uint8_t *in, size_t length, uint8_t *plain,
              size_t *plainLength) {
    *plainLength = 0;
    uint8_t *at = queueReserve(&l->in, static_cast<uint32_t>(length),
                               static_cast<uint32_t>(RecordMax + length));
    if (length) std::memcpy(at, in, length);
    while (l->in.length >= RecordHeader) {
        const uint8_t *record = l->in.data + l->in.start;
        uint32_t size = recordLengthRead(record);
        if (size < NoiseTagLength || size > RecordPayloadMax + NoiseTagLength) return false;
        if (l->in.length < RecordHeader + size) break;
        if (!noiseOpen(&l->keys.receive, record + RecordHeader, size, plain + *plainLength))
            return false;
        *plainLength += size - NoiseTagLength;
        queueConsume(&l->in, RecordHeader + size);
    }
    queueTrim(&l->in);
    return true;
}

SplitEnd linkReceive(Socket s, RecordLink *l, uint8_t *scratch, uint8_t *plain, uint32_t budget,
                     FrameReader *r, FrameHandler onFrame, void *context, SplitStop *stop) {
    if (!l->sealed) return receiveFrames(s, scratch, budget, r, onFrame, context, stop);
    // What the link holds of an unfinished record opens with these bytes:
    // the receive leaves room for it in `plain`.
    static_assert(RecordMax < QueueCapacity / 2, "a receive has room beside an unfinished record");
    int n = sockRecv(s, scratch, static_cast<int>(budget - RecordMax));
    if (n == IoAgain) return SplitNothing;
    if (n <= 0) return SplitClosed;
    size_t opened = 0;
    if (!linkOpen(l, scratch, static_cast<size_t>(n), plain, &opened)) return SplitClosed;
    return splitFrames(r, plain, opened, onFrame, context, stop);
}

void linkLastWords(Socket s, RecordLink *l, const ByteQueue &q) {
    const uint8_t *data = q.data + q.start;
    uint32_t length = q.length;
    while (length > 0 || l->out.length > 0) {
        LinkSent sent = linkSend(s, l, data, length);
        if (sent.failed || !sent.tookBytes) break;
        data += sent.taken;
        length -= sent.taken;
    }
    sockFinish(s);
}

} // namespace ll
