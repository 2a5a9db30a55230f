// A Windows host application in miniature: it loads lobbylink.dll at run time
// with LoadLibrary and GetProcAddress, as a game does, and drives the lobby
// through the exports with its own dictionaries. Further copies of the DLL
// under other file names are independent library instances, so one process
// can be lobby host and clients at once over real Winsock.
//
// Usage: winhost DLL [SECOND-DLL THIRD-DLL]. Prints one line per check and exits 0 when
// every check passed.
#include "common/loader.h"
#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char *what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

// One instance of the library; its calls by the header's names.
struct Lib {
    tools::Library exports;
    int32_t call(const char *name, ArgNode *map = nullptr) { return exports.byName(name)(map); }
};

std::string str(ArgNode *m, const char *key) {
    char *c = llMapGetString(m, key);
    std::string s = c ? c : "<none>";
    std::free(c);
    return s;
}

// Calls p2pUpdate on every instance until `done` holds or 5 s pass.
template <typename Pred> bool pumpAll(std::initializer_list<Lib *> libs, Pred done) {
    for (int i = 0; i < 5000; ++i) {
        for (Lib *lib : libs) lib->call("p2pUpdate");
        if (done()) return true;
        Sleep(1);
    }
    return false;
}
template <typename Pred> bool pump(Lib &a, Lib &b, Pred done) { return pumpAll({&a, &b}, done); }

// Joins `client` to the lobby of `host` as `name`; true once admitted.
bool join(Lib &host, Lib &client, const char *name, int members) {
    ArgNode *m = llMapNew();
    client.call("p2pInit", m);
    host.call("p2pSearchClient", m);
    llMapSetString(m, "address", "127.0.0.1");
    llMapSetString(m, "user", name);
    client.call("p2pConnect", m);
    bool ok = llMapGetInt(m, "result") == 1;
    llMapFree(m);
    return ok && pump(host, client, [&] {
               return host.call("p2pNumClients") == members && host.call("p2pIsSearching") == 0;
           });
}

void sendText(Lib &from, const char *text, int id, int rcv) {
    ArgNode *m = llMapNew();
    llMapSetString(m, "msg", text);
    llMapSetInt(m, "id", id);
    llMapSetInt(m, "rcv", rcv);
    from.call("p2pSend", m);
    llMapFree(m);
}

// Waits for the next message at `to` other than a join notice.
bool next(Lib &to, std::initializer_list<Lib *> all, ArgNode *m) {
    return pumpAll(all,
                   [&] { return to.call("p2pRecv", m) == 1 && llMapGetInt(m, "id") != MsgJoin; });
}

void tableAndLifecycle(Lib &lib) {
    check(lib.exports.terminate == lib.exports.nlTerminate, "nlTerminate is p2pTerminate");

    int a = 0, b = 0;
    check(lib.exports.nlKeyDownFunc(&a) == reinterpret_cast<intptr_t>(&a) &&
              lib.exports.nlKeyDownFunc(&b) == reinterpret_cast<intptr_t>(&b),
          "a setter returns its argument");

    ArgNode *m = llMapNew();
    lib.call("p2pInit", m);
    check(llMapGetInt(m, "result") == 1, "p2pInit writes result 1");
    llMapFree(m);

    m = llMapNew();
    lib.call("p2pCreateLobby", m);
    check(str(m, "error") == "no user" && llMapGetInt(m, "result") == 0,
          "p2pCreateLobby without a user fails with \"no user\"");
    llMapFree(m);

    m = llMapNew();
    llMapSetString(m, "user", "gold");
    lib.call("p2pCreateLobby", m);
    check(llMapGetInt(m, "result") == 1 && llMapKind(m, "error") == 0,
          "p2pCreateLobby opens a lobby");
    lib.call("p2pCreateLobby", m);
    check(str(m, "error") == "already connected" && llMapGetInt(m, "result") == 0,
          "a second p2pCreateLobby reports \"already connected\"");
    llMapFree(m);

    check(lib.call("p2pNumClients") == 0, "no clients in a new lobby");
    lib.call("p2pDisconnect");
    m = llMapNew();
    lib.call("p2pRecv", m);
    check(llMapGetInt(m, "result") == 0, "the inbox is empty after p2pDisconnect");
    llMapFree(m);
}

void lobbyOverWinsock(Lib &host, Lib &client) {
    ArgNode *m = llMapNew();
    client.call("p2pInit", m);
    llMapSetString(m, "user", "gold");
    host.call("p2pCreateLobby", m);
    host.call("p2pSearchClient", m);
    check(llMapGetInt(m, "result") == 1, "p2pSearchClient binds the lobby port");
    llMapFree(m);

    // The lobby listens from the moment p2pSearchClient has answered.
    m = llMapNew();
    llMapSetString(m, "address", "127.0.0.1");
    llMapSetString(m, "user", "teal");
    client.call("p2pConnect", m);
    check(llMapGetInt(m, "result") == 1 && llMapGetInt(m, "pkg") == 1,
          "p2pConnect joins the lobby");
    llMapFree(m);

    bool joined = pump(host, client, [&] {
        return host.call("p2pNumClients") == 1 && host.call("p2pIsSearching") == 0;
    });
    check(joined, "the lobby host admits the client");

    m = llMapNew();
    bool gotJoin = pump(host, client, [&] { return client.call("p2pRecv", m) == 1; });
    check(gotJoin && llMapGetInt(m, "usr") == 1 && llMapGetInt(m, "id") == MsgJoin &&
              str(m, "msg") == "gold",
          "the client's first message is the lobby host's join notice");
    llMapFree(m);

    m = llMapNew();
    llMapSetString(m, "msg", "hello host");
    llMapSetInt(m, "id", 5);
    llMapSetInt(m, "rcv", BroadcastId);
    client.call("p2pSend", m);
    llMapFree(m);
    m = llMapNew();
    host.call("p2pRecv", m); // the join entry
    bool got = pump(host, client, [&] { return host.call("p2pRecv", m) == 1; });
    check(got && llMapGetInt(m, "usr") == 2 && llMapGetInt(m, "id") == 5 &&
              str(m, "msg") == "hello host",
          "the lobby host receives the client's broadcast");
    llMapFree(m);

    m = llMapNew();
    llMapSetString(m, "msg", "welcome");
    llMapSetInt(m, "id", 9);
    llMapSetInt(m, "rcv", 2);
    host.call("p2pSend", m);
    llMapFree(m);
    m = llMapNew();
    got = pump(host, client, [&] { return client.call("p2pRecv", m) == 1; });
    check(got && llMapGetInt(m, "usr") == 1 && llMapGetInt(m, "id") == 9 &&
              str(m, "msg") == "welcome",
          "the client receives the lobby host's message");
    llMapFree(m);

    m = llMapNew();
    llMapSetInt(m, "id", 2);
    host.call("p2pKick", m);
    llMapFree(m);
    m = llMapNew();
    got = pump(host, client, [&] { return client.call("p2pRecv", m) == 1; });
    check(got && llMapGetInt(m, "usr") == 0 && llMapGetInt(m, "id") == MsgError &&
              str(m, "msg") == "error",
          "a kicked client sees its connection lost");
    llMapFree(m);

    client.call("p2pDisconnect");
    host.call("p2pDisconnect");
    check(client.call("p2pTerminate") == 0 && host.call("nlTerminate") == 0,
          "p2pTerminate returns WSACleanup's result");
}

// Three instances: the lobby host relays between two clients over Winsock.
void relayOverWinsock(Lib &host, Lib &a, Lib &b) {
    ArgNode *m = llMapNew();
    host.call("p2pInit", m);
    llMapSetString(m, "user", "gold");
    host.call("p2pCreateLobby", m);
    llMapFree(m);
    check(join(host, a, "red", 1) && join(host, b, "blue", 2), "two clients join one lobby");
    std::initializer_list<Lib *> all = {&host, &a, &b};

    sendText(a, "to everybody", 5, BroadcastId);
    m = llMapNew();
    check(next(b, all, m) && llMapGetInt(m, "usr") == 2 && llMapGetInt(m, "id") == 5 &&
              str(m, "msg") == "to everybody",
          "a broadcast from one client reaches the other through the lobby host");
    sendText(b, std::string(60000, 'x').c_str(), 6, 2);
    check(next(a, all, m) && llMapGetInt(m, "usr") == 3 && str(m, "msg") == std::string(60000, 'x'),
          "a 60000-character message from one client reaches the other whole");
    llMapFree(m);

    b.call("p2pDisconnect");
    m = llMapNew();
    check(next(a, all, m) && llMapGetInt(m, "usr") == 3 && llMapGetInt(m, "id") == MsgLeave &&
              str(m, "msg") == "blue",
          "a client that leaves is announced to the others");
    llMapFree(m);
    for (Lib *lib : all) {
        lib->call("p2pDisconnect");
        lib->call("p2pTerminate");
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: winhost DLL [SECOND-DLL THIRD-DLL]\n");
        return 2;
    }
    // Loading binds all 28 exports, or says which are missing.
    Lib first, second, third;
    std::string error;
    bool loaded = tools::libraryLoad(argv[1], &first.exports, &error);
    check(loaded, "all 28 exports resolve");
    if (!loaded) {
        std::printf("FAILED: %s\n", error.c_str());
        return 1;
    }
    tableAndLifecycle(first);
    if (argc > 3) {
        bool more = tools::libraryLoad(argv[2], &second.exports, &error) &&
                    tools::libraryLoad(argv[3], &third.exports, &error);
        check(more && second.exports.handle != first.exports.handle &&
                  third.exports.handle != second.exports.handle,
              "more copies load as instances of their own");
        if (more) {
            lobbyOverWinsock(first, second);
            relayOverWinsock(first, second, third);
        }
    }
    std::printf("%s: %d failed\n", failures ? "FAILED" : "PASSED", failures);
    return failures ? 1 : 0;
}
