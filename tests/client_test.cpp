// The client role against a raw socket playing the lobby host.
#include "common/blackhole.h"
#include "support/descriptors.h"
#include "support/testkit.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

using kit::bytes;
using kit::Msg;
using kit::nul;
using Msgs = std::vector<Msg>;

using kit::room;
using kit::send;

namespace {

struct ClientTest : kit::LibTest {
    kit::Listener lobby;
    kit::Peer host;
    void SetUp() override {
        kit::LibTest::SetUp();
        ASSERT_TRUE(lobby.open("127.0.0.1"));
    }
    // p2pConnect as `user`; the raw lobby host accepts and reads the handshake.
    void join(const std::string &user = "alice") {
        kit::Map m;
        p2pConnect(m.set("address", "127.0.0.1").set("user", user));
        ASSERT_EQ(m.i("result"), 1);
        host = lobby.accept();
        ASSERT_EQ(kit::hex(host.recvQuiet()), kit::hex(user + nul()));
    }
};

// "address" as the chat writes it: brackets around IPv6, a port after a
// colon; a bare host keeps the lobby port, and junk is not looked up.
TEST_F(ClientTest, AddressesTakeBracketsAndPorts) {
    kit::Listener v6;
    ASSERT_TRUE(v6.open("::1"));
    // The error each gives; "<none>": none, connected.
    const char *none = "<none>", *cases[][2] = {{"[::1]", none},
                                                {"[::1]:31903", none},
                                                {"127.0.0.1:31903", none},
                                                {"::1", none},
                                                {"127.0.0.1:1", "couldn't connect"},
                                                {"[::1", "getaddrinfo"},
                                                {"127.0.0.1:99999", "getaddrinfo"}};
    for (const auto &c : cases) {
        kit::Map m;
        p2pConnect(m.set("address", c[0]).set("user", "alice"));
        bool in = c[1] == none;
        EXPECT_EQ(m.s("error"), c[1]) << c[0];
        EXPECT_EQ(m.i("result"), in ? 1 : 0) << c[0];
        EXPECT_TRUE(!in || (c[0][0] == '1' ? lobby : v6).accept().ok()) << c[0];
        p2pDisconnect(nullptr);
    }
}

TEST_F(ClientTest, ConnectWritesItsResultsInOrder) {
    std::string tooLong(64, 'n');
    for (const char *user : {static_cast<const char *>(nullptr), tooLong.c_str()}) {
        kit::Map m;
        if (user) m.set("user", user);
        p2pConnect(m);
        EXPECT_EQ(m.rootChain(), user ? "uer" : "er"); // "error", then "result"
        EXPECT_EQ(m.s("error"), user ? "user too long" : "no user");
        EXPECT_EQ(m.i("result"), 0);
    }
    EXPECT_FALSE(lobby.accept(300).ok()) << "no connection for a bad name";
    EXPECT_EQ(room(), 0); // still idle

    // Both strings are lists with cells beyond their count, which only the
    // count delimits. The handshake pauses once, for 100 ms.
    using Clock = std::chrono::steady_clock;
    kit::Map ok;
    auto start = Clock::now();
    p2pConnect(
        ok.setOverlong("address", "127.0.0.1 and more", 9).setOverlong("user", "alice!!!!!!!!", 5));
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(100));
    EXPECT_EQ(ok.rootChain(), "aupr");
    EXPECT_EQ(ok.i("pkg"), 1);
    EXPECT_EQ(ok.i("result"), 1);
    host = lobby.accept();
    EXPECT_EQ(kit::hex(host.recvQuiet()), kit::hex("alice" + nul())); // and nothing else
    // Once, not longer: under load one connect may come late, so the fastest
    // of up to three counts.
    for (int more = 0; more < 2 && took >= std::chrono::milliseconds(190); ++more) {
        p2pDisconnect(nullptr);
        kit::Map retry;
        start = Clock::now();
        p2pConnect(retry.set("address", "127.0.0.1").set("user", "alice"));
        took = std::min(took, Clock::now() - start);
        host = lobby.accept();
    }
    EXPECT_LT(took, std::chrono::milliseconds(190));
    EXPECT_EQ(room(), LobbyQueueBytes);

    kit::Map again;
    p2pConnect(again.set("user", "bob"));
    EXPECT_EQ(again.rootChain(), "uer");
    EXPECT_EQ(again.s("error"), "already connected");
    p2pDisconnect(nullptr);

    ::close(lobby.fd); // nobody listens; no address: the loopback addresses are tried
    lobby.fd = -1;
    kit::Map refused;
    p2pConnect(refused.set("user", "bob"));
    EXPECT_EQ(refused.rootChain(), "ure"); // "result" first
    EXPECT_EQ(refused.i("result"), 0);
    EXPECT_EQ(refused.s("error"), "couldn't connect");
    EXPECT_EQ(room(), 0);
}

TEST_F(ClientTest, HostFramesBecomeInboxEntries) {
    join();
    // Two frames in one send, one too short to carry a header, a sender and a
    // message id above 127.
    host.send(bytes({2, 5, 0xFF, 'h', 'i', 0, 1, 7, 2, 0, 1, 2, 0, 200, 200, 0xFF, 'x', 0}));
    Msgs got;
    kit::updateUntil([&] {
        for (auto &m : kit::drain()) got.push_back(m);
        return got.size() >= 3;
    });
    EXPECT_EQ(got, (Msgs{{2, 5, "hi"}, {1, 7, ""}, {-56, -56, "x"}}));
    host.send(bytes({3, 6, 0xFF, 'a', 'b'})); // a frame in two pieces
    kit::updateFor(200);
    EXPECT_EQ(kit::drain(), Msgs{});
    host.send(bytes({'c', 0}));
    Msg m;
    ASSERT_TRUE(kit::updateUntilMsg(&m));
    EXPECT_EQ(m, (Msg{3, 6, "abc"}));
    // The longest frame, a whole queue with its 0, arrives whole; a queue's
    // worth of bytes without a 0 is a broken connection.
    const std::string longest(kit::LongestClientText, 'L');
    host.send(bytes({4, 9, 0xFF}) + longest + nul());
    ASSERT_TRUE(kit::updateUntilMsg(&m));
    EXPECT_EQ(m, (Msg{4, 9, longest}));
    host.send(std::string(LobbyQueueBytes, 'x'));
    ASSERT_TRUE(kit::updateUntilMsg(&m));
    EXPECT_EQ(m, (Msg{0, MsgError, "error"}));
}

TEST_F(ClientTest, LossIsReportedOnceAndTheStateStaysClient) {
    std::signal(SIGPIPE, SIG_DFL); // a send that raised it would end this process
    join();
    host.close();
    Msg m;
    ASSERT_TRUE(kit::updateUntilMsg(&m));
    EXPECT_EQ(m, (Msg{0, MsgError, "error"}));
    kit::updateFor(200);
    EXPECT_EQ(kit::drain(), Msgs{});
    kit::Map late, again;
    p2pSend(late.set("msg", "late").set("rcv", 255)); // nowhere to go
    EXPECT_EQ(room(), LobbyQueueBytes);
    p2pConnect(again.set("user", "alice"));
    EXPECT_EQ(again.s("error"), "already connected");
    p2pDisconnect(nullptr);
    join("carol");
    // This time the lobby host goes with bytes queued for it: the send fails.
    send(5, 1, "queued");
    host.finThenReset();
    ASSERT_TRUE(kit::updateUntilMsg(&m));
    EXPECT_EQ(m, (Msg{0, MsgError, "error"}));
}

// p2pConnect with "async" returns at once; the join goes on beside the
// updates and ends in the inbox: the lobby host's join notice first, or one
// notice with the reason. A cancelled join leaves nothing behind.
TEST_F(ClientTest, AsyncJoinEndsInTheJoinNoticeOrOneReason) {
    auto start = [](const std::string &address, const std::string &user = "alice") {
        kit::Map m;
        p2pConnect(m.set("address", address).set("user", user).set("async", 1));
        EXPECT_EQ(m.rootChain(), "aur") << "only \"result\" written";
        EXPECT_EQ(m.i("result"), 1);
    };
    auto notices = [](const Msgs &want) {
        Msgs got;
        kit::updateUntil([&] {
            for (auto &m : kit::drain()) got.push_back(m);
            return got.size() >= want.size();
        });
        kit::updateFor(100); // and nothing after them
        for (auto &m : kit::drain()) got.push_back(m);
        EXPECT_EQ(got, want);
    };
    kit::Map noUser;
    p2pConnect(noUser.set("async", 1)); // the checks without network stay immediate
    EXPECT_EQ(noUser.s("error"), "no user");

    // Admitted. A message sent while joining goes out after the name and its
    // pause; what comes before the lobby host's join notice goes nowhere.
    start("127.0.0.1");
    send(5, 255, "early");
    EXPECT_EQ(room(), LobbyQueueBytes - 8);
    host = lobby.accept();
    EXPECT_EQ(kit::hex(host.pumpRecv(14)),
              kit::hex("alice" + nul() + kit::frame({5, 255}, "early")));
    host.send(kit::frame({1, 9, 255}, "not yet") + kit::frame({1, MsgJoin, 255}, "gold") +
              kit::frame({1, 9, 255}, "now"));
    notices({{1, MsgJoin, "gold"}, {1, 9, "now"}});
    host.close();
    notices({{0, MsgError, "error"}}); // admitted: a loss as always
    p2pDisconnect(nullptr);

    // Refused: the lobby host reads the name and hangs up. Until
    // p2pDisconnect the library answers "already connected".
    start("127.0.0.1", "bob");
    host = lobby.accept();
    EXPECT_EQ(host.recvQuiet(), "bob" + nul());
    host.close();
    notices({{0, MsgError, "refused"}});
    kit::Map again;
    p2pConnect(again.set("user", "bob").set("async", 1));
    EXPECT_EQ(again.s("error"), "already connected");
    p2pDisconnect(nullptr);

    // A black hole: connecting, sends queued, then cancelled with no
    // notice, thread or socket left. Then nobody listens, and an unknown name.
    ::close(lobby.fd);
    lobby.fd = -1;
    {
        tools::BlackHole hole;
        ASSERT_TRUE(hole.open());
        int descriptors = kit::openDescriptors(), threads = kit::runningThreads();
        start("127.0.0.1");
        send(5, 255, "waiting");
        kit::updateFor(300);
        EXPECT_EQ(kit::drain(), Msgs{});
        EXPECT_EQ(room(), LobbyQueueBytes - 10);
        p2pDisconnect(nullptr);
        EXPECT_EQ(kit::openDescriptors(), descriptors);
        EXPECT_EQ(kit::runningThreads(), threads);
        notices({});
        EXPECT_EQ(room(), 0);
    }
    start("127.0.0.1");
    notices({{0, MsgError, "couldn't connect"}});
    p2pDisconnect(nullptr);
    start(kit::UnresolvableName);
    notices({{0, MsgError, "getaddrinfo"}});
}

TEST_F(ClientTest, BigBacklogReachesASlowHostWholeAndInOrder) {
    int small = 4096; // the accepted connection takes little at a time
    ::setsockopt(lobby.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    join();
    std::string expected, got;
    auto start = std::chrono::steady_clock::now();
    // About 10 MB, enough to fill the socket buffers: sends are partial or refused.
    for (int seq = 0; seq < 20000;) {
        std::string text = std::to_string(seq) + std::string(seq % 997, '.');
        if (text.size() + LobbyClientFrameOverhead < size_t(room())) {
            kit::Map s;
            p2pSend(s.set("msg", text).set("id", 3).set("rcv", 1));
            expected += bytes({3, 1}) + text + nul();
            ++seq;
            continue;
        }
        p2pUpdate(nullptr);
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300))
            got += host.recv(LobbyQueueBytes, 1); // the host starts reading late
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40));
    }
    kit::updateUntil(
        [&] {
            got += host.recv(LobbyQueueBytes, 1);
            return got.size() >= expected.size();
        },
        20000);
    EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
}

} // namespace
