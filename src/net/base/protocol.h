// The wire protocol between a lobby host and its clients.
//
// TCP on LobbyPort. A frame is a run of non-zero bytes ended by one 0 byte;
// there is no length field. The five layouts:
//   handshake    client -> lobby host  [user name][0]          (at most 64 bytes)
//   data frame   client -> lobby host  [message id][receiver][text][0]
//   host frame   lobby host -> client  [sender][message id][receiver][text][0]
//   join notice  lobby host -> client  [member id][126][255][member name][0]
//   leave notice lobby host -> client  [member id][127][255][member name][0]
// A message relayed by the lobby host is the sender's id followed by its data
// frame byte for byte.
#pragma once

#include "lobbylink/lobbylink.h"
#include "net/base/limits.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

namespace ll {

// Texts of the two local notices (sender 0, MsgError) in the inbox.
const char LossNotice[] = "error";        // the connection to the lobby host is gone
const char OverflowNotice[] = "overflow"; // a message did not fit the client's queue

// Message ids 125 to 127 (MsgError, MsgJoin, MsgLeave) are the library's
// own notices: no member may send them, so none can forge a join, a leave or
// a failure in another's inbox.
inline bool isNoticeId(uint8_t msgId) { return msgId >= MsgError && msgId <= MsgLeave; }

// Sizes of the frames below, the terminating 0 included; `textLength` excludes
// it. What they add to the text are the header's frame overheads.
inline size_t dataFrameSize(size_t textLength) { return textLength + LobbyClientFrameOverhead; }
inline size_t hostFrameSize(size_t textLength) { return textLength + LobbyHostFrameOverhead; }

// Each writer fills exactly the size given above at `out`.
void writeDataFrame(uint8_t *out, uint8_t msgId, uint8_t receiver, const char *text,
                    size_t textLength);
void writeHostFrame(uint8_t *out, uint8_t sender, uint8_t msgId, uint8_t receiver, const char *text,
                    size_t textLength);
// Join and leave notices are host frames addressed to everybody.
inline void writeNotice(uint8_t *out, uint8_t member, uint8_t kind, const char *name,
                        size_t nameLength) {
    writeHostFrame(out, member, kind, BroadcastId, name, nameLength);
}

// The fields of a received frame; `text` points into the frame.
struct FrameFields {
    uint8_t sender; // host frames only; 0 in a data frame
    uint8_t msgId;
    uint8_t receiver;
    const char *text; // textLength bytes, followed by the frame's 0
    size_t textLength;
};
// Each reader takes a complete frame of `length` bytes, its 0 included, and
// answers false when the frame is too short to carry the fields.
bool readDataFrame(const uint8_t *frame, size_t length, FrameFields *out);
bool readHostFrame(const uint8_t *frame, size_t length, FrameFields *out);

// Reassembles frames from a byte stream. Bytes of an unfinished frame are
// kept in a buffer that grows on demand up to `limit` bytes; a frame that
// completes inside one chunk of input is handed out in place, without a copy.
struct FrameReader {
    uint8_t *buffer;
    uint32_t count;    // bytes of the unfinished frame, none of them 0
    uint32_t capacity; // allocated size of buffer
    uint32_t limit;    // most non-zero bytes one frame may hold
};

enum FrameStatus {
    FrameNone = 0,     // input used up; any unfinished frame is kept
    FrameComplete = 1, // *frame / *frameLength hold a frame, its 0 included
    FrameTooLong = 2   // the unfinished frame passed `limit`; the stream is bad
};

void frameReaderInit(FrameReader *r, uint32_t limit);
void frameReaderFree(FrameReader *r);
// Takes bytes from (*input, *inputLength), advancing both, until one frame
// completes or the input is used up. A complete frame stays valid until the
// next call.
FrameStatus frameReaderNext(FrameReader *r, const uint8_t **input, size_t *inputLength,
                            const uint8_t **frame, size_t *frameLength);

// Takes one complete frame (`length` bytes, its 0 included); false refuses
// it and stops the split there.
typedef bool (*FrameHandler)(void *context, const uint8_t *frame, size_t length);

enum SplitEnd {
    SplitUsedUp = 0, // every complete frame was taken; an unfinished one is kept
    SplitTooLong,    // a frame passed the reader's limit: the stream is bad
    SplitRefused,    // the handler refused a frame: see SplitStop
    SplitNothing,    // receiveFrames only: nothing to receive now
    SplitClosed      // receiveFrames only: the connection closed or failed
};
// Where a split was refused: that frame, and the input bytes after it.
struct SplitStop {
    const uint8_t *frame;
    size_t length;
    const uint8_t *rest;
    size_t restLength;
};

// Hands every complete frame of the bytes after what the reader holds to
// `onFrame`, until the bytes are used up, a frame is too long or one is
// refused (then *stop tells where).
SplitEnd splitFrames(FrameReader *r, const uint8_t *input, size_t inputLength, FrameHandler onFrame,
                     void *context, SplitStop *stop);
// One non-blocking receive of at most `budget` bytes from `s` into
// `buffer`, split as above.
SplitEnd receiveFrames(Socket s, uint8_t *buffer, uint32_t budget, FrameReader *r,
                       FrameHandler onFrame, void *context, SplitStop *stop);

} // namespace ll
