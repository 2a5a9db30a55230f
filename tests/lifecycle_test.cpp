#include "support/testkit.h"
#include <string>
using kit::Map;
struct Lifecycle : kit::LibTest {};

TEST_F(Lifecycle, InitAndCreateLobbyThenAlreadyConnectedUntilDisconnect) {
    Map i, a, b, c;
    p2pInit(i); EXPECT_EQ(i.rootChain(), "r"); EXPECT_EQ(i.i("result"), 1);
    p2pCreateLobby(a.set("user", "host"));
    EXPECT_EQ(a.rootChain(), "ur"); EXPECT_EQ(a.i("result"), 1);
    p2pCreateLobby(b); // the state is checked before "user" is read
    EXPECT_EQ(b.rootChain(), "er"); // "error" written before "result"
    EXPECT_EQ(b.s("error"), "already connected"); EXPECT_EQ(b.i("result"), 0);
    p2pDisconnect(nullptr);
    p2pCreateLobby(c.set("user", "again")); EXPECT_EQ(c.i("result"), 1);
}

TEST_F(Lifecycle, UserArgumentIsCheckedAndRefusalsChangeNothing) {
    Map none, number, tooLong, longest, empty;
    p2pCreateLobby(none); EXPECT_EQ(none.rootChain(), "er"); EXPECT_EQ(none.s("error"), "no user");
    p2pCreateLobby(number.set("user", 5)); EXPECT_EQ(number.s("error"), "no user");
    p2pCreateLobby(tooLong.set("user", std::string(LobbyMaxNameLength + 1, 'u')));
    EXPECT_EQ(tooLong.s("error"), "user too long"); EXPECT_EQ(tooLong.i("result"), 0);
    p2pCreateLobby(longest.set("user", std::string(LobbyMaxNameLength, 'u'))); // still Idle
    EXPECT_EQ(longest.i("result"), 1);
    p2pDisconnect(nullptr);
    p2pCreateLobby(empty.set("user", ""));
    EXPECT_EQ(empty.rootChain(), "ur"); EXPECT_EQ(empty.i("result"), 1);
}

TEST_F(Lifecycle, BothTerminateNamesReturnZeroAndKeepTheState) {
    for (auto terminate : {p2pTerminate, nlTerminate}) {
        Map m;
        createLobby(); EXPECT_EQ(terminate(nullptr), 0); p2pInit(nullptr);
        p2pCreateLobby(m.set("user", "x")); // still Lobby
        EXPECT_EQ(m.s("error"), "already connected");
        p2pDisconnect(nullptr);
    }
}

TEST_F(Lifecycle, SettersReturnTheirArgumentWhole) {
    int a, b;
    void *p = reinterpret_cast<void *>(~uintptr_t(0) / 3); // 0x5555...: no high bit to lose
    EXPECT_EQ(nlKeyDownFunc(&a), (intptr_t)&a); EXPECT_EQ(nlKeyDownFunc(&b), (intptr_t)&b);
    for (auto set : {nlPointerFunc, nlIntegerFunc, nlStringFunc, nlKeyCharFunc, nlKeyDownFunc,
                     nlKeyUpFunc, nlMouseDownFunc, nlMouseUpFunc, nlMouseMoveFunc})
        EXPECT_EQ(set(p), (intptr_t)p);
}

TEST_F(Lifecycle, NullMapQueriesEmptyRecvAndResultWrittenTwice) {
    Map r, twice;
    createLobby();
    EXPECT_EQ(p2pIsSearching(nullptr) | p2pSearchClientError(nullptr) | p2pNumClients(nullptr), 0);
    p2pRecv(r); // "result" only: no 'u', 'i' or 'm' in the root chain
    EXPECT_EQ(r.rootChain(), "r");
    EXPECT_TRUE(r.kind("result") == ValueInteger && r.i("result") == 0);
    p2pNumClients(twice); p2pClientName(twice); // Integer 0, then String "" (no client 0)
    EXPECT_EQ(twice.rootChain(), "r"); EXPECT_EQ(twice.kind("result"), ValueString);
    EXPECT_EQ(twice.s("result"), "");
}
