// How long a join holds the host application's thread: the slowest
// p2pConnect and p2pUpdate of a join with "async" = 1, beside the time of a
// blocking p2pConnect to the same place, and how long p2pDisconnect takes to
// cancel a join under way. Two places:
//   - a black hole: an address whose lobby port drops connection attempts
//     (a listener on 127.0.0.1 whose backlog is full, so the system drops
//     every further SYN, as a firewall does);
//   - a private lobby, hosted by a second copy of the library in this
//     process: the join stretches the secret (Argon2id) and makes the whole
//     private handshake.
// One source for Linux and the 32-bit Windows build (run under Wine), which
// both load the library by file name. Prints one table and the ratios; the
// target is a slowest call below 5 ms on Linux.
//
// Usage: ll_join_bench LIBRARY [--quick]   in a network namespace of its own:
//   unshare -n sh -c 'ip link set lo up; build/bench/ll_join_bench build/liblobbylink.so'
//   unshare -n sh -c 'ip link set lo up; WINEPREFIX=... wine
//       build/windows/bench/ll_join_bench.exe build/windows/lobbylink.dll'  (one line)
// --quick follows the joins to the black hole for one second instead of the
// whole ten, and skips the blocking call there.
#include "common/blackhole.h"
#include "common/loader.h"
#include "common/platform.h"
#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// ---- The library, twice ------------------------------------------------------

// One copy of the library under a file name of its own, so it has a state of
// its own.
struct Instance : tools::Library {
    bool load(const std::string &original, const std::string &copy) {
        std::ifstream from(original, std::ios::binary);
        std::ofstream to(copy, std::ios::binary);
        to << from.rdbuf();
        to.close();
        std::string error;
        if (from && to && tools::libraryLoad(copy, this, &error)) return true;
        std::fprintf(stderr, "cannot load %s: %s\n", copy.c_str(), error.c_str());
        return false;
    }
};

Instance host, player;
const char Secret[] = "q7R-pX2m-Kd9w";

// The slowest calls of one join on the player's side.
struct Figures {
    double connect = 0, update = 0, cancel = 0, took = 0;
    int updates = 0;
    std::string outcome;
    void keep(const Figures &f) {
        connect = std::max(connect, f.connect);
        update = std::max(update, f.update);
        cancel = std::max(cancel, f.cancel);
        took = std::max(took, f.took);
        updates += f.updates;
        if (outcome.empty()) outcome = f.outcome;
    }
};

ArgNode *joinArgs(bool secret, bool async) {
    ArgNode *m = llMapNew();
    llMapSetString(m, "address", "127.0.0.1");
    llMapSetString(m, "user", "red");
    if (secret) llMapSetString(m, "secret", Secret);
    if (async) llMapSetInt(m, "async", 1);
    return m;
}

// The first inbox entry of the player, as "usr,id,text"; "" when none.
std::string nextEntry() {
    ArgNode *m = llMapNew();
    std::string out;
    if (player.recv(m) == 1) {
        char *text = llMapGetString(m, "msg");
        out = std::to_string(llMapGetInt(m, "usr")) + "," + std::to_string(llMapGetInt(m, "id")) +
              "," + (text ? text : "");
        std::free(text);
    }
    llMapFree(m);
    return out;
}

// p2pConnect with "async", then frames of a millisecond (the lobby host
// updated too) until an inbox entry comes or `followMs` pass; then
// p2pDisconnect, whose time counts as the cancel when nothing had come.
Figures asyncJoin(bool secret, double followMs) {
    Figures f;
    ArgNode *m = joinArgs(secret, true);
    auto start = Clock::now();
    player.connect(m);
    f.connect = msSince(start);
    bool started = llMapGetInt(m, "result") == 1;
    llMapFree(m);
    if (!started) f.outcome = "not started";
    while (started && f.outcome.empty() && msSince(start) < followMs) {
        auto t = Clock::now();
        player.update(nullptr);
        f.update = std::max(f.update, msSince(t));
        ++f.updates;
        host.update(nullptr);
        f.outcome = nextEntry();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    f.took = msSince(start);
    auto t = Clock::now();
    player.disconnect(nullptr);
    if (f.outcome.empty()) f.cancel = msSince(t);
    return f;
}

double blockingJoin(bool secret) {
    ArgNode *m = joinArgs(secret, false);
    auto start = Clock::now();
    player.connect(m);
    double took = msSince(start);
    llMapFree(m);
    player.disconnect(nullptr);
    return took;
}

// The lobby host's next search, once the last one has admitted its player.
void searchAgain() {
    for (int i = 0; i < 5000 && host.isSearching(nullptr) == 1; ++i) {
        host.update(nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    host.searchClient(nullptr);
}

// p2pDisconnect `afterMs` into an async join: its time.
double cancelAfter(bool secret, int afterMs) {
    ArgNode *m = joinArgs(secret, true);
    player.connect(m);
    llMapFree(m);
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    auto t = Clock::now();
    player.disconnect(nullptr);
    return msSince(t);
}

double cancels(bool secret, std::vector<double> *each) {
    double most = 0;
    for (int afterMs : {0, 2, 5, 10, 20, 30, 50, 80}) {
        double ms = cancelAfter(secret, afterMs);
        each->push_back(ms);
        most = std::max(most, ms);
        if (secret) searchAgain(); // in case the join was quicker
    }
    return most;
}

void row(const char *what, double connect, const Figures *f) {
    std::printf("%-34s %11.2f ms", what, connect);
    if (f)
        std::printf(" %11.3f ms %9.2f ms %9.0f ms  %s", f->update, f->cancel, f->took,
                    f->outcome.c_str());
    std::printf("\n");
}

void cancelsLine(const char *what, const std::vector<double> &each) {
    std::printf("p2pDisconnect during an async join, %s:", what);
    for (double ms : each) std::printf(" %.1f", ms);
    std::printf(" ms\n");
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ll_join_bench LIBRARY [--quick]\n");
        return 2;
    }
    bool quick = argc > 2 && std::string(argv[2]) == "--quick";
#ifdef _WIN32
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const char *build = "Windows build";
#else
    const char *build = "Linux build";
#endif
    std::string dir = tools::executableDir();
    if (!host.load(argv[1], dir + "ll_join_host_" + tools::libraryFileName()) ||
        !player.load(argv[1], dir + "ll_join_player_" + tools::libraryFileName()))
        return 1;
    ArgNode *m = llMapNew();
    host.init(m);
    player.init(m);
    llMapFree(m);
    const int rounds = 5;
    std::printf("join bench, %s, %d rounds each; slowest of the rounds\n", build, rounds);
    std::printf("%-34s %14s %14s %12s %12s  %s\n", "", "p2pConnect", "p2pUpdate", "cancel", "join",
                "outcome");

    double holeBlocking = 0;
    Figures hole;
    std::vector<double> holeCancels;
    {
        tools::BlackHole bh;
        if (!bh.open()) {
            std::fprintf(stderr, "cannot make the black hole on 127.0.0.1:%d\n", LobbyPort);
            return 1;
        }
        if (!quick) holeBlocking = blockingJoin(false);
        for (int r = 0; r < (quick ? rounds : 1); ++r)
            hole.keep(asyncJoin(false, quick ? 1000 : 12000));
        cancels(false, &holeCancels);
    }
    if (!quick) row("black hole, blocking", holeBlocking, nullptr);
    row("black hole, async", hole.connect, &hole);

    m = llMapNew();
    llMapSetString(m, "user", "gold");
    llMapSetString(m, "secret", Secret);
    host.createLobby(m);
    llMapFree(m);
    host.searchClient(nullptr);
    double privateBlocking = 0;
    Figures lobby;
    std::vector<double> lobbyCancels;
    for (int r = 0; r < rounds; ++r) {
        privateBlocking = std::max(privateBlocking, blockingJoin(true));
        searchAgain();
        lobby.keep(asyncJoin(true, 10000));
        searchAgain();
    }
    double privateCancel = cancels(true, &lobbyCancels);
    row("private lobby, blocking", privateBlocking, nullptr);
    row("private lobby, async", lobby.connect, &lobby);

    double slowest = std::max({hole.connect, hole.update, lobby.connect, lobby.update});
    std::printf("slowest call on the game's thread during an async join: %.3f ms "
                "(target below 5 ms on Linux)\n",
                slowest);
    if (!quick)
        std::printf("  that is %.5f of a blocking p2pConnect to the black hole\n",
                    slowest / holeBlocking);
    std::printf("  and %.4f of a blocking private p2pConnect\n", slowest / privateBlocking);
    cancelsLine("black hole", holeCancels);
    cancelsLine("private lobby (waits for a stretch under way)", lobbyCancels);
    std::printf("slowest cancel: black hole %.1f ms, private lobby %.1f ms\n",
                *std::max_element(holeCancels.begin(), holeCancels.end()), privateCancel);
    player.terminate(nullptr);
    host.terminate(nullptr);
    return 0;
}
