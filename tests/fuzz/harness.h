// What the fuzz targets share: a reader over the fuzz input, a failure that
// libFuzzer reports as a crash, and a lobby host driven through the lobby
// core with its members seated on socketpairs. The harness records every byte
// written into the members' ends and every byte and inbox entry that came
// out, and checks the lot against the routing rules: each member gets
// exactly the frames addressed to it, once, in order per sender, and a leave
// notice of every member that left while it was present; the inbox gets
// exactly the frames addressed to the lobby host; nobody is dropped without
// a cause. And while members are frozen and the host application takes no
// entry, every sender whose frames are not for them keeps moving.
#pragma once

#include "support/descriptors.h"
#include "net/core/lobby.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fz {

// Reads the input front to back; past its end every read yields 0.
struct Input {
    const uint8_t *p;
    size_t n;
    bool more() const { return n > 0; }
    uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    uint32_t word() {
        uint32_t lo = byte();
        return lo | static_cast<uint32_t>(byte()) << 8;
    }
    std::string bytes(size_t k) {
        k = std::min(k, n);
        std::string s(reinterpret_cast<const char *>(p), k);
        p += k;
        n -= k;
        return s;
    }
};

// A broken check: prints it and aborts, so libFuzzer keeps the input.
[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#define FZ_CHECK(cond, ...) ((cond) ? (void)0 : ::fz::fail(__VA_ARGS__))

// The library's own invariants and a well-formed inbox (count against the
// list, tail and, with texts, every entry's text ends in its 0 and holds no
// other).
void checkCore(bool texts = true);
// An inbox entry's text ends in its 0 and holds no other.
void checkText(const char *text, uint32_t length);

// A member's frames as the lobby host takes them: those before the first
// frame (or unfinished tail) longer than the limit, each with the step at
// which its 0 was written; tooLong tells whether such a frame came.
struct Sent {
    std::vector<std::string_view> frames; // into the member's `out`
    std::vector<uint64_t> at;
    bool tooLong = false;
    size_t of = SIZE_MAX; // the length of `out` they were taken from
};

// The lobby host side: members seated on socketpairs, checked on close().
class Lobby {
  public:
    struct Member {
        uint8_t id = 0;
        std::string name;
        int fd = -1;         // our end: the member's side of the connection
        bool present = true; // in the lobby, as memberName tells
        bool paused = false; // its end is not read after updates
        bool everPaused = false;
        uint64_t readAt = 0;    // the clock when its end was last read
        bool stallable = false; // the clock moved the stall timeout past readAt
        bool kicked = false, closed = false, halfClosed = false;
        bool overSent = false; // a lobby host send did not fit its relay room
        uint64_t seatedAt = 0, departedAt = UINT64_MAX, firstWriteAt = UINT64_MAX;
        std::string out;              // bytes the member wrote, as far as its end took them
        std::vector<uint64_t> zeroAt; // the step at which each 0 of `out` was written
        std::string in;               // bytes it read
        std::vector<uint32_t> framesFrom = std::vector<uint32_t>(256); // in `in`, by sender
        size_t inFrameAt = 0; // where the unfinished frame of `in` starts
        Sent sent;            // what the lobby host takes of `out`, when it was last asked
    };
    // An inbox entry taken; its text is inboxText[at, at + length).
    struct Entry {
        uint8_t sender, msgId;
        size_t at, length;
    };
    struct HostSend {
        uint64_t at;
        uint8_t msgId, receiver;
        std::string text;
    };

    // With strictFlow, a member may leave only when kicked, when its end is
    // closed, for a frame beyond the limit, or when a lobby host send did not
    // fit its queue's relay room: never for relayed traffic.
    explicit Lobby(bool strictFlow = false);
    ~Lobby();

    // Seats a member (id 2..254, unused so far; a name of 1..LobbyMaxNameLength bytes
    // without 0); its index, or -1.
    int seat(uint8_t id, const std::string &name);
    size_t size() const { return members.size(); }
    Member &member(size_t k) { return members[k]; }
    // Writes bytes into member k's end, as far as its buffer takes them.
    size_t write(size_t k, const std::string &bytes);
    // Reads member k's end dry; the bytes read.
    size_t drain(size_t k);
    void pause(size_t k, bool on);
    // The library's clock moves on by ms (it stands still otherwise).
    void pass(uint64_t ms);
    void update();
    // Takes up to n inbox entries; the number taken.
    size_t take(size_t n);
    void kick(size_t k);
    void closeEnd(size_t k);
    void halfClose(size_t k);
    // The lobby host's own send (messageSend), recorded.
    void hostSend(uint8_t msgId, uint8_t receiver, const std::string &text);
    // The host application takes nothing and paused members stay paused:
    // updates run until nothing moves. Then every frame a present member
    // wrote before its first one that may wait (for the lobby host, for
    // everybody, or for a paused member) has reached every reading member
    // it is addressed to.
    void stallCheck();
    // Updates, drains every end and the inbox until nothing moves.
    void flush();
    // Flushes, checks everything, and ends the lobby.
    void close();

  private:
    void step();
    size_t pump();
    size_t unreadAtHost();
    bool droppable(const Member &m) const;
    bool routedAll(const Member &m) const;
    void noteDepartures();
    void verify();
    const Sent &sent(size_t k);
    void verifyMember(const Member &b);
    void verifyInbox();
    const Member *byId(uint8_t id) const;

    bool strictFlow;
    int descriptors; // open before the lobby
    bool closedDown = false;
    uint64_t clock = 0;  // steps: each operation is one
    uint64_t timeMs = 0; // how far the library's clock moved in this lobby
    std::vector<Member> members;
    std::vector<Entry> inbox;
    std::string inboxText; // the texts of the entries taken, one after another
    std::vector<HostSend> sends;
};

// The frames of a stream: runs of bytes each ended by a 0 (kept); the
// unfinished tail is returned in *tail.
std::vector<std::string> splitFrames(const std::string &stream, std::string *tail = nullptr);
// True when `part` is a contiguous run of `whole`.
bool isSlice(const std::vector<std::string_view> &part, const std::vector<std::string_view> &whole);

// Every open descriptor of the process.
using kit::openDescriptors;

} // namespace fz
