// A demo host application: a lobby host and two clients, each a separate
// process with its own copy of the library, meet on this machine's loopback,
// greet each other, and part. Every process prints its inbox as it goes.
//
// Usage: lobbydemo [ADDRESS]   (default 127.0.0.1)
#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
const char *gAddress = "127.0.0.1";

struct Map {
    ArgNode *root = llMapNew();
    ~Map() { llMapFree(root); }
    int32_t i(const char *k) { return llMapGetInt(root, k); }
    std::string s(const char *k) {
        char *c = llMapGetString(root, k);
        std::string r = c ? c : "";
        std::free(c);
        return r;
    }
};

// Runs the main loop for `ms`, printing what arrives; stops early once
// `until` messages have arrived (0: run the whole time).
int loop(const char *who, int ms, int until = 0) {
    int got = 0;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end && (until == 0 || got < until)) {
        p2pUpdate(nullptr);
        Map m;
        while (p2pRecv(m.root) == 1) {
            int id = m.i("id");
            const char *what = id == MsgJoin ? "joined" : id == MsgLeave ? "left" : id == MsgError ? "notice" : "says";
            std::printf("[%s] from %d (%s): %s\n", who, m.i("usr"), what, m.s("msg").c_str());
            std::fflush(stdout);
            ++got;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return got;
}

void send(const char *text, int id, int rcv) {
    Map m;
    llMapSetString(m.root, "msg", text);
    llMapSetInt(m.root, "id", id);
    llMapSetInt(m.root, "rcv", rcv);
    p2pSend(m.root);
}

int client(const char *name, bool leaveEarly) {
    Map m;
    p2pInit(m.root);
    llMapSetString(m.root, "address", gAddress);
    llMapSetString(m.root, "user", name);
    for (int tries = 0; tries < 100; ++tries) {
        if (p2pConnect(m.root) == 1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (m.i("result") != 1) {
        std::printf("[%s] could not join: %s\n", name, m.s("error").c_str());
        return 1;
    }
    loop(name, 1500);
    std::string hello = std::string("hello everybody, this is ") + name;
    send(hello.c_str(), 10, BroadcastId);
    send("a word for the lobby host only", 11, HostId);
    loop(name, 1500);
    if (leaveEarly) {
        std::printf("[%s] leaving\n", name);
        p2pDisconnect(nullptr);
    } else {
        loop(name, 2000);
        p2pDisconnect(nullptr);
    }
    p2pTerminate(nullptr);
    return 0;
}

int host() {
    Map m;
    p2pInit(m.root);
    llMapSetString(m.root, "user", "gold");
    p2pCreateLobby(m.root);
    std::printf("[gold] lobby open on port %d\n", LobbyPort);
    for (int n = 1; n <= 2; ++n) {
        Map s;
        p2pSearchClient(s.root);
        if (s.i("result") != 1) {
            std::printf("[gold] cannot listen: %s\n", s.s("error").c_str());
            return 1;
        }
        auto end = Clock::now() + std::chrono::seconds(10);
        while (p2pNumClients(nullptr) < n && Clock::now() < end) loop("gold", 20);
    }
    loop("gold", 1000);
    send("welcome, both of you", 20, BroadcastId);
    loop("gold", 4000);
    p2pDisconnect(nullptr);
    p2pTerminate(nullptr);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1) gAddress = argv[1];
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pid_t kids[2];
    const char *names[2] = {"red", "blue"};
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        if (kids[k] == 0) {
            // Join one after the other: the lobby host admits one client per search.
            std::this_thread::sleep_for(std::chrono::milliseconds(300 + 600 * k));
            _exit(client(names[k], k == 1));
        }
    }
    int status = host(), code = 0;
    for (pid_t pid : kids) {
        waitpid(pid, &code, 0);
        if (!WIFEXITED(code) || WEXITSTATUS(code) != 0) status = 1;
    }
    std::printf(status == 0 ? "demo finished\n" : "demo failed\n");
    return status;
}
