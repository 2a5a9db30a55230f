// End-to-end figures over real TCP on loopback: a lobby host and two clients,
// each a separate copy of liblobbylink.so loaded under its own file name (so
// each has its own state), pumped in turn by one thread as three game loops
// would be. Prints round-trip times and throughput.
//
// Usage: ll_e2e_bench PATH-TO-liblobbylink.so   (run it where the lobby port is free)
#include "common/loader.h"
#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
// One copy of the library, its exports in one table.
struct Instance : tools::Library {
    bool load(const std::string &original, const std::string &copy) {
        std::string cmd = "cp '" + original + "' '" + copy + "'", error;
        if (std::system(cmd.c_str()) != 0) return false;
        if (tools::libraryLoad(copy, this, &error)) return true;
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
};

Instance host, a, b;

void pumpAll() {
    host.update(nullptr);
    a.update(nullptr);
    b.update(nullptr);
}

bool join(Instance &c, const char *name, int expected) {
    host.searchClient(nullptr);
    ArgNode *m = llMapNew();
    llMapSetString(m, "address", "127.0.0.1");
    llMapSetString(m, "user", name);
    for (int i = 0; i < 100 && llMapGetInt(m, "result") != 1; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.connect(m);
    }
    llMapFree(m);
    auto end = Clock::now() + std::chrono::seconds(5);
    while (host.numClients(nullptr) != expected && Clock::now() < end) pumpAll();
    return host.numClients(nullptr) == expected;
}

void drainAll() {
    for (int i = 0; i < 200; ++i) {
        pumpAll();
        while (host.recv(nullptr) == 1 || a.recv(nullptr) == 1 || b.recv(nullptr) == 1) {
        }
    }
}

// A host builds its message dictionary once and sends it again and again:
// the character-per-cell strings of the dictionary cost more than the lobby.
ArgNode *message(const std::string &text, int rcv) {
    ArgNode *m = llMapNew();
    llMapSetString(m, "msg", text.c_str());
    llMapSetInt(m, "id", 7);
    llMapSetInt(m, "rcv", rcv);
    return m;
}

int room(Instance &from) {
    ArgNode *m = llMapNew();
    from.buffer(m);
    int r = llMapGetInt(m, "res");
    llMapFree(m);
    return r;
}

// Client a sends to client b through the lobby host and waits for it there.
void roundTrips(const char *label, int rcv, Instance &to, size_t textLength) {
    std::vector<double> us;
    ArgNode *m = message(std::string(textLength, 'r'), rcv);
    for (int i = 0; i < 2000; ++i) {
        auto t0 = Clock::now();
        a.send(m);
        while (to.recv(nullptr) != 1) pumpAll();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    llMapFree(m);
    std::sort(us.begin(), us.end());
    std::printf("%-34s median %7.1f us   p99 %7.1f us\n", label, us[us.size() / 2],
                us[us.size() * 99 / 100]);
}

// Client a sends as fast as p2pBuffer allows for `seconds`; counts what
// arrives at `to`.
void flood(const char *label, int rcv, Instance &to, size_t textLength, double seconds) {
    ArgNode *m = message(std::string(textLength, 'f'), rcv);
    long sent = 0, got = 0;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        while (static_cast<int>(textLength) + LobbyClientFrameOverhead < room(a)) {
            a.send(m);
            ++sent;
        }
        pumpAll();
        while (to.recv(nullptr) == 1) ++got;
    }
    for (int i = 0; i < 2000 && got < sent; ++i) {
        pumpAll();
        while (to.recv(nullptr) == 1) ++got;
    }
    llMapFree(m);
    double mb = static_cast<double>(got) * static_cast<double>(textLength) / 1e6 / seconds;
    std::printf("%-34s %8.0f msg/s  %7.1f MB/s of text  (%ld sent, %ld arrived)\n", label,
                static_cast<double>(got) / seconds, mb, sent, got);
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ll_e2e_bench PATH-TO-liblobbylink.so\n");
        return 2;
    }
    if (!host.load(argv[1], "/tmp/ll_bench_host.so") || !a.load(argv[1], "/tmp/ll_bench_a.so") ||
        !b.load(argv[1], "/tmp/ll_bench_b.so")) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    ArgNode *m = llMapNew();
    llMapSetString(m, "user", "host");
    host.init(m), a.init(m), b.init(m);
    host.createLobby(m);
    llMapFree(m);
    if (!join(a, "a", 1) || !join(b, "b", 2)) {
        std::fprintf(stderr, "clients could not join\n");
        return 1;
    }
    drainAll();
    roundTrips("client -> lobby host, 16 B", HostId, host, 16);
    roundTrips("client -> host -> client, 16 B", 3, b, 16);
    roundTrips("client -> host -> client, 4 KB", 3, b, 4096);
    drainAll();
    flood("flood client -> lobby host, 100 B", HostId, host, 100, 2.0);
    flood("flood client -> client, 100 B", 3, b, 100, 2.0);
    flood("flood client -> client, 8 KB", 3, b, 8192, 2.0);
    return 0;
}
