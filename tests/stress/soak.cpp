// The full-lobby soak: a lobby host (this program's child process, driving
// the library through its exports) with a full lobby of members over real
// TCP, and a load generator (the parent) that speaks the wire protocol over
// raw sockets for every member. Members send paced broadcasts, unicasts and messages to the
// lobby host; churn members leave (half-close), are kicked and are replaced
// by real admissions; a few members pause reading now and then. At the end:
// every message a member sent arrived exactly once, in order per sender, at
// exactly the members addressed (and the lobby host's inbox), every member
// saw one join and one leave of every churn member; the lobby host's peak
// RSS, descriptors and LeakSanitizer are checked as it ends. With --secret
// the lobby is private: every member makes the handshake (the seated ones
// with the lobby host's process serving it in turn) and every byte both ways
// travels in sealed records; the checks are the same.
//
//   ll_soak [--seconds N] [--seated N] [--rate PER-SECOND] [--secret TEXT] [--summary FILE]
// Members up to --seated are seated directly over TCP at the start (the rest
// of the lobby and every replacement are admitted by the real handshake);
// --rate is the messages each member sends a second.
#include "support/descriptors.h"
#include "lobbylink/lobbylink.h"
#include "net/core/admission.h"
#include "net/secure/handshake.h"
#include "net/core/relay.h"
#include "net/core/state.h"
#include "support/dict.h"
#include "support/frames.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <deque>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// A small quarantine, so that the peak RSS reported is the lobby host's own
// and not AddressSanitizer's store of freed blocks.
extern "C" const char *__asan_default_options() { return "quarantine_size_mb=8"; }

namespace {

using Clock = std::chrono::steady_clock;
const uint16_t SeatPort = 31904; // the soak's own seating port (its namespace only)
const int Lobby = LobbyMaxClients;
std::string secret; // "": an open lobby

double now() {
    static const Clock::time_point start = Clock::now();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int errors = 0;
void error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void error(const char *fmt, ...) {
    if (++errors > 20) return;
    std::va_list a;
    va_start(a, fmt);
    std::fputs("soak: ", stderr);
    std::vfprintf(stderr, fmt, a);
    std::fputc('\n', stderr);
    va_end(a);
}

using kit::openDescriptors;
// The resident set now, in MB.
long residentMb() {
    long kb = -1;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
        std::fclose(f);
    }
    return kb < 0 ? -1 : kb / 1024;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void nonBlocking(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

using kit::frame;

// Texts: "<kind><sender serial>.<seq>.<padding>", kind b (broadcast), u
// (unicast), h (to the lobby host), H and U (from the lobby host).
std::string text(char kind, int serial, uint32_t seq, size_t pad) {
    return kind + std::to_string(serial) + "." + std::to_string(seq) + "." + std::string(pad, 'p');
}
bool parseText(const std::string &t, char *kind, int *serial, uint32_t *seq) {
    return std::sscanf(t.c_str(), "%c%d.%u.", kind, serial, seq) == 3;
}

// In-order, exactly-once tracking of one numbered stream.
struct Track {
    long first = -1, last = -1, count = 0;
    bool take(uint32_t seq) {
        bool ok = first < 0 || static_cast<long>(seq) == last + 1;
        if (first < 0) first = seq;
        last = seq;
        ++count;
        return ok;
    }
};

// ---- the lobby host (child process) ----

struct Cmd {
    int in, out; // pipes: commands from the generator, reports to it
};

std::string readLine(int fd, std::string *buf, bool block) {
    for (;;) {
        size_t nl = buf->find('\n');
        if (nl != std::string::npos) {
            std::string line = buf->substr(0, nl);
            buf->erase(0, nl + 1);
            return line;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, block ? 30000 : 0) <= 0) return "";
        char chunk[512];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return block ? "eof" : "";
        buf->append(chunk, static_cast<size_t>(n));
    }
}

void say(int fd, const std::string &line) {
    std::string l = line + "\n";
    (void)!::write(fd, l.data(), l.size());
}

// A seated member's handshake in a private lobby, served here in turn: the
// same steps as the admission's, on a blocking connection.
bool seatHandshake(int c, char *name, ll::NoiseTransport *keys) {
    ll::LobbySecret lobby;
    {
        ll::Guard g(&ll::net.lock);
        ll::keyCopy(&lobby, &ll::net.secret);
    }
    ll::SecureHandshake a;
    ll::handshakeHost(&a, lobby);
    uint8_t greeting[ll::GreetingLength];
    ll::greetingWrite(lobby.salt, greeting);
    bool ok =
        ::send(c, greeting, sizeof greeting, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof greeting);
    for (ll::HandshakeStep step = ll::HandshakeMore; ok && step != ll::HandshakeDone;) {
        ssize_t n = ::recv(c, ll::handshakeInto(&a), ll::handshakeWant(&a), 0);
        step = n > 0 ? ll::handshakeTake(&a, static_cast<uint32_t>(n)) : ll::HandshakeFailed;
        if (step == ll::HandshakeSend)
            ok = ::send(c, a.out, a.outLength, MSG_NOSIGNAL) == static_cast<ssize_t>(a.outLength);
        ok = ok && step != ll::HandshakeFailed;
    }
    if (ok) {
        std::strcpy(name, a.name);
        ll::keyMove(keys, &a.keys);
    }
    ll::handshakeWipe(&a);
    ll::secretWipe(&lobby);
    return ok;
}

// A seated member's name, as an open lobby's handshake sends it.
bool seatName(int c, char *name, size_t room) {
    size_t got = 0;
    while (got < room - 1 && (got == 0 || name[got - 1] != '\0')) {
        ssize_t n = ::recv(c, name + got, 1, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

int runHost(Cmd cmd, int seated, double seconds) {
    ArgNode *m = dict::make();
    p2pInit(m);
    dict::setString(m, "user", "host");
    if (!secret.empty()) dict::setString(m, "secret", secret.c_str());
    p2pCreateLobby(m);
    const int descriptors = openDescriptors();

    // Seat the first members over TCP without a handshake each.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(SeatPort);
    if (::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(listener, 512) != 0)
        return 2;
    say(cmd.out, "listening");
    std::map<uint8_t, std::string> names; // id -> name
    for (int i = 0; i < seated; ++i) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) return 3;
        int c = ::accept(listener, nullptr, nullptr);
        char name[ll::HandshakeLimit] = {};
        ll::NoiseTransport keys{};
        if (secret.empty() ? !seatName(c, name, sizeof name) : !seatHandshake(c, name, &keys))
            return 4;
        nonBlocking(c);
        uint8_t id = static_cast<uint8_t>(2 + i);
        {
            ll::Guard g(&ll::net.lock);
            ll::ClientRecord *r = ll::addClient(id, name, c);
            r->link.sealed = !secret.empty();
            ll::keyMove(&r->link.keys, &keys);
            ll::admission.nextId = id;
        }
        names[id] = name;
        say(cmd.out, "seated " + std::to_string(id) + " " + name);
    }
    ::close(listener);
    say(cmd.out, "ready");

    std::map<int, Track> fromB, fromH; // by sender serial
    std::map<std::string, uint32_t> unicastSeq;
    uint32_t hostB = 0, hostU = 0;
    bool sending = true;
    double nextB = now(), nextU = now();
    std::string cmdBuf;
    std::mt19937 rng(7);
    long searches = 0, entries = 0, halfwayMb = -1, endMb = -1;
    const double halfway = now() + seconds / 2;
    const double deadline = now() + seconds + 240;
    for (;;) {
        if (now() > deadline) return 5;
        p2pUpdate(nullptr);
        for (;;) {
            p2pRecv(m);
            if (dict::getInt(m, "result") != 1) break;
            ++entries;
            uint8_t usr = static_cast<uint8_t>(dict::getInt(m, "usr"));
            int id = dict::getInt(m, "id");
            std::string msg = dict::getString(m, "msg");
            if (id == MsgJoin) {
                names[usr] = msg;
                continue;
            }
            if (id == MsgLeave) {
                if (names[usr] != msg)
                    error("host: leave of %u \"%s\", known as \"%s\"", usr, msg.c_str(),
                          names[usr].c_str());
                names.erase(usr);
                continue;
            }
            char kind;
            int serial;
            uint32_t seq;
            if (!parseText(msg, &kind, &serial, &seq) ||
                names[usr].substr(1) != std::to_string(serial)) {
                error("host: entry \"%.40s\" from %u (%s)", msg.c_str(), usr, names[usr].c_str());
                continue;
            }
            bool ok =
                kind == 'b' ? fromB[serial].take(seq) : kind == 'h' && fromH[serial].take(seq);
            if (!ok) error("host: %c%d.%u out of order", kind, serial, seq);
        }
        if (p2pNumClients(nullptr) < Lobby && !p2pIsSearching(nullptr)) {
            p2pSearchClient(m);
            ++searches;
        }
        if (halfwayMb < 0 && now() >= halfway) halfwayMb = residentMb();
        if (sending && now() >= nextB) { // paced: 20 broadcasts a second
            nextB += 0.05;
            dict::setString(m, "msg", text('H', 0, hostB++, 16));
            dict::setInt(m, "id", 3);
            dict::setInt(m, "rcv", BroadcastId);
            p2pSend(m);
        }
        if (sending && now() >= nextU && !names.empty()) { // and 20 unicasts to steady members
            nextU += 0.05;
            auto it = names.begin();
            std::advance(it, static_cast<long>(rng() % names.size()));
            if (it->second[0] == 's') {
                dict::setString(m, "msg", text('U', 0, unicastSeq[it->second]++, 8));
                dict::setInt(m, "id", 4);
                dict::setInt(m, "rcv", it->first);
                p2pSend(m);
                ++hostU;
            }
        }
        std::string line = readLine(cmd.in, &cmdBuf, false);
        if (line.rfind("kick ", 0) == 0) {
            dict::setInt(m, "id", static_cast<int8_t>(std::atoi(line.c_str() + 5)));
            p2pKick(m);
        } else if (line == "quiet") {
            sending = false;
            endMb = residentMb();
            say(cmd.out, "hostsent " + std::to_string(hostB) + " " + std::to_string(hostU));
            for (auto &u : unicastSeq)
                say(cmd.out, "hostuni " + u.first + " " + std::to_string(u.second));
            say(cmd.out, "quiet");
        } else if (line == "finish" || line == "eof") {
            break;
        }
        ::usleep(200);
    }
    for (auto &t : fromB)
        say(cmd.out, "inbox b " + std::to_string(t.first) + " " + std::to_string(t.second.first) +
                         " " + std::to_string(t.second.last) + " " +
                         std::to_string(t.second.count));
    for (auto &t : fromH)
        say(cmd.out, "inbox h " + std::to_string(t.first) + " " + std::to_string(t.second.first) +
                         " " + std::to_string(t.second.last) + " " +
                         std::to_string(t.second.count));
    p2pDisconnect(nullptr);
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    say(cmd.out, "rss " + std::to_string(ru.ru_maxrss / 1024) + " " + std::to_string(halfwayMb) +
                     " " + std::to_string(endMb) + " fds " + std::to_string(descriptors) + " " +
                     std::to_string(openDescriptors()) + " searches " + std::to_string(searches) +
                     " entries " + std::to_string(entries) + " errors " + std::to_string(errors));
    p2pTerminate(nullptr);
    dict::destroy(m);
    say(cmd.out, "done");
    return errors ? 1 : 0; // LeakSanitizer checks the exit
}

// ---- the load generator (parent) ----

enum State { Joining, Active, Leaving, Gone };

struct Member {
    int serial = 0;
    std::string name;
    bool steady = false; // never leaves
    int fd = -1;
    State state = Joining;
    bool kicked = false;
    uint8_t id = 0; // as the others know it
    std::string out, in;
    ll::NoiseTransport keys{};   // a private lobby's
    std::string sealed;          // received bytes of records not opened yet
    std::map<uint8_t, int> view; // id -> serial, from its own stream
    uint32_t bSent = 0, hSent = 0;
    std::map<int, uint32_t> uSent;     // receiver serial -> unicasts sent
    std::map<int, uint32_t> bAtJoin;   // serial -> bSent when it saw that member join
    std::map<int, Track> fromB, fromU; // sender serial -> what arrived
    Track fromHostB, fromHostU;
    std::map<int, int> joins, leaves; // serial -> notices seen
    double nextSend = 0, pauseUntil = 0, nextPause = 0;
    bool welcomed = false;
};

struct Generator {
    std::deque<Member> all;      // by serial; never moved, so referred to by reference
    std::map<uint8_t, int> idOf; // current id -> serial (global view)
    std::mt19937 rng{11};
    long bytesOut = 0, bytesIn = 0, framesIn = 0, joins = 0, leaves = 0, kicks = 0;
    int hostCmd = -1;

    Member &add(bool steady) {
        Member &m = all.emplace_back();
        m.serial = static_cast<int>(all.size() - 1);
        m.steady = steady;
        m.name = (steady ? "s" : "c") + std::to_string(m.serial);
        m.nextSend = now() + (rng() % 1000) / 1000.0;
        m.nextPause = now() + 2 + rng() % 8;
        return m;
    }
    int present() const {
        int n = 0;
        for (const Member &m : all) n += m.state == Active || m.state == Joining;
        return n;
    }
    long active() const {
        long n = 0;
        for (const Member &m : all) n += m.state == Active;
        return n;
    }

    void onFrame(Member &r, const std::string &f) {
        ++framesIn;
        if (f.size() < 3) return error("%s: short frame", r.name.c_str());
        uint8_t sender = static_cast<uint8_t>(f[0]), kind = static_cast<uint8_t>(f[1]),
                rcv = static_cast<uint8_t>(f[2]);
        std::string body = f.substr(3);
        if (kind == MsgJoin && rcv == BroadcastId) {
            if (!r.welcomed) {
                if (sender != HostId || body != "host")
                    error("%s: first notice is not the welcome", r.name.c_str());
                r.welcomed = true;
                return;
            }
            int s = body.size() > 1 ? std::atoi(body.c_str() + 1) : -1;
            if (s < 0 || s >= static_cast<int>(all.size()) ||
                all[static_cast<size_t>(s)].name != body)
                return error("%s: join of unknown \"%s\"", r.name.c_str(), body.c_str());
            if (r.view.count(sender))
                error("%s: join of %u, already there", r.name.c_str(), sender);
            r.view[sender] = s;
            ++r.joins[s];
            r.bAtJoin[s] = r.bSent;
            all[static_cast<size_t>(s)].id = sender;
            return;
        }
        if (kind == MsgLeave && rcv == BroadcastId) {
            auto it = r.view.find(sender);
            if (it == r.view.end() || all[static_cast<size_t>(it->second)].name != body)
                return error("%s: leave of %u \"%s\" not in its view", r.name.c_str(), sender,
                             body.c_str());
            ++r.leaves[it->second];
            r.view.erase(it);
            return;
        }
        char k;
        int serial;
        uint32_t seq;
        if (!parseText(body, &k, &serial, &seq)) return error("%s: bad text", r.name.c_str());
        if (rcv != BroadcastId && rcv != r.id) error("%s: frame for %u", r.name.c_str(), rcv);
        if (sender == HostId) {
            bool ok = k == 'H' ? r.fromHostB.take(seq) : k == 'U' && r.fromHostU.take(seq);
            if (!ok) error("%s: lobby host's %c%u out of order", r.name.c_str(), k, seq);
            return;
        }
        auto it = r.view.find(sender);
        if (it == r.view.end() || it->second != serial)
            return error("%s: frame from %u claims sender %d", r.name.c_str(), sender, serial);
        bool ok = k == 'b' ? r.fromB[serial].take(seq) : k == 'u' && r.fromU[serial].take(seq);
        if (!ok) error("%s: %c%d.%u out of order or repeated", r.name.c_str(), k, serial, seq);
    }

    // Received bytes into the member's frame stream; in a private lobby the
    // records open first, and one that does not open is a fault.
    bool take(Member &m, const char *data, size_t n) {
        if (secret.empty()) return m.in.append(data, n), true;
        m.sealed.append(data, n);
        size_t at = 0;
        uint8_t plain[ll::RecordPayloadMax];
        while (m.sealed.size() - at >= ll::RecordHeader) {
            const uint8_t *r = reinterpret_cast<const uint8_t *>(m.sealed.data()) + at;
            size_t size = static_cast<size_t>(r[0]) << 8 | r[1];
            if (size < ll::NoiseTagLength || size > ll::RecordPayloadMax + ll::NoiseTagLength)
                return false;
            if (m.sealed.size() - at < ll::RecordHeader + size) break;
            if (!ll::noiseOpen(&m.keys.receive, r + ll::RecordHeader, size, plain)) return false;
            m.in.append(reinterpret_cast<char *>(plain), size - ll::NoiseTagLength);
            at += ll::RecordHeader + size;
        }
        m.sealed.erase(0, at);
        return true;
    }
    // A frame to send; in a private lobby sealed into records, mostly two
    // that split it at a random byte, so that the lobby host reads frames
    // across records and several records in one receive.
    void put(Member &m, const std::string &f) {
        if (secret.empty()) return void(m.out += f);
        size_t cut = rng() % f.size();
        for (const std::string &piece : {f.substr(0, cut), f.substr(cut)}) {
            if (piece.empty()) continue;
            std::string record(piece.size() + ll::RecordHeader + ll::NoiseTagLength, '\0');
            if (!ll::recordSeal(&m.keys.send, reinterpret_cast<const uint8_t *>(piece.data()),
                                piece.size(), reinterpret_cast<uint8_t *>(&record[0])))
                return error("%s: nonces spent", m.name.c_str());
            m.out += record;
        }
    }

    void receive(Member &m) {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(m.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            if (n <= 0) {                                // closed by the lobby host
                if (m.state == Joining && !m.welcomed) { // turned away: try again later
                    ::close(m.fd);
                    m.fd = -1;
                    m.in.clear();
                    m.sealed.clear();
                    return;
                }
                if (m.state != Leaving && !m.kicked) error("%s was dropped", m.name.c_str());
                m.state = Gone;
                ::close(m.fd);
                m.fd = -1;
                return;
            }
            bytesIn += n;
            if (!take(m, buf, static_cast<size_t>(n)))
                return error("%s: a record from the lobby host did not open", m.name.c_str());
            size_t start = 0;
            for (size_t z; (z = m.in.find('\0', start)) != std::string::npos; start = z + 1)
                onFrame(m, m.in.substr(start, z - start));
            m.in.erase(0, start);
            if (m.state == Joining && m.welcomed) m.state = Active;
        }
    }

    void flushOut(Member &m) {
        while (!m.out.empty() && m.fd >= 0) {
            ssize_t n = ::send(m.fd, m.out.data(), m.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) return;
            bytesOut += n;
            m.out.erase(0, static_cast<size_t>(n));
        }
    }

    void talk(Member &m, double rate) {
        if (m.state != Active || now() < m.nextSend) return;
        m.nextSend = now() + (0.5 + (rng() % 1000) / 1000.0) / rate;
        size_t pad = rng() % 40;
        switch (rng() % 4) {
        case 0:
        case 1:
            put(m, frame({1, BroadcastId}, text('b', m.serial, m.bSent++, pad)));
            break;
        case 2:
            put(m, frame({2, HostId}, text('h', m.serial, m.hSent++, pad)));
            break;
        default: { // a unicast to a steady member it knows
            if (m.view.empty()) break;
            auto it = m.view.begin();
            std::advance(it, static_cast<long>(rng() % m.view.size()));
            const Member &to = all[static_cast<size_t>(it->second)];
            if (!to.steady) break;
            put(m, frame({5, it->first}, text('u', m.serial, m.uSent[to.serial]++, pad)));
        }
        }
        flushOut(m);
    }

    // A private lobby's handshake from the member's side, on the blocking
    // connection: the greeting, the name in message 1, message 2, the first
    // record. The secret is stretched once for every member (one salt).
    uint8_t psk[ll::NoiseKeyLength] = {};
    std::string salt;
    bool handshake(int fd, Member &m) {
        uint8_t greeting[ll::GreetingLength], lobbySalt[ll::NoiseSaltLength];
        if (!readAll(fd, greeting, sizeof greeting) || !ll::greetingRead(greeting, lobbySalt))
            return false;
        std::string s(reinterpret_cast<char *>(lobbySalt), sizeof lobbySalt);
        if (s != salt && !ll::noiseStretchSecret(secret.data(), secret.size(), lobbySalt, psk))
            return false;
        salt = s;
        ll::NoiseHandshake hs;
        uint8_t one[ll::RecordHeader + ll::NoiseHandshakeOverhead + ll::MaxNameLength];
        uint8_t two[ll::RecordHeader + ll::NoiseHandshakeOverhead], none[1];
        uint8_t first[ll::RecordHeader + ll::NoiseTagLength];
        size_t n = 0;
        bool ok = ll::noiseStart(&hs, ll::NoiseRole::Initiator, psk, greeting, sizeof greeting) &&
                  ll::noiseWriteMessage(&hs, reinterpret_cast<const uint8_t *>(m.name.data()),
                                        m.name.size(), one + ll::RecordHeader, &n);
        one[0] = static_cast<uint8_t>(n >> 8);
        one[1] = static_cast<uint8_t>(n);
        ok = ok &&
             ::send(fd, one, n + ll::RecordHeader, MSG_NOSIGNAL) ==
                 static_cast<ssize_t>(n + ll::RecordHeader) &&
             readAll(fd, two, sizeof two) &&
             ll::noiseReadMessage(&hs, two + ll::RecordHeader, ll::NoiseHandshakeOverhead, none,
                                  &n) &&
             ll::noiseSplit(&hs, &m.keys) && ll::recordSeal(&m.keys.send, nullptr, 0, first) &&
             ::send(fd, first, sizeof first, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof first);
        ll::noiseWipe(&hs);
        return ok;
    }
    // Reads exactly `n` bytes within 10 s.
    static bool readAll(int fd, uint8_t *out, size_t n) {
        for (size_t got = 0; got < n;) {
            pollfd p{fd, POLLIN, 0};
            ssize_t k = ::poll(&p, 1, 10000) == 1 ? ::recv(fd, out + got, n - got, 0) : -1;
            if (k <= 0) return false;
            got += static_cast<size_t>(k);
        }
        return true;
    }

    bool connectMember(Member &m, uint16_t port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(port);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(fd);
            return false;
        }
        std::string hs = m.name + std::string(1, '\0');
        bool ok = secret.empty() ? ::send(fd, hs.data(), hs.size(), MSG_NOSIGNAL) ==
                                       static_cast<ssize_t>(hs.size())
                                 : handshake(fd, m);
        if (!ok) {
            ::close(fd);
            return false;
        }
        nonBlocking(fd);
        m.fd = fd;
        return true;
    }
};

} // namespace

int main(int argc, char **argv) {
    double seconds = 30;
    int seated = 248;
    double rate = 0.75; // messages a second per member
    const char *summary = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (a == "--seated")
            seated = std::atoi(argv[i + 1]);
        else if (a == "--rate")
            rate = std::atof(argv[i + 1]);
        else if (a == "--summary")
            summary = argv[i + 1];
        else if (a == "--secret")
            secret = argv[i + 1];
    }
    if (seated > Lobby) seated = Lobby;
    std::signal(SIGPIPE, SIG_IGN);
    int toHost[2], fromHost[2];
    if (::pipe(toHost) != 0 || ::pipe(fromHost) != 0) return 2;
    pid_t host = ::fork();
    if (host == 0) {
        ::close(toHost[1]);
        ::close(fromHost[0]);
        std::exit(runHost({toHost[0], fromHost[1]}, seated, seconds));
    }
    ::close(toHost[0]);
    ::close(fromHost[1]);
    Generator g;
    g.hostCmd = toHost[1];
    std::string hostBuf;
    auto expect = [&](const std::string &prefix) {
        std::string line = readLine(fromHost[0], &hostBuf, true);
        if (line.rfind(prefix, 0) != 0) {
            error("lobby host said \"%s\", expected \"%s\"", line.c_str(), prefix.c_str());
            ::kill(host, SIGKILL);
            std::exit(1);
        }
        return line;
    };

    // The seated members: steady ones and some churn members.
    expect("listening");
    for (int i = 0; i < seated; ++i) {
        Member &m = g.add(i < 200);
        if (!g.connectMember(m, SeatPort)) return error("seating failed"), 1;
    }
    for (int i = 0; i < seated; ++i) {
        std::string line = expect("seated ");
        int id = 0;
        char name[64] = {};
        std::sscanf(line.c_str(), "seated %d %63s", &id, name);
        Member &m = g.all[static_cast<size_t>(std::atoi(name + 1))];
        m.id = static_cast<uint8_t>(id);
        m.state = Active;
        m.welcomed = true;
    }
    expect("ready");
    for (Member &m : g.all) // the seated know each other
        for (const Member &o : g.all)
            if (&o != &m) m.view[o.id] = o.serial;

    std::printf("soak: %d members seated, admitting the rest; %g s of traffic in %s lobby\n",
                seated, seconds, secret.empty() ? "an open" : "a private");
    int joiner = -1;
    double nextChurn = now() + 1, start = now(), lastJoinTry = 0;
    long peakMembers = 0;
    auto pumpAll = [&](bool traffic) {
        std::vector<pollfd> fds;
        std::vector<size_t> who;
        for (size_t i = 0; i < g.all.size(); ++i) {
            Member &m = g.all[i];
            if (m.fd < 0) continue;
            if (traffic) g.talk(m, rate);
            g.flushOut(m);
            bool paused = m.steady && m.serial % 40 == 1 && now() < m.pauseUntil;
            if (!paused) {
                fds.push_back({m.fd, POLLIN, 0});
                who.push_back(i);
            }
            if (traffic && m.steady && m.serial % 40 == 1 &&
                now() >= m.nextPause) { // a slow reader
                m.pauseUntil = now() + 2;
                m.nextPause = now() + 8;
            }
        }
        ::poll(fds.data(), fds.size(), 2);
        for (size_t k = 0; k < fds.size(); ++k)
            if (fds[k].revents) g.receive(g.all[who[k]]);
    };

    while (now() - start < seconds && errors == 0) {
        pumpAll(true);
        peakMembers = std::max(peakMembers, g.active());
        // One newcomer at a time, by the real handshake.
        if (joiner < 0 && g.present() < Lobby) joiner = g.add(false).serial;
        if (joiner >= 0) {
            Member &j = g.all[static_cast<size_t>(joiner)];
            if (j.state == Active) {
                ++g.joins;
                joiner = -1;
            } else if (j.fd < 0 && now() - lastJoinTry > 0.05) {
                lastJoinTry = now();
                g.connectMember(j, LobbyPort);
            }
        }
        // Churn: a member leaves by half-closing, or is kicked.
        if (now() >= nextChurn && g.present() >= Lobby) {
            nextChurn = now() + 0.4;
            std::vector<size_t> churn;
            for (size_t i = 0; i < g.all.size(); ++i)
                if (!g.all[i].steady && g.all[i].state == Active && g.all[i].out.empty() &&
                    g.all[i].id)
                    churn.push_back(i);
            if (!churn.empty()) {
                Member &c = g.all[churn[g.rng() % churn.size()]];
                if (g.rng() % 3 == 0) {
                    c.kicked = true;
                    c.state = Leaving;
                    say(g.hostCmd, "kick " + std::to_string(static_cast<int8_t>(c.id)));
                    ++g.kicks;
                } else {
                    ::shutdown(c.fd, SHUT_WR);
                    c.state = Leaving;
                    ++g.leaves;
                }
            }
        }
    }
    // Quiet: no new messages; everything in flight arrives.
    std::printf("soak: traffic over after %.1f s; draining\n", now() - start);
    say(g.hostCmd, "quiet");
    long hostB = -1, hostU = -1;
    std::sscanf(expect("hostsent ").c_str(), "hostsent %ld %ld", &hostB, &hostU);
    std::map<std::string, uint32_t> hostUni;
    for (;;) {
        std::string line = readLine(fromHost[0], &hostBuf, true);
        if (line == "quiet") break;
        char name[64] = {};
        unsigned n = 0;
        if (std::sscanf(line.c_str(), "hostuni %63s %u", name, &n) == 2) hostUni[name] = n;
    }
    for (double quietSince = now(), t0 = now(); now() - quietSince < 2 && now() - t0 < 60;) {
        long before = g.bytesIn + g.bytesOut;
        for (Member &m : g.all) m.pauseUntil = 0;
        pumpAll(false);
        if (g.bytesIn + g.bytesOut != before) quietSince = now();
    }
    say(g.hostCmd, "finish");
    std::map<int, Track> inboxB, inboxH;
    std::string report;
    for (;;) {
        std::string line = readLine(fromHost[0], &hostBuf, true);
        if (line == "done" || line == "eof" || line.empty()) break;
        char k;
        int serial;
        long first, last, count;
        if (std::sscanf(line.c_str(), "inbox %c %d %ld %ld %ld", &k, &serial, &first, &last,
                        &count) == 5)
            (k == 'b' ? inboxB : inboxH)[serial] = Track{first, last, count};
        else if (line.rfind("rss ", 0) == 0)
            report = line;
    }
    int status = 0;
    ::waitpid(host, &status, 0);

    // ---- the checks ----
    // `lost` counts every delivery that should have happened and did not.
    long delivered = 0, sent = 0, lost = 0;
    for (const Member &r : g.all) {
        if (r.state == Joining && !r.welcomed) continue; // never got in
        for (const Member &s : g.all) {
            if (&s == &r || (s.state == Joining && !s.welcomed)) continue;
            auto fb = r.fromB.find(s.serial);
            long got = fb == r.fromB.end() ? 0 : fb->second.count;
            delivered += got;
            // What must have arrived: for members that stayed to the end, every
            // broadcast the sender sent after it saw the receiver join (all of
            // them for the seated), unless the sender was kicked.
            bool rStayed = r.state == Active, sWhole = !s.kicked;
            if (!rStayed || !sWhole) continue;
            auto seen = s.bAtJoin.find(r.serial);
            bool rSeated = r.serial < seated;
            if (seen == s.bAtJoin.end() && !rSeated) continue; // s never knew r
            uint32_t from = seen == s.bAtJoin.end() ? 0 : seen->second;
            if (s.bSent > from) {
                const Track *t = fb == r.fromB.end() ? nullptr : &fb->second;
                long inRange = t && t->last >= static_cast<long>(from)
                                   ? t->last - std::max(t->first, static_cast<long>(from)) + 1
                                   : 0;
                lost += std::max(0L, static_cast<long>(s.bSent - from) - inRange);
                if (fb == r.fromB.end() || fb->second.first > static_cast<long>(from) ||
                    fb->second.last != static_cast<long>(s.bSent) - 1)
                    error("%s got broadcasts %ld..%ld of %s, expected %u..%u", r.name.c_str(),
                          fb == r.fromB.end() ? -1 : fb->second.first,
                          fb == r.fromB.end() ? -1 : fb->second.last, s.name.c_str(), from,
                          s.bSent - 1);
            }
            if (r.steady) {
                auto us = s.uSent.find(r.serial);
                uint32_t n = us == s.uSent.end() ? 0 : us->second;
                auto fu = r.fromU.find(s.serial);
                long gotU = fu == r.fromU.end() ? 0 : fu->second.count;
                delivered += gotU;
                lost += std::max(0L, static_cast<long>(n) - gotU);
                if (gotU != static_cast<long>(n) || (n && fu->second.first != 0))
                    error("%s got %ld of %u unicasts from %s", r.name.c_str(), gotU, n,
                          s.name.c_str());
            }
        }
        if (r.state == Active && r.steady) {
            for (const Member &c : g.all)
                if (!c.steady && c.welcomed && (c.state == Gone || c.state == Leaving)) {
                    auto j = r.joins.find(c.serial), l = r.leaves.find(c.serial);
                    int jn = j == r.joins.end() ? 0 : j->second,
                        ln = l == r.leaves.end() ? 0 : l->second;
                    bool seatedC = c.serial < seated;
                    if (ln != 1 || jn != (seatedC ? 0 : 1))
                        error("%s saw %s join %d and leave %d times", r.name.c_str(),
                              c.name.c_str(), jn, ln);
                }
            uint32_t n = hostUni.count(r.name) ? hostUni[r.name] : 0;
            lost += std::max(0L, static_cast<long>(n) - r.fromHostU.count);
            if (r.fromHostU.count != static_cast<long>(n))
                error("%s got %ld of %u lobby host unicasts", r.name.c_str(), r.fromHostU.count, n);
            delivered += r.fromHostU.count + r.fromHostB.count;
            lost += std::max(0L, hostB - r.fromHostB.count);
            if (r.fromHostB.count != hostB || r.fromHostB.first > 0)
                error("%s got %ld of %ld lobby host broadcasts", r.name.c_str(), r.fromHostB.count,
                      hostB);
        }
    }
    for (const Member &s : g.all) { // the lobby host's inbox
        if (s.state == Joining && !s.welcomed) continue;
        sent += s.bSent + s.hSent;
        for (auto &u : s.uSent) sent += u.second;
        long gb = inboxB.count(s.serial) ? inboxB[s.serial].count : 0;
        long gh = inboxH.count(s.serial) ? inboxH[s.serial].count : 0;
        delivered += gb + gh;
        if (s.kicked) continue;
        lost += std::max(0L, static_cast<long>(s.bSent) - gb) +
                std::max(0L, static_cast<long>(s.hSent) - gh);
        if (gb != s.bSent || gh != s.hSent)
            error("lobby host got %ld/%u broadcasts and %ld/%u messages from %s", gb, s.bSent, gh,
                  s.hSent, s.name.c_str());
    }

    long uniTotal = 0;
    for (auto &u : hostUni) uniTotal += u.second;
    if (uniTotal != hostU) error("lobby host unicasts: %ld listed, %ld sent", uniTotal, hostU);
    long rssMb = -1, halfMb = -1, endMb = -1, fdBefore = -1, fdAfter = -2, searches = 0,
         entries = 0, hostErrors = -1;
    std::sscanf(report.c_str(), "rss %ld %ld %ld fds %ld %ld searches %ld entries %ld errors %ld",
                &rssMb, &halfMb, &endMb, &fdBefore, &fdAfter, &searches, &entries, &hostErrors);
    if (fdBefore != fdAfter)
        error("lobby host descriptors: %ld before, %ld after", fdBefore, fdAfter);
    if (rssMb < 0 || rssMb > 1024) error("lobby host peak RSS %ld MB", rssMb);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        error("lobby host ended with status %d (errors %ld; LeakSanitizer exits 23)",
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), hostErrors);
    char line[512];
    std::snprintf(line, sizeof line,
                  "soak%s: %ld members at once over TCP for %.0f s; %ld messages sent, %ld "
                  "deliveries checked "
                  "(%ld bytes out, %ld in); %ld joins, %ld leaves, %ld kicks; lobby host RSS %ld "
                  "MB at half time, "
                  "%ld MB at the end, peak %ld MB; "
                  "descriptors %ld -> %ld; messages lost: %ld, other faults: %d",
                  secret.empty() ? "" : " (private lobby)", peakMembers, seconds, sent, delivered,
                  g.bytesOut, g.bytesIn, g.joins, g.leaves, g.kicks, halfMb, endMb, rssMb, fdBefore,
                  fdAfter, lost, errors);
    std::printf("%s\n", line);
    if (summary)
        if (FILE *f = std::fopen(summary, "a")) {
            std::fprintf(f, "%s\n", line);
            std::fclose(f);
        }
    for (Member &m : g.all)
        if (m.fd >= 0) ::close(m.fd);
    std::printf("soak: %s\n", errors || lost ? "FAILED" : "passed");
    return errors || lost ? 1 : 0;
}
