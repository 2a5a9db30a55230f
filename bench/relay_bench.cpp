// Benchmarks of the lobby core's pump with real sockets: clients are
// socketpairs placed straight into the client list (no handshake), so the
// figures are the pump's own cost.
#include "hostapi/argmap.h"
#include "lobbylink/hostmap.h"
#include "net/core/relay.h"
#include "net/core/state.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace ll;

namespace {

// The far ends of the clients' connections.
std::vector<int> gFar;

void addClients(int n) {
    for (int i = 0; i < n; ++i) {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        int big = 4 << 20;
        setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
        fcntl(sv[1], F_SETFL, O_NONBLOCK);
        addClient(static_cast<uint8_t>(2 + i), "bench", sv[0]);
        gFar.push_back(sv[1]);
    }
    setMode(Lobby);
}

void clearClients() {
    lobbyDisconnect();
    for (int fd : gFar) close(fd);
    gFar.clear();
}

// One p2pUpdate over N clients that have nothing to say.
void BM_UpdateIdleClients(benchmark::State &state) {
    addClients(static_cast<int>(state.range(0)));
    for ([[maybe_unused]] auto _ : state) lobbyUpdate();
    state.counters["ns_per_client"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * static_cast<double>(state.range(0)),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    clearClients();
}
BENCHMARK(BM_UpdateIdleClients)->Arg(1)->Arg(16)->Arg(64)->Arg(LobbyMaxClients);

// Client 2 sends frames of `range(0)` text bytes to client 3 (or to all with
// range(1) = 1 among 8 clients); one p2pUpdate receives, routes and sends.
void BM_RelayFrames(benchmark::State &state) {
    size_t textLength = static_cast<size_t>(state.range(0));
    bool broadcast = state.range(1) != 0;
    addClients(broadcast ? 8 : 2);
    std::string frame;
    frame.push_back(5);
    frame.push_back(static_cast<char>(broadcast ? BroadcastId : 3));
    frame.append(textLength, 'x');
    frame.push_back('\0');
    std::string burst;
    while (burst.size() + frame.size() <= 16384) burst += frame;
    size_t framesPerBurst = burst.size() / frame.size();
    std::vector<char> sink(1 << 20);
    for ([[maybe_unused]] auto _ : state) {
        if (write(gFar[0], burst.data(), burst.size()) != static_cast<ssize_t>(burst.size()))
            state.SkipWithError("short write");
        lobbyUpdate();
        for (size_t k = 1; k < gFar.size(); ++k)
            while (read(gFar[k], sink.data(), sink.size()) > 0) {
            }
        InboxMessage m;
        while (inboxTake(&m)) {
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * framesPerBurst));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * burst.size()));
    clearClients();
}
BENCHMARK(BM_RelayFrames)->Args({16, 0})->Args({1000, 0})->Args({16, 1})->Args({1000, 1});

// The host dictionary: the writes and reads of one p2pRecv.
void BM_DictionaryRecvResults(benchmark::State &state) {
    ArgNode *root = llMapNew();
    for ([[maybe_unused]] auto _ : state) {
        writeInt(root, "result", 1);
        writeInt(root, "usr", 2);
        writeInt(root, "id", 5);
        writeString(root, "msg", "hello there, lobby");
        char *s = mapGetString(root, "msg");
        benchmark::DoNotOptimize(s);
        std::free(s);
    }
    llMapFree(root);
}
BENCHMARK(BM_DictionaryRecvResults);

} // namespace

BENCHMARK_MAIN();
