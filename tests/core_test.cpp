// The lobby core driven directly, as the binding layer drives it: plain
// values in and out, no dictionary. Members are real socket connections
// seated in the lobby without a handshake.
#include "support/testkit.h"

#include "net/state.h"

#include <sys/socket.h>

namespace {

using namespace kit;

struct Core : ::testing::Test {
    std::vector<Peer> far; // the members' ends of their connections
    void SetUp() override {
        ASSERT_TRUE(ll::lobbyStartup());
        ASSERT_EQ(ll::lobbyCreate("gold"), ll::OpenAllowed);
    }
    void TearDown() override {
        ll::lobbyDisconnect();
        ll::lobbyTerminate();
    }
    void seat(int id, const char *name) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ASSERT_TRUE(ll::sockSetNonBlocking(sv[0]));
        ll::Guard g(&ll::net.lock);
        ll::addClient(static_cast<uint8_t>(id), name, sv[0]);
        far.emplace_back(sv[1]);
    }
    std::vector<Msg> take() {
        std::vector<Msg> out;
        while (ll::InboxEntry *e = ll::inboxTake()) {
            out.push_back({static_cast<int8_t>(e->sender), static_cast<int8_t>(e->msgId),
                           std::string(e->text, e->length)});
            ll::inboxEntryFree(e);
        }
        return out;
    }
    // Updates until member k has received n bytes.
    std::string collect(size_t k, size_t n) {
        std::string got;
        waitUntil([&] {
            ll::lobbyUpdate();
            got += far[k].recv(n - got.size(), 1);
            return got.size() >= n;
        });
        return got;
    }
};

TEST_F(Core, PumpRelaysKicksAndAnnouncesWithoutADictionary) {
    seat(2, "ann");
    seat(3, "bo");
    seat(200, "cy");
    EXPECT_EQ(ll::memberCount(), 3);
    char name[ll::HandshakeLimit];
    ll::memberName(-56, name);
    EXPECT_STREQ(name, "cy");
    ll::memberName(200, name);
    EXPECT_STREQ(name, "");

    // ann broadcasts; bo unicasts to cy; the lobby host answers ann.
    ASSERT_TRUE(far[0].send(frame({7, BroadcastId}, "hi all")));
    ASSERT_TRUE(far[1].send(frame({8, 200}, "psst")));
    ll::messageSend(9, 2, "welcome", 7);
    EXPECT_EQ(ll::messageRoom(2), 65536 - 11);
    EXPECT_EQ(collect(0, 11), frame({HostId, 9, 2}, "welcome"));
    EXPECT_EQ(collect(1, 10), frame({2, 7, BroadcastId}, "hi all"));
    EXPECT_EQ(collect(2, 18), frame({2, 7, BroadcastId}, "hi all") + frame({3, 8, 200}, "psst"));
    EXPECT_EQ(take(), (std::vector<Msg>{{2, 7, "hi all"}}));

    // A kick and a closed connection: both announced to who remains.
    ll::memberKick(-56);
    far[1].close();
    EXPECT_TRUE(waitUntil([] {
        ll::lobbyUpdate();
        return ll::memberCount() == 1;
    }));
    EXPECT_EQ(take(), (std::vector<Msg>{{-56, MsgLeave, "cy"}, {3, MsgLeave, "bo"}}));
    EXPECT_EQ(collect(0, 12), frame({200, MsgLeave, BroadcastId}, "cy") +
                                  frame({3, MsgLeave, BroadcastId}, "bo"));
    EXPECT_TRUE(far[2].waitClosed());
    EXPECT_EQ(ll::messageRoom(3), 0);
}

} // namespace
