// Ids at the edges: ids above 127 as the host application sees them, the
// counter wrapping past the reserved ids, and a full lobby. Members are put
// into the lobby directly over socketpairs where a real admission of each
// would take too long; the newcomers of interest are admitted for real.
#include "support/testkit.h"

#include "net/core/admission.h"
#include "net/core/relay.h"
#include "net/core/state.h"

#include <chrono>
#include <sys/socket.h>
#include <thread>

namespace {

using namespace kit;

struct Ids : LibTest {
    std::vector<Peer> far; // the members' ends of their connections
    void SetUp() override {
        LibTest::SetUp();
        createLobby("gold");
    }
    // A member with the given id, without a handshake.
    void addMember(int id, const char *name) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ll::sockSetNonBlocking(sv[0]);
        ll::Guard g(&ll::net.lock);
        ll::addClient(static_cast<uint8_t>(id), name, sv[0]);
        far.emplace_back(sv[1]);
    }
};

TEST_F(Ids, IdsAbove127AreSignedBytes) {
    addMember(2, "lo");
    addMember(200, "hi");
    EXPECT_EQ(clientName(-56), "hi");
    EXPECT_EQ(clientName(200), "");
    EXPECT_EQ(room(-56), LobbyQueueBytes);
    EXPECT_EQ(room(200), 0);
    kick(200);
    EXPECT_EQ(numClients(), 2);
    kick(-56);
    EXPECT_EQ(numClients(), 1);
    EXPECT_EQ(drain(), (std::vector<Msg>{{-56, MsgLeave, "hi"}}));
    updateFor(100);
    EXPECT_EQ(far[0].recv(6, 2000), bytes({200, MsgLeave, 255}) + "hi" + nul());
    EXPECT_TRUE(far[1].waitClosed());
}

// The counter runs through the top of the range and wraps. The first
// admission also completes while the host's thread holds the state, as it
// does during a pump pass: the newcomer must wait for it, so that nothing of
// the lobby changes under the pump.
TEST_F(Ids, CounterSkipsReservedAndTakenIds) {
    addMember(2, "two");
    addMember(253, "top");
    {
        ll::Guard g(&ll::net.lock);
        ll::admission.nextId = 252;
    }
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    ASSERT_TRUE(waitUntil([] { return isSearching() == 1; })); // the admission thread runs
    Peer a = connectLobby();                                   // 253 is taken: 254
    {
        ll::Guard g(&ll::net.lock);
        ASSERT_TRUE(a.send("a" + nul()));
        std::this_thread::sleep_for(
            std::chrono::milliseconds(600)); // well past the handshake pause
        EXPECT_EQ(ll::relay.clientCount, 2) << "admitted while the host's thread held the state";
    }
    ASSERT_TRUE(waitUntil([] { return numClients() == 3 && isSearching() == 0; }));
    Peer b = admitRaw("b"); // 255, 0 and 1 are reserved, 2 is taken: 3
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(drain(), (std::vector<Msg>{{-2, MsgJoin, "a"}, {3, MsgJoin, "b"}}));
    EXPECT_EQ(clientName(-2), "a");
    EXPECT_EQ(clientName(3), "b");
}

TEST_F(Ids, AFullLobbyTurnsTheNewcomerAway) {
    for (int id = 2; id <= 254; ++id) addMember(id, "m");
    ASSERT_EQ(numClients(), LobbyMaxClients);
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    Peer p = connectLobby();
    ASSERT_TRUE(p.send("late" + nul()));
    EXPECT_TRUE(p.waitClosed());
    EXPECT_TRUE(waitUntil([] { return isSearching() == 0; }));
    EXPECT_EQ(searchError(), SearchLobbyFull);
    EXPECT_EQ(numClients(), LobbyMaxClients);
    EXPECT_TRUE(drain().empty());
}

} // namespace
