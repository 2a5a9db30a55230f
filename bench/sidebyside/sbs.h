// The side-by-side benchmark: one hub process and K client processes on
// loopback, the same workloads run over this library (loaded with dlopen as a
// host loads it), ENet, and a raw socket relay of the same frames and design.
//
// Each process loops as a game does: one update (or service call) per
// iteration, then it takes what arrived and sends what it may; an iteration
// that did nothing ends with sched_yield(). Processes share one control
// record (anonymous shared memory made before fork); every counter in it has
// one writer.
#pragma once

#include "lobbylink/lobbylink.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace sbs {

const int Port = LobbyPort;
const int MaxClients = 8;               // client processes of one run
const int MaxMembers = LobbyMaxClients; // idle members of W4 (and the hubs' capacity)
const uint32_t QueueBytes = LobbyQueueBytes;
const uint8_t DataId = 7;   // a workload message
const uint8_t CreditId = 8; // end-to-end credit: text = messages received so far
const uint8_t NoiseId = 9;  // W6: broadcasts that reach the frozen member, not counted
const uint8_t JoinId = MsgJoin, LeaveId = MsgLeave, ErrorId = MsgError;
const uint8_t Everybody = BroadcastId, HubId = HostId;

enum Phase { Setup = 0, Run = 1, Drain = 2, Exit = 3 };

// One process's figures; written by that process only.
struct Counters {
    std::atomic<uint64_t> sent, delivered, hubCopies, dropped, lostConnection, bad;
    std::atomic<int> ready, failed;
    std::atomic<int64_t> rttP50ns, rttP99ns, rttSamples; // W3 pinger
};

struct Control {
    std::atomic<int> phase;
    std::atomic<int> measuring;   // W3: take samples now
    std::atomic<int> seat;        // members with index < seat may connect now
    std::atomic<int> admitTarget; // the hub admits members up to this count
    std::atomic<int> admitted;
    std::atomic<int> measureRequest, measureDone; // W4: one timed window per request
    std::atomic<int64_t> updatePs;                // W4: mean update cost, picoseconds
    char joinAt[64]; // where clients join, written before the first seat; "": 127.0.0.1
    Counters hub, members;
    Counters client[MaxClients];
};

enum Kind { Ring, Broadcast, RoundTrip, Idle, Frozen };

struct Workload {
    std::string name;
    Kind kind;
    int clients;
    int size;
    bool window;
};

enum BackendKind { Lobbylink, Enet, Raw };

// Where a run's processes are: all on one loopback, or in the relay network
// of tests/turn/turn.sh with the clients on "the Internet" and behind a NAT
// and the hub either on the Internet, joined directly (PublicHub), or behind
// a NAT that lets nothing in, hosting through the relay server (RelayedHub).
enum Path { Loopback, PublicHub, RelayedHub };

// A relay server and its user, for a RelayedHub.
struct Relay {
    std::string server, user, password;
};

struct Backend {
    BackendKind kind;
    std::string label;
    std::string library; // Lobbylink: path of the shared library
    std::string secret;  // Lobbylink: a private lobby's secret; "": an open lobby
    Path path;
};

// A message as the application sees it; valid until the next call that
// takes one. Lost connections and departed members arrive as ErrorId (from 0)
// and LeaveId notices.
struct Message {
    int from;
    int id;
    const char *text;
    size_t length;
};

// A client's side of the lobby.
class Endpoint {
  public:
    virtual ~Endpoint() {}
    virtual bool connect(int index) = 0;
    // One update; true when the backend knows it moved something.
    virtual bool update() = 0;
    virtual bool next(Message *m) = 0;
    // Whether a text of `length` bytes may be sent now (the 64 KiB queue).
    virtual bool fits(size_t length) = 0;
    virtual void send(int receiver, int id, const char *text, size_t length) = 0;
};

// The hub: admits members, relays, and takes what is addressed to it.
class Hub {
  public:
    virtual ~Hub() {}
    virtual bool open() = 0;
    // Admits members until `count` are present, raising `seat` one by one.
    virtual bool admit(int count, Control *c) = 0;
    virtual bool update() = 0;
    virtual bool next(Message *m) = 0;
};

// W4's idle members, all in one process.
class Members {
  public:
    virtual ~Members() {}
    virtual bool add(int count, Control *c) = 0;
    virtual void idle() = 0; // what an idle member does between checks
};

// With a secret, a private lobby: the handshake and sealed records. The
// client joins at `joinAt` as it reads at connect time ("": 127.0.0.1);
// with a relay server the hub hosts through it and writes the address it
// gives into `joinAt` before open() returns.
std::unique_ptr<Endpoint> lobbylinkClient(const std::string &library, const std::string &secret,
                                          const char *joinAt);
std::unique_ptr<Hub> lobbylinkHub(const std::string &library, const std::string &secret,
                                  const Relay *relay, char *joinAt, size_t joinAtSize);
std::unique_ptr<Endpoint> rawClient();
std::unique_ptr<Hub> rawHub();
// TCP members speaking the lobby's handshake, for the lobbylink and raw hubs.
std::unique_ptr<Members> tcpMembers();
bool enetAvailable();
std::unique_ptr<Endpoint> enetClient();
std::unique_ptr<Hub> enetHub(int capacity);
std::unique_ptr<Members> enetMembers();

// Waits (sleeping) until `seat` lets member `index` in; false after 60 s or
// when the run is being ended.
bool waitSeat(Control *c, int index);
int64_t nowNs();

// Frames end with one 0 byte; a frame that completes inside one chunk is
// handed out in place, the start of an unfinished one is kept.
struct FrameSplitter {
    std::string partial;
    size_t limit = QueueBytes - 2;
    // Calls f(frame, length) for each complete frame (its 0 included);
    // false when an unfinished frame passes the limit.
    template <typename F> bool feed(const uint8_t *p, size_t n, F f);
};

// The messages of one update, kept until the application has taken them.
struct Inbox {
    std::string arena;
    struct Entry {
        int from, id;
        size_t at, length;
    };
    Entry *entries = nullptr;
    size_t count = 0, capacity = 0, taken = 0;
    ~Inbox();
    void push(int from, int id, const char *text, size_t length);
    bool next(Message *m);
};

template <typename F> bool FrameSplitter::feed(const uint8_t *p, size_t n, F f) {
    while (n > 0) {
        const uint8_t *zero = static_cast<const uint8_t *>(std::memchr(p, 0, n));
        if (!zero) {
            if (partial.size() + n > limit) return false;
            partial.append(reinterpret_cast<const char *>(p), n);
            return true;
        }
        size_t take = static_cast<size_t>(zero - p) + 1;
        if (partial.empty()) {
            f(p, take);
        } else {
            if (partial.size() + take - 1 > limit) return false;
            partial.append(reinterpret_cast<const char *>(p), take);
            f(reinterpret_cast<const uint8_t *>(partial.data()), partial.size());
            partial.clear();
        }
        p += take;
        n -= take;
    }
    return true;
}

} // namespace sbs
