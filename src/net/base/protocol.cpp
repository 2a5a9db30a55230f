#include "net/base/protocol.h"

#include "platform/heap.h"

#include <cstring>

namespace ll {

void writeDataFrame(uint8_t *out, uint8_t msgId, uint8_t receiver, const char *text,
                    size_t textLength) {
    out[0] = msgId;
    out[1] = receiver;
    std::memcpy(out + 2, text, textLength);
    out[2 + textLength] = 0;
}

void writeHostFrame(uint8_t *out, uint8_t sender, uint8_t msgId, uint8_t receiver, const char *text,
                    size_t textLength) {
    out[0] = sender;
    writeDataFrame(out + 1, msgId, receiver, text, textLength);
}

bool readDataFrame(const uint8_t *frame, size_t length, FrameFields *out) {
    if (length < dataFrameSize(0)) return false;
    out->sender = 0;
    out->msgId = frame[0];
    out->receiver = frame[1];
    out->text = reinterpret_cast<const char *>(frame + 2);
    out->textLength = length - dataFrameSize(0);
    return true;
}

bool readHostFrame(const uint8_t *frame, size_t length, FrameFields *out) {
    if (length < hostFrameSize(0) || !readDataFrame(frame + 1, length - 1, out)) return false;
    out->sender = frame[0];
    return true;
}

void frameReaderInit(FrameReader *r, uint32_t limit) {
    r->buffer = nullptr;
    r->count = 0;
    r->capacity = 0;
    r->limit = limit;
}

void frameReaderFree(FrameReader *r) {
    heapFree(r->buffer);
    frameReaderInit(r, r->limit);
}

namespace {
// A reader's first buffer: a chat line that arrives in pieces fits it; from
// there the buffer doubles, up to the frame limit.
const uint32_t ReaderFirstCapacity = 256;

// Appends bytes to the unfinished frame; false when they pass `room`.
bool holdUnfinished(FrameReader *r, const uint8_t *bytes, size_t n, size_t room) {
    if (r->count + n > room) return false;
    uint32_t need = static_cast<uint32_t>(r->count + n);
    if (need > r->capacity) {
        uint32_t cap = r->capacity ? r->capacity : ReaderFirstCapacity;
        while (cap < need) cap *= 2;
        if (cap > r->limit + 1) cap = r->limit + 1;
        r->buffer = static_cast<uint8_t *>(heapResize(r->buffer, cap));
        r->capacity = cap;
    }
    std::memcpy(r->buffer + r->count, bytes, n);
    r->count = need;
    return true;
}
} // namespace

FrameStatus frameReaderNext(FrameReader *r, const uint8_t **input, size_t *inputLength,
                            const uint8_t **frame, size_t *frameLength) {
    if (*inputLength == 0) return FrameNone;
    const uint8_t *in = *input;
    const uint8_t *zero = static_cast<const uint8_t *>(std::memchr(in, 0, *inputLength));
    if (!zero) {
        // The 0 byte will come later: keep what we have, within the limit.
        bool ok = holdUnfinished(r, in, *inputLength, r->limit);
        *input += *inputLength;
        *inputLength = 0;
        return ok ? FrameNone : FrameTooLong;
    }
    size_t taken = static_cast<size_t>(zero - in) + 1;
    *input += taken;
    *inputLength -= taken;
    if (r->count == 0) {
        if (taken - 1 > r->limit) return FrameTooLong;
        *frame = in;
        *frameLength = taken;
        return FrameComplete;
    }
    // The frame began in an earlier chunk: finish it in the buffer.
    if (!holdUnfinished(r, in, taken - 1, r->limit) || !holdUnfinished(r, zero, 1, r->limit + 1))
        return FrameTooLong;
    *frame = r->buffer;
    *frameLength = r->count;
    r->count = 0;
    return FrameComplete;
}

SplitEnd splitFrames(FrameReader *r, const uint8_t *input, size_t inputLength, FrameHandler onFrame,
                     void *context, SplitStop *stop) {
    for (;;) {
        const uint8_t *frame = nullptr;
        size_t length = 0;
        FrameStatus st = frameReaderNext(r, &input, &inputLength, &frame, &length);
        if (st == FrameNone) return SplitUsedUp;
        if (st == FrameTooLong) return SplitTooLong;
        if (!onFrame(context, frame, length)) {
            *stop = SplitStop{frame, length, input, inputLength};
            return SplitRefused;
        }
    }
}

SplitEnd receiveFrames(Socket s, uint8_t *buffer, uint32_t budget, FrameReader *r,
                       FrameHandler onFrame, void *context, SplitStop *stop) {
    int n = sockRecv(s, buffer, static_cast<int>(budget));
    if (n == IoAgain) return SplitNothing;
    if (n <= 0) return SplitClosed;
    return splitFrames(r, buffer, static_cast<size_t>(n), onFrame, context, stop);
}

} // namespace ll
