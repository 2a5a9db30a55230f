// The admission handshake over real TCP, with the real admission thread: a
// newcomer sends arbitrary handshake bytes (split across receives or not)
// and then half-closes, resets or falls silent; more connections may queue
// behind it; the search may be cancelled, the lobby full, or the lobby
// ended in the middle. The outcome must follow from the bytes: a name
// ended by its 0 within 64 bytes is admitted (named exactly so, announced
// to everybody, told of everybody), 64 bytes without a 0 are too long, an
// end before the 0 loses the handshake. Afterwards a search can start, no
// descriptor is left open and nothing else changed. The library's clock is
// held: the pause after each handshake receive ends when the harness moves
// the clock on, not after real time.
#include "fuzz/harness.h"

#include "net/base/clock.h"
#include "net/core/admission.h"
#include "net/core/relay.h"
#include "net/core/state.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int connectLobby() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(LobbyPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    // libFuzzer's timer signal may interrupt the connect, which then goes
    // on by itself: wait for its end.
    int err = errno;
    pollfd p{fd, POLLOUT, 0};
    socklen_t len = sizeof err;
    if (err == EINTR && ::poll(&p, 1, 5000) == 1) getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) fz::fail("connect: %s", strerror(err));
    return fd;
}

// Bytes that arrive on fd within ms, up to n.
std::string recvFor(int fd, size_t n, int ms) {
    std::string out;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (out.size() < n && Clock::now() < end) {
        ll::lobbyUpdate();
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1) <= 0) continue;
        ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), MSG_DONTWAIT);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// True when the other side has closed or reset fd (within ms).
bool closedWithin(int fd, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    char buf[256];
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0) continue;
        ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
}

std::string notice(uint8_t id, const std::string &name) {
    return std::string{static_cast<char>(id), static_cast<char>(MsgJoin),
                       static_cast<char>(BroadcastId)} +
           name + std::string(1, '\0');
}

// The search is over once it is no longer running and its port is either
// released or kept for the grace, where the next search takes it up.
bool searchOver() {
    ll::Guard g(&ll::net.lock);
    return !ll::admission.searching &&
           (ll::admission.listenSocket == ll::InvalidSocket || ll::admission.inGrace);
}

// Moves the clock on a handshake pause at a time until the search is over.
bool waitSearchEnd(int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!searchOver()) {
        if (Clock::now() >= end) return false;
        ll::clockAdvance(ll::AdmissionHandshakePauseMs);
        sleepMs(1);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Input in{data, size};
    const int descriptors = fz::openDescriptors();
    ll::clockHold();
    uint8_t flags = in.byte(), ending = in.byte() % 5, split = in.byte(), queued = in.byte() % 4;
    std::string hs = in.bytes(80);

    FZ_CHECK(ll::lobbyStartup(), "startup");
    FZ_CHECK(ll::lobbyCreate("host") == ll::OpenAllowed, "lobbyCreate");
    const bool full = (flags & 0x30) == 0x30, cancel = flags & 0x40;
    // Members already there, on socketpairs.
    std::vector<int> far;
    std::vector<std::string> names;
    int members = full ? ll::MaxClients : flags % 4;
    for (int i = 0; i < members; ++i) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) fz::fail("socketpair");
        ll::sockSetNonBlocking(sv[0]);
        names.push_back("m" + std::to_string(i));
        ll::Guard g(&ll::net.lock);
        ll::addClient(static_cast<uint8_t>(2 + i), names.back().c_str(), sv[0]);
        far.push_back(sv[1]);
    }
    FZ_CHECK(ll::searchStart() == ll::SearchStarted, "searchStart");
    if (cancel) {
        // The admission thread clears the request as it starts: cancel once
        // the search shows as running.
        auto end = Clock::now() + std::chrono::seconds(5);
        while (!ll::searchRunning() && Clock::now() < end) sleepMs(1);
        ll::searchSetCancelled(true);
    }

    int c = connectLobby();
    std::vector<int> others;
    for (int i = 0; i < queued; ++i) {
        others.push_back(connectLobby());
        ::send(others.back(), "late\0", 5, MSG_NOSIGNAL);
    }
    size_t cut = hs.empty() ? 0 : split % (hs.size() + 1);
    ::send(c, hs.data(), cut, MSG_NOSIGNAL);
    if (cut < hs.size()) {
        sleepMs(split & 1 ? 2 : 0);
        ::send(c, hs.data() + cut, hs.size() - cut, MSG_NOSIGNAL);
    }

    size_t zero = hs.find('\0');
    bool complete = zero != std::string::npos && zero < ll::HandshakeLimit;
    bool tooLong = !complete && hs.size() >= ll::HandshakeLimit;
    if (ending == 0) ::shutdown(c, SHUT_WR);
    if (ending == 1) {
        linger l{1, 0};
        ::setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::close(c);
        c = -1;
    }
    if (ending == 3 || ending == 4) { // the lobby ends in the middle of it
        sleepMs(split % 4);
        ll::clockAdvance(split % 150);
        sleepMs(split / 64);
        if (ending == 3) {
            ll::lobbyDisconnect();
        } else {
            ll::lobbyTerminate();
            FZ_CHECK(ll::lobbyStartup(), "startup");
        }
        FZ_CHECK(!ll::searchRunning() && ll::memberCount() == 0, "the lobby outlived its end");
        ll::InboxMessage left;
        FZ_CHECK(!ll::inboxTake(&left), "inbox not empty after the end");
        ll::lobbyDisconnect(); // termination keeps the mode; this returns to idle
    } else {
        bool ends = complete || tooLong || ending != 2;
        if (!ends) sleepMs(5); // silent: the lobby host gives up on it below
        if (!ends || !waitSearchEnd(5000)) ll::lobbyDisconnect();
        int32_t outcome = ll::searchOutcome();
        if (ends) {
            int32_t expect = complete  ? (full && !cancel ? SearchLobbyFull : SearchOk)
                             : tooLong ? SearchHandshakeTooLong
                                       : SearchHandshakeLost;
            // A reset may overtake bytes not yet read.
            FZ_CHECK(outcome == expect || (ending == 1 && outcome == SearchHandshakeLost),
                     "outcome %d, expected %d", outcome, expect);
        }
        bool admitted =
            ll::net.mode == ll::Lobby && outcome == SearchOk && complete && !cancel && !full;
        FZ_CHECK(ll::memberCount() ==
                     (ll::net.mode == ll::Lobby ? members + (admitted ? 1 : 0) : 0),
                 "%d members after the admission", ll::memberCount());
        if (admitted) {
            std::string name = hs.substr(0, zero);
            uint8_t id = static_cast<uint8_t>(2 + members);
            char got[ll::HandshakeLimit];
            ll::memberName(static_cast<int8_t>(id), got);
            FZ_CHECK(name == got, "admitted as \"%s\"", got);
            ll::InboxMessage e;
            FZ_CHECK(ll::inboxTake(&e) && e.sender == id && e.msgId == MsgJoin && name == e.text,
                     "join entry");
            std::string told = notice(HostId, "host");
            for (int i = 0; i < members; ++i) told += notice(static_cast<uint8_t>(2 + i), names[i]);
            if (c >= 0) {
                // One that half-closed has left: it may hear a part.
                std::string heard = recvFor(c, told.size(), ending == 0 ? 300 : 3000);
                FZ_CHECK(
                    heard == told || (ending == 0 && told.compare(0, heard.size(), heard) == 0),
                    "the newcomer heard %zu of %zu bytes of notices", heard.size(), told.size());
            }
            for (int i = 0; i < members; ++i) {
                std::string heard =
                    recvFor(far[static_cast<size_t>(i)], notice(id, name).size(), 3000);
                FZ_CHECK(heard == notice(id, name), "member %d was not told of the newcomer", i);
            }
        } else if (c >= 0 && ending != 2) {
            FZ_CHECK(closedWithin(c, 3000), "a newcomer turned away is still connected");
        }
        // Whatever else is there came from the newcomer: bytes it sent after
        // its name, and its leave when it half-closed or reset.
        ll::InboxMessage e;
        while (ll::inboxTake(&e))
            FZ_CHECK(admitted && e.sender == 2 + members, "inbox entry from %u", e.sender);
        // The next search can start, on the port kept for the grace or a new one.
        if (ll::net.mode == ll::Lobby && searchOver()) {
            FZ_CHECK(ll::searchStart() == ll::SearchStarted, "the next search could not start");
        }
        ll::lobbyDisconnect();
    }
    for (int fd : others) FZ_CHECK(closedWithin(fd, 3000), "a queued connection is still open");
    for (int fd : others) ::close(fd);
    if (c >= 0) ::close(c);
    for (int fd : far) ::close(fd);
    ll::searchSetCancelled(false);
    fz::checkCore();
    FZ_CHECK(fz::openDescriptors() == descriptors, "descriptors: %d before, %d after", descriptors,
             fz::openDescriptors());
    return 0;
}
