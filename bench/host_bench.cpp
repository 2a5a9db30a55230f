// Micro-benchmarks of the per-message work a host pays at the exports: the
// library runs the client role over a real loopback connection to a bare
// socket that plays the lobby host, so every figure goes through the
// exported calls and the host's own dictionaries, nothing inside.
//
//   BM_RecvIntoDictionary/L   p2pRecv of an L-byte message into a reused
//                             dictionary, and its text read back
//   BM_SendFromDictionary/L   p2pSend of an L-byte message from a reused dictionary
//   BM_Buffer                 p2pBuffer
//   BM_InboxPushPop/W         one message in through p2pUpdate and one out
//                             through p2pRecv, with W entries waiting
//
// Runs in a private network namespace of its own (as root); otherwise on
// this machine's loopback, where it needs the lobby port free.
#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"
#include "netns_here.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int gHost = -1; // our end of the library's connection: the lobby host's side

// [sender][message id][receiver][text][0], as the lobby host sends a message.
std::string hostFrame(size_t textLength) {
    std::string f;
    f.push_back(2);
    f.push_back(7);
    f.push_back(1);
    f.append(textLength, 'm');
    f.push_back('\0');
    return f;
}

bool writeAll(const std::string &bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = write(gHost, bytes.data() + at, bytes.size() - at);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// Hands `frames` to the library: written on our end, taken in by p2pUpdate.
void deliver(const std::string &frames) {
    for (size_t at = 0; at < frames.size(); at += 32768) {
        writeAll(frames.substr(at, 32768));
        p2pUpdate(nullptr);
    }
    p2pUpdate(nullptr);
}

// Reads and drops whatever the library has sent us.
void discardIncoming() {
    static char sink[1 << 16];
    while (recv(gHost, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

int32_t room(ArgNode *d) {
    p2pBuffer(d);
    return llMapGetInt(d, "res");
}

// Sends what the library queued and waits until its queue is empty.
void flushQueue(ArgNode *d) {
    for (int i = 0; i < 100000 && room(d) < LobbyQueueBytes; ++i) {
        p2pUpdate(nullptr);
        discardIncoming();
    }
}

size_t drainInbox(ArgNode *d) {
    size_t n = 0;
    while (p2pRecv(d) == 1) ++n;
    return n;
}

void BM_RecvIntoDictionary(benchmark::State &state) {
    const size_t length = static_cast<size_t>(state.range(0));
    std::string batch;
    const std::string frame = hostFrame(length);
    while (batch.size() + frame.size() <= 60000) batch += frame;
    ArgNode *d = llMapNew();
    size_t bytes = 0;
    for ([[maybe_unused]] auto _ : state) {
        if (p2pRecv(d) != 1) {
            state.PauseTiming();
            deliver(batch);
            state.ResumeTiming();
            if (p2pRecv(d) != 1) {
                state.SkipWithError("no message arrived");
                break;
            }
        }
        char *text = llMapGetString(d, "msg");
        bytes += std::strlen(text);
        benchmark::DoNotOptimize(text);
        std::free(text);
    }
    if (bytes != static_cast<size_t>(state.iterations()) * length)
        state.SkipWithError("wrong text read back");
    drainInbox(d);
    llMapFree(d);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecvIntoDictionary)->Arg(64)->Arg(1024);

void BM_SendFromDictionary(benchmark::State &state) {
    const size_t length = static_cast<size_t>(state.range(0));
    ArgNode *d = llMapNew(), *r = llMapNew();
    llMapSetString(d, "msg", std::string(length, 's').c_str());
    llMapSetInt(d, "id", 7);
    llMapSetInt(d, "rcv", 3);
    size_t queued = 0;
    for ([[maybe_unused]] auto _ : state) {
        if (queued + length + LobbyClientFrameOverhead >= LobbyQueueBytes) {
            state.PauseTiming();
            flushQueue(r);
            queued = 0;
            state.ResumeTiming();
        }
        p2pSend(d);
        queued += length + LobbyClientFrameOverhead;
    }
    flushQueue(r);
    if (room(r) != LobbyQueueBytes) state.SkipWithError("the connection was lost");
    llMapFree(d);
    llMapFree(r);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendFromDictionary)->Arg(64)->Arg(1024);

void BM_Buffer(benchmark::State &state) {
    ArgNode *d = llMapNew();
    for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(p2pBuffer(d));
    llMapFree(d);
}
BENCHMARK(BM_Buffer);

void BM_InboxPushPop(benchmark::State &state) {
    const size_t waiting = static_cast<size_t>(state.range(0)), perRound = 64;
    ArgNode *d = llMapNew();
    const std::string frame = hostFrame(8);
    std::string backlog, round;
    for (size_t i = 0; i < waiting; ++i) backlog += frame;
    for (size_t i = 0; i < perRound; ++i) round += frame;
    deliver(backlog);
    bool ok = true;
    for ([[maybe_unused]] auto _ : state) {
        writeAll(round);
        p2pUpdate(nullptr);
        for (size_t i = 0; i < perRound; ++i) ok &= p2pRecv(d) == 1;
    }
    size_t left = drainInbox(d);
    if (!ok || left != waiting) state.SkipWithError("the inbox did not hold what was delivered");
    state.counters["waiting"] = static_cast<double>(left);
    llMapFree(d);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * perRound));
}
BENCHMARK(BM_InboxPushPop)->Arg(0)->Arg(10000);

// The library connects, as a client, to a bare listening socket here.
bool seat() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(LobbyPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listener, 4) != 0) {
        std::perror("lobby port");
        return false;
    }
    ArgNode *m = llMapNew();
    p2pInit(m);
    llMapSetString(m, "address", "127.0.0.1");
    llMapSetString(m, "user", "bench");
    bool connected = p2pConnect(m) == 1; // the handshake waits in our socket
    llMapFree(m);
    gHost = connected ? accept(listener, nullptr, nullptr) : -1;
    close(listener);
    if (gHost < 0) return false;
    char name[64];
    size_t held = 0;
    while (held == 0 || name[held - 1] != '\0') {
        ssize_t n = recv(gHost, name + held, sizeof name - held, 0);
        if (n <= 0) return false;
        held += static_cast<size_t>(n);
    }
    int big = 4 << 20;
    setsockopt(gHost, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(gHost, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ArgNode *d = llMapNew();
    for (int i = 0; i < 10; ++i) p2pUpdate(nullptr); // takes nothing: the inbox stays empty
    drainInbox(d);
    llMapFree(d);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::string why;
    if (!enterPrivateNetwork(&why))
        std::fprintf(stderr, "note: %s; using this machine's loopback\n", why.c_str());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    if (!seat()) {
        std::fprintf(stderr,
                     "ll_host_bench: could not connect the library to a local lobby host\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    p2pTerminate(nullptr);
    close(gHost);
    return 0;
}
