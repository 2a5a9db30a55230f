#include "support/testkit.h"

#include "net/base/clock.h"
#include "net/base/limits.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>

namespace {

using namespace kit;

void expectSame(const std::string &got, const std::string &expected) {
    EXPECT_EQ(hex(got.substr(0, 100)), hex(expected.substr(0, 100)));
    EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size() << " bytes";
}

// Runs p2pUpdate until as many bytes as `expected` holds have come from `p`.
void expectBytes(Peer &p, const std::string &expected) {
    expectSame(p.pumpRecv(expected.size()), expected);
}

// More than the kernel buffers between the lobby host and a receiver that does
// not read can hold (the send buffer alone may grow to 4 MB on loopback), so
// the rest has to wait in the lobby host's queue and behind it.
const int FloodFrames = 6000;

// Numbered 1000-byte frames from client 2 to `to`; *relayed gets their relayed form.
std::string flood(int to, std::string *relayed) {
    std::string out;
    for (int i = 0; i < FloodFrames; ++i) {
        std::string text = std::to_string(i);
        text.resize(997, '.');
        out += frame({5, to}, text);
        *relayed += frame({2, 5, to}, text);
    }
    return out;
}

class RelayTest : public LibTest {
  protected:
    // A lobby with one raw client per name (ids 2, 3, ...), joins consumed.
    std::vector<Peer> lobby(std::initializer_list<const char *> names) {
        createLobby("host");
        std::vector<Peer> peers;
        for (const char *n : names) peers.push_back(admitRaw(n));
        for (auto &p : peers) EXPECT_TRUE(p.ok());
        updateFor(100);
        for (auto &p : peers) p.recvQuiet(50, 1000);
        drain();
        return peers;
    }
};

TEST_F(RelayTest, RoutingByReceiverByte) {
    auto p = lobby({"a", "b", "c"});
    struct Case {
        int rcv;
        bool inbox, toB, toC;
    };
    for (const Case &c : {Case{255, true, true, true}, Case{1, true, false, false},
                          Case{3, false, true, false}, Case{4, false, false, true},
                          Case{2, false, false, false}, Case{9, false, false, false}}) {
        SCOPED_TRACE(c.rcv);
        // A broadcast marker behind the frame shows when everything is through.
        std::string text = "m" + std::to_string(c.rcv);
        ASSERT_TRUE(p[0].send(frame({7, c.rcv}, text) + frame({8, 255}, "end")));
        std::string relayed = frame({2, 7, c.rcv}, text), marker = frame({2, 8, 255}, "end");
        expectBytes(p[1], (c.toB ? relayed : "") + marker);
        expectBytes(p[2], (c.toC ? relayed : "") + marker);
        std::vector<Msg> inbox;
        if (c.inbox) inbox.push_back({2, 7, text});
        inbox.push_back({2, 8, "end"});
        EXPECT_EQ(drain(), inbox);
    }
    updateFor(50);
    EXPECT_EQ(p[0].recv(1, 50), ""); // nothing ever goes back to the sender
}

TEST_F(RelayTest, FramesAcrossAndWithinReceives) {
    auto p = lobby({"a", "b"});
    // One update routes two frames of one receive in order; empty frames and a
    // frame with receiver 0 go nowhere.
    ASSERT_TRUE(p[0].send(nul() + nul() + frame({5, 255}, "one") + bytes({6, 0, 0}) +
                          frame({6, 255}, "two")));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p2pUpdate(nullptr);
    EXPECT_EQ(drain(), (std::vector<Msg>{{2, 5, "one"}, {2, 6, "two"}}));
    // A frame split over two receives is routed by the update that brings its 0.
    ASSERT_TRUE(p[0].send(bytes({7, 255}) + "sp"));
    updateFor(50);
    EXPECT_TRUE(drain().empty());
    ASSERT_TRUE(p[0].send("lit" + nul()));
    Msg m;
    ASSERT_TRUE(updateUntilMsg(&m));
    EXPECT_EQ(m, (Msg{2, 7, "split"}));
    expectBytes(p[1], frame({2, 5, 255}, "one") + frame({2, 6, 255}, "two") +
                          frame({2, 7, 255}, "split"));
}

TEST_F(RelayTest, LeaveNoticesInListOrder) {
    std::signal(SIGPIPE, SIG_DFL); // a send that raised it would end this process
    auto p = lobby({"a", "b", "c", "d"});
    // b sends a last byte and goes with bytes queued for it: the receive
    // still brings data, the send after it fails.
    send(5, 3, "queued");
    ASSERT_TRUE(p[1].send(nul()));
    p[1].finThenReset();
    Msg m;
    ASSERT_TRUE(updateUntilMsg(&m));
    EXPECT_EQ(m, (Msg{3, 127, "b"}));
    EXPECT_EQ(numClients(), 3);
    for (int i : {0, 2, 3}) expectBytes(p[i], frame({3, 127, 255}, "b"));
    // Two leave in one update: removed in list order, not in closing order.
    p[3].close();
    p[2].close();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    p2pUpdate(nullptr);
    EXPECT_EQ(drain(), (std::vector<Msg>{{4, 127, "c"}, {5, 127, "d"}}));
    EXPECT_EQ(numClients(), 1);
    expectBytes(p[0], frame({4, 127, 255}, "c") + frame({5, 127, 255}, "d"));
}

TEST_F(RelayTest, KickAndQueries) {
    Peer a = admitRaw("a"); // admitted while Idle, where p2pKick does nothing
    ASSERT_TRUE(a.ok());
    kick(2);
    EXPECT_EQ(numClients(), 1);
    createLobby("host");
    Peer b = admitRaw("b");
    ASSERT_TRUE(b.ok());
    expectBytes(b, frame({1, 126, 255}, "host") + frame({2, 126, 255}, "a"));
    drain();
    EXPECT_EQ(clientName(2), "a");
    EXPECT_EQ(clientName(3), "b");
    EXPECT_EQ(clientName(9), "");
    for (int unknown : {9, 2 + 256, 2 - 256}) kick(unknown);
    EXPECT_EQ(numClients(), 2);
    kick(2);
    EXPECT_EQ(numClients(), 1);
    EXPECT_TRUE(a.waitClosed());
    EXPECT_EQ(drain(), (std::vector<Msg>{{2, 127, "a"}}));
    expectBytes(b, frame({2, 127, 255}, "a"));
    EXPECT_EQ(clientName(2), "");
    EXPECT_TRUE(admitRaw("c").ok()); // the port binds again right after a kick
    EXPECT_EQ(clientName(4), "c");
}

// The lobby host's clock stands still and moves only when the test says, so
// a stall of ten seconds takes none.
struct HeldClock {
    HeldClock() { ll::clockHold(); }
    ~HeldClock() { ll::clockRelease(); }
};

// Relays `data` from a while member `to` does not read, until its queue at
// the lobby host holds more than p2pBuffer counts.
void fillQueue(Peer &a, const std::string &data, int to, std::atomic<bool> *wrote,
               std::thread *writer) {
    *wrote = false;
    *writer = std::thread([&a, &data, wrote] { *wrote = a.send(data); });
    Map q;
    q.set("id", to);
    EXPECT_TRUE(waitUntil(
        [&] {
            p2pBuffer(q);
            return q.i("res") == 0;
        },
        5000, true));
    updateFor(100);
}

// Bytes that arrived at `p` and wait unread.
int unread(const Peer &p) {
    int n = 0;
    ::ioctl(p.fd, FIONREAD, &n);
    return n;
}

// Updates until nothing more arrives at `p` for a while; how much waits unread.
int settle(const Peer &p) {
    for (int i = 0; i < 20; ++i) {
        int n = unread(p);
        updateFor(300);
        if (unread(p) == n) break;
    }
    return unread(p);
}

TEST_F(RelayTest, SlowReceiversAreWaitedForUpToTenSeconds) {
    auto p = lobby({"a", "b", "c"});
    HeldClock clock;
    timeval tv{30, 0};
    setsockopt(p[0].fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // b pauses reading for just under the stall time: nobody is dropped,
    // every frame arrives once, in order.
    std::string toB, data = flood(3, &toB);
    std::atomic<bool> wrote{false}, read{false};
    std::thread writer;
    fillQueue(p[0], data, 3, &wrote, &writer);
    ll::clockAdvance(ll::StallTimeoutMs - 1);
    updateFor(100);
    EXPECT_EQ(numClients(), 3) << "b was dropped before the stall time";
    std::string got;
    std::thread reader([&] {
        got = p[1].recv(toB.size(), 40000);
        read = true;
    });
    EXPECT_TRUE(updateUntil([&] { return read.load(); }, 60000));
    reader.join();
    writer.join();
    EXPECT_TRUE(wrote);
    expectSame(got, toB);
    EXPECT_EQ(numClients(), 3);
    EXPECT_TRUE(drain().empty());

    // c stops reading for good: dropped at the stall time, not before; a and
    // b carry on.
    std::string toC, dataC = flood(4, &toC);
    fillQueue(p[0], dataC, 4, &wrote, &writer);
    int before = settle(p[2]);
    ll::clockAdvance(ll::StallTimeoutMs - 1);
    updateFor(100);
    EXPECT_EQ(numClients(), 3) << "c was dropped before the stall time";
    EXPECT_TRUE(drain().empty());
    ll::clockAdvance(1);
    Msg m{};
    bool dropped = updateUntilMsg(&m, 300);
    // c's system may still have taken a few bytes as it compacts what waits
    // unread there; that starts the stall time afresh, and c is given it
    // whole again.
    int round = 0;
    for (; round < 5 && !dropped && unread(p[2]) != before; ++round) {
        before = settle(p[2]);
        ll::clockAdvance(ll::StallTimeoutMs);
        dropped = updateUntilMsg(&m, 300);
    }
    EXPECT_TRUE(updateUntil([&] { return wrote.load(); }, 30000));
    writer.join();
    ASSERT_TRUE(dropped) << "c took nothing for the stall time and was not dropped";
    std::printf("stall: c dropped after %d fresh starts of its stall time\n", round);
    EXPECT_EQ(m, (Msg{4, 127, "c"}));
    EXPECT_EQ(numClients(), 2);
    ASSERT_TRUE(p[1].send(frame({6, 2}, "still here")));
    expectBytes(p[0], frame({4, 127, 255}, "c") + frame({3, 6, 2}, "still here"));
}

// A member that keeps reading, only far more slowly than traffic for it
// arrives, holds its queue above the mark for longer than the stall time.
// Its connection keeps taking bytes, so it is never dropped, and everything
// reaches it once, in order.
TEST_F(RelayTest, SlowButSteadyReaderIsNeverDropped) {
    createLobby("host");
    // b's window is the smallest there is, so that a few reads open it again.
    Peer a = admitRaw("a"), b = admitRaw("b", 5000, 1024);
    ASSERT_TRUE(a.ok() && b.ok());
    updateFor(100);
    a.recvQuiet(50, 1000);
    b.recvQuiet(50, 1000);
    drain();
    timeval tv{30, 0};
    setsockopt(a.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string toB, data = flood(3, &toB), got;
    std::atomic<bool> wrote{false}, read{false};
    std::thread writer([&] { wrote = a.send(data); });
    HeldClock clock;
    std::thread reader(
        [&] { // 40 bytes every 250 ms of the lobby host's clock for 13 s, then the rest
            for (int step = 0; step < 52; ++step) {
                got += b.recv(40, 0);
                ll::clockAdvance(250);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            got += b.recv(toB.size() - got.size(), 30000);
            read = true;
        });
    EXPECT_TRUE(updateUntil([&] { return read.load(); }, 60000));
    reader.join();
    EXPECT_TRUE(updateUntil([&] { return wrote.load(); }, 30000));
    writer.join();
    expectSame(got, toB);
    EXPECT_EQ(numClients(), 2);
    EXPECT_TRUE(drain().empty());
}

TEST_F(RelayTest, HostileClientIsDroppedOthersStayIntact) {
    auto p = lobby({"a", "c", "h"});
    // The longest frame a client may send (a queue but one byte, its 0
    // included) is relayed whole.
    std::string big = frame({5, 2}, std::string(LongestClientText, 'h'));
    std::thread t([&] { p[2].send(big); });
    expectBytes(p[0], bytes({4}) + big);
    t.join();
    // That many bytes without a 0 drop the sender; c's messages around it arrive intact.
    ASSERT_TRUE(p[1].send(frame({6, 2}, "c1")));
    std::thread hostile([&] { p[2].send(std::string(LobbyQueueBytes - 1, 'x')); });
    Msg m;
    bool left = updateUntilMsg(&m);
    hostile.join();
    ASSERT_TRUE(left);
    EXPECT_EQ(m, (Msg{4, 127, "h"}));
    ASSERT_TRUE(p[1].send(frame({6, 2}, "c2")));
    expectBytes(p[0], frame({3, 6, 2}, "c1") + frame({4, 127, 255}, "h") + frame({3, 6, 2}, "c2"));
    EXPECT_TRUE(p[2].waitClosed());
    EXPECT_EQ(numClients(), 2);
}

} // namespace
