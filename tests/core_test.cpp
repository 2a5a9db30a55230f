// The lobby core driven directly, as the binding layer drives it: plain
// values in and out, no dictionary. Members are real socket connections
// seated in the lobby without a handshake.
#include "support/testkit.h"

#include "net/core/client.h"
#include "net/core/relay.h"
#include "net/core/state.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace kit;

// The inbox stops taking from the network at this many entries.
const uint32_t InboxEntryBound = 65536;

struct Core : ::testing::Test {
    std::vector<Peer> far; // the members' ends of their connections
    std::vector<int> ids;
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
        ids.push_back(id);
    }
    // Member k stops reading: the kernel buffers between the lobby host and
    // it are filled with `pad` bytes it has yet to read, so everything the
    // lobby host queues for it stays queued.
    size_t stall(size_t k) {
        int small = 4096;
        setsockopt(far[k].fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        int hostEnd = ll::findClientBySignedId(static_cast<int8_t>(ids[k]))->socket;
        setsockopt(hostEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        std::string pad(4096, 'p');
        size_t padded = 0;
        for (ssize_t n; (n = ::send(hostEnd, pad.data(), pad.size(), MSG_DONTWAIT)) > 0;)
            padded += static_cast<size_t>(n);
        return padded;
    }
    // Reads member k's connection, updating, until `n` bytes came.
    size_t drainMember(size_t k, size_t n) {
        size_t got = 0;
        waitUntil(
            [&] {
                ll::lobbyUpdate();
                got += far[k].recv(n - got, 1).size();
                return got >= n;
            },
            20000);
        return got;
    }
    std::vector<Msg> take() {
        std::vector<Msg> out;
        ll::InboxMessage e;
        while (ll::inboxTake(&e))
            out.push_back({static_cast<int8_t>(e.sender), static_cast<int8_t>(e.msgId),
                           std::string(e.text, e.length)});
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
    EXPECT_EQ(ll::messageRoom(2), LobbyQueueBytes - 11);
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
    EXPECT_EQ(collect(0, 12),
              frame({200, MsgLeave, BroadcastId}, "cy") + frame({3, MsgLeave, BroadcastId}, "bo"));
    EXPECT_TRUE(far[2].waitClosed());
    EXPECT_EQ(ll::messageRoom(3), 0);
}

// The lobby host's own messages go into a queue that relayed traffic
// fills past a queue's size: they wait within the relay room like relayed
// frames, the member is not dropped, and every byte arrives.
TEST_F(Core, LobbyHostSendsWaitWithinTheRelayRoom) {
    seat(2, "ann");
    size_t pad = stall(0);
    std::string text(60000, 't');
    for (int i = 0; i < 4; ++i) ll::messageSend(9, 2, text.data(), text.size());
    for (int i = 0; i < 20; ++i) ll::lobbyUpdate();
    EXPECT_EQ(ll::memberCount(), 1);
    EXPECT_EQ(ll::messageRoom(2), 0);
    EXPECT_EQ(drainMember(0, pad + 4 * 60004), pad + 4 * 60004);
    EXPECT_EQ(ll::memberCount(), 1);
}

// A member paused with its queue just below the high-water mark while
// another finishes a long frame and adds a burst of short ones: one receive
// must never relay more than the queue can take.
TEST_F(Core, FlowControlNeverDropsAMemberByArithmetic) {
    seat(2, "ann");
    seat(3, "bo");
    size_t pad = stall(1);
    std::string text(60000, 't');
    ll::messageSend(9, 3, text.data(), text.size());
    ll::messageSend(9, 3, text.data(), text.size()); // bo's queue: 120008 bytes
    std::string head = bytes({5, 3}) + std::string(65000, 'x');
    ASSERT_TRUE(far[0].send(head));
    for (int i = 0; i < 5; ++i) ll::lobbyUpdate(); // the frame reader holds it
    std::string burst = nul();
    for (int i = 0; i < 21845; ++i) burst += frame({5, 3}, "");
    ASSERT_TRUE(far[0].send(burst));
    for (int i = 0; i < 20; ++i) ll::lobbyUpdate();
    EXPECT_EQ(ll::memberCount(), 2);
    size_t relayed = 2 * 60004 + (1 + head.size() + 1) + 21845 * 4;
    EXPECT_EQ(drainMember(1, pad + relayed), pad + relayed);
    EXPECT_EQ(ll::memberCount(), 2);
}

// A member floods the lobby host with messages while the host application
// takes none: the inbox stops growing at its bound, the sender waits in
// TCP, and once the host reads, every message arrives in order. Then the
// same towards a client: a raw lobby host floods it.
TEST_F(Core, InboxIsBoundedWhileTheHostTakesNothing) {
    // `total` frames frameOf(message id) through fd, all expected from
    // `sender`; far more than the socket buffers hold.
    auto flood = [](int fd, int sender, std::string (*frameOf)(int)) {
        int flags = fcntl(fd, F_GETFL, 0);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        const int total = 300000;
        std::string all;
        for (int i = 0; i < total; ++i) all += frameOf(1 + i % 100);
        // The most entries one receive can add.
        const uint32_t oneReceive = LobbyQueueBytes / static_cast<uint32_t>(frameOf(1).size()) + 1;
        size_t sent = 0;
        uint32_t most = 0;
        int taken = 0, inOrder = 0, stuck = 0;
        bool heldBack = false;
        waitUntil(
            [&] {
                ssize_t n = ::send(fd, all.data() + sent, all.size() - sent, MSG_DONTWAIT);
                if (n > 0) sent += static_cast<size_t>(n);
                stuck = n > 0 ? 0 : stuck + 1;
                ll::lobbyUpdate();
                {
                    ll::Guard g(&ll::net.lock);
                    most = std::max(most, ll::net.inbox.count);
                }
                // The host application starts reading only once the inbox is
                // full and the sender held back (or everything was sent).
                heldBack =
                    heldBack || (most >= InboxEntryBound && stuck >= 50 && sent < all.size());
                ll::InboxMessage e;
                if (heldBack || sent == all.size() || taken > 0)
                    while (ll::inboxTake(&e)) {
                        inOrder += e.msgId == 1 + taken % 100 && e.sender == sender ? 1 : 0;
                        ++taken;
                    }
                return taken == total;
            },
            30000);
        EXPECT_GE(most, InboxEntryBound);
        EXPECT_LE(most, InboxEntryBound + oneReceive);
        EXPECT_TRUE(heldBack);
        EXPECT_EQ(taken, total);
        EXPECT_EQ(inOrder, total);
    };
    seat(2, "ann");
    flood(far[0].fd, 2, [](int id) { return frame({id, HostId}, ""); });
    EXPECT_EQ(ll::memberCount(), 1);

    ll::lobbyDisconnect();
    Listener lobby;
    ASSERT_TRUE(lobby.open("127.0.0.1"));
    ASSERT_EQ(ll::clientConnect("127.0.0.1", "ann").step, ll::Connected);
    Peer host = lobby.accept();
    ASSERT_EQ(host.recv(4), "ann" + nul());
    // Loopback TCP would otherwise buffer megabytes between the two.
    int small = 65536;
    setsockopt(host.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(ll::clientRole.socket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    flood(host.fd, HostId, [](int id) { return frame({HostId, id, 2}, ""); });
    ll::Guard g(&ll::net.lock);
    EXPECT_NE(ll::clientRole.socket, ll::InvalidSocket);
}

} // namespace
