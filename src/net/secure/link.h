// The record link: how the bytes of one connection travel. On an open
// lobby's connection they go as they are; on a private lobby's, after the
// handshake (handshake.h), every byte goes in sealed records, each
// [length: 2 bytes, big-endian][sealed bytes], whose opened bytes are the
// frames of protocol.h as one stream. The 2-byte length, here and in the
// handshake's messages, is written by recordLengthWrite and read by
// recordLengthRead, nowhere else.
#pragma once

#include "net/base/bytequeue.h"
#include "net/base/limits.h"
#include "net/secure/noise.h"
#include "net/base/protocol.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

namespace ll {

const size_t RecordHeader = 2;
const size_t RecordPayloadMax = 16384;
const size_t RecordMax = RecordHeader + RecordPayloadMax + NoiseTagLength;

// The length in front of a record or a handshake message (at most 65535).
void recordLengthWrite(uint8_t *at, size_t length);
uint32_t recordLengthRead(const uint8_t *at);

// One connection's record layer; `sealed` is false on an open lobby's.
struct RecordLink {
    bool sealed = false;
    NoiseTransport keys = {};
    ByteQueue out; // the sealed record being sent
    ByteQueue in;  // received bytes of records not opened yet
};

void linkFree(RecordLink *l);
// `to` (freed first) takes over everything of `from`, keys and all; `from`
// is left an empty open link.
void linkMove(RecordLink *to, RecordLink *from);
// Seals `length` bytes (0 to RecordPayloadMax) into one record at `out`
// (length + RecordHeader + NoiseTagLength bytes); false once the nonce is spent.
bool recordSeal(NoiseCipher *c, const uint8_t *data, size_t length, uint8_t *out);

// What one send did: plaintext bytes taken from the caller's queue (sealed
// into a record or sent as they are), whether the connection took any byte,
// and whether it failed.
struct LinkSent {
    uint32_t taken;
    bool tookBytes;
    bool failed;
};
// Sends what the link holds and then `length` bytes of `data`, record by
// record, as far as the connection takes them without waiting.
LinkSent linkSend(Socket s, RecordLink *l, const uint8_t *data, uint32_t length);
// Opens every complete record of `in` (after what the link holds) into
// `plain` and gives the opened length; false for a record that is malformed,
// altered, replayed or reordered: the connection must end. `plain` has room
// for `length` + RecordMax bytes.
bool linkOpen(RecordLink *l, const uint8_t *in, size_t length, uint8_t *plain, size_t *plainLength);
// One non-blocking receive of at most `budget` bytes, opened and split into
// frames as receiveFrames does; `plain` has room for `budget` bytes.
SplitEnd linkReceive(Socket s, RecordLink *l, uint8_t *scratch, uint8_t *plain, uint32_t budget,
                     FrameReader *r, FrameHandler onFrame, void *context, SplitStop *stop);
// A connection's last words: the queued bytes `q` go out as far as the
// connection takes them without waiting (what it does not take is dropped
// with the connection), then its sending side ends, so the peer reads them
// before the end.
void linkLastWords(Socket s, RecordLink *l, const ByteQueue &q);

} // namespace ll
