// Shared test helpers: dictionaries as a host builds them, the inbox, polling
// with deadlines, raw socket peers standing in for the other side of the
// lobby, and child processes for end-to-end runs.
#pragma once

#include "lobbylink/lobbylink.h"
#include "support/dict.h"
#include "support/frames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kit {

// Milliseconds until `end`, 0 once it has passed.
int msLeft(std::chrono::steady_clock::time_point end);

// A host dictionary (the tests' own builder), freed with everything the
// library added to it.
struct Map {
    ArgNode *root;
    Map() : root(dict::make()) {}
    ~Map() { dict::destroy(root); }
    Map(const Map &) = delete;
    Map &operator=(const Map &) = delete;
    operator ArgNode *() { return root; }
    Map &set(const char *key, int32_t v) {
        dict::setInt(root, key, v);
        return *this;
    }
    Map &set(const char *key, const std::string &s) {
        dict::setString(root, key, s);
        return *this;
    }
    // A String whose list holds more cells than its count: only the first
    // `count` characters are the string.
    Map &setOverlong(const char *key, const std::string &cells, size_t count) {
        dict::setString(root, key, cells, count);
        return *this;
    }
    int32_t kind(const char *key) { return dict::kind(root, key); }
    bool has(const char *key) { return kind(key) != 0; }
    int32_t i(const char *key) { return dict::getInt(root, key); }
    std::string s(const char *key) { return dict::getString(root, key); }
    std::string rootChain() { return dict::rootChain(root); }
};

std::string hex(const std::string &s);

struct Msg {
    int usr;
    int id;
    std::string msg;
    bool operator==(const Msg &o) const { return usr == o.usr && id == o.id && msg == o.msg; }
};
std::ostream &operator<<(std::ostream &os, const Msg &m);

// One p2pRecv; false when the inbox was empty.
bool recv(Msg *out);
// Everything in the inbox right now.
std::vector<Msg> drain();

// Calls pred until it holds or `ms` pass; with `update`, p2pUpdate runs
// between tries. Returns the last answer of pred.
bool waitUntil(const std::function<bool()> &pred, int ms = 5000, bool update = false);
inline bool updateUntil(const std::function<bool()> &pred, int ms = 5000) {
    return waitUntil(pred, ms, true);
}
// Calls p2pUpdate until the inbox yields a message (kept in *out).
bool updateUntilMsg(Msg *out, int ms = 5000);
void updateFor(int ms);

// p2pSend of one message, and p2pBuffer's "res" (for client `id` at a lobby host).
void send(int32_t id, int32_t rcv, const std::string &text);
int32_t room(int32_t id = 0);

// p2pClientName's "result" for `id`, and p2pKick of `id`.
std::string clientName(int32_t id);
void kick(int32_t id);

int32_t numClients();
int32_t isSearching();
int32_t searchError();

// A raw TCP connection standing in for a client or a lobby host.
struct Peer {
    int fd = -1;
    Peer() = default;
    explicit Peer(int f) : fd(f) {}
    Peer(Peer &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Peer &operator=(Peer &&o) noexcept;
    ~Peer() { close(); }
    bool ok() const { return fd >= 0; }
    bool send(const std::string &data);
    // Bytes that arrive within `ms`, stopping early once `n` have come.
    std::string recv(size_t n, int ms = 3000);
    // Everything that arrives until the line has been quiet for `quietMs`.
    std::string recvQuiet(int quietMs = 200, int ms = 3000);
    // Calls p2pUpdate until `n` bytes have come (or 5 s pass); returns them.
    std::string pumpRecv(size_t n);
    // True when the other side closes (or resets) the connection within `ms`.
    bool waitClosed(int ms = 3000);
    void close();
    // Ends the connection the hard way: a FIN, then a reset. The other side's
    // next send then fails with EPIPE, which raises SIGPIPE unless suppressed.
    void finThenReset();
};

// Connects to the lobby port on 127.0.0.1; an invalid Peer when refused. A lobby host
// listens from the moment p2pSearchClient has answered 1. A `receiveBuffer`
// (bytes, set before connecting) keeps the connection's window small; `from`
// is the loopback address it comes from (the system's choice when null).
Peer connectLobby(int receiveBuffer = 0, const char *from = nullptr);

// A name the resolver turns down at once without asking any server (a label
// of 64 characters is longer than names may have): p2pConnect's "getaddrinfo".
const std::string UnresolvableName = std::string(64, 'x') + ".invalid";

// A raw listening socket on the lobby port acting as a lobby host: on an
// IPv4 or IPv6 address ("::" takes both families).
struct Listener {
    int fd = -1;
    bool open(const char *address = "0.0.0.0");
    Peer accept(int ms = 3000);
    ~Listener();
};

// The lobby host side of an admission: p2pSearchClient, a raw client
// connects and sends `name` and its 0, and the admission completes. Returns
// the raw client (invalid on failure).
Peer admitRaw(const std::string &name, int ms = 5000, int receiveBuffer = 0);

// Calls p2pInit before each test and p2pTerminate after it.
class LibTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Opens a lobby under `name`.
    void createLobby(const std::string &name = "host");
};

// Runs `body` in a child process (fork). The child exits 0 when body returns
// without a test failure. Fork before the library starts any thread.
pid_t spawn(const std::function<void()> &body);
// Waits for a child; its exit status, or -1 when it had to be killed after `ms`.
int waitChild(pid_t pid, int ms = 30000);

// One-byte signals between processes over a pipe pair.
struct Channel {
    int toChild[2] = {-1, -1};
    int toParent[2] = {-1, -1};
    Channel();
    ~Channel();
    void tellChild(char c);
    void tellParent(char c);
    bool childWaits(char c, int ms = 10000);
    bool parentWaits(char c, int ms = 10000);
};

// Runs `fn` inside the named network namespace (/run/netns/NAME): a thread
// started or a socket made there stays there. A failure to enter is a test
// failure.
void insideNetns(const std::string &name, const std::function<void()> &fn);

} // namespace kit
