// The bytes on the wire, checked against a lobby host and a client that live
// in an agent (natively, and as the Windows build under Wine), with this test
// process playing the other side over raw sockets.
#include "agents/agentkit.h"

#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using agents::Agent;
using agents::Build;
using agents::Reply;
using kit::bytes;
using kit::frame;
using kit::Msg;
using kit::nul;
using kit::Peer;
using Msgs = std::vector<Msg>;

class RawPeers : public ::testing::TestWithParam<Build> {};

std::string join(int id, const std::string &name) { return frame({id, MsgJoin, 255}, name); }
std::string leave(int id, const std::string &name) { return frame({id, MsgLeave, 255}, name); }

// Closes with a reset instead of an orderly end.
void reset(Peer &p) {
    linger l{1, 0};
    ::setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    p.close();
}

// Exactly `expected` arrives at `p`, and nothing after it for a moment.
void expectStream(Peer &p, const std::string &expected, const char *who) {
    std::string got = p.recv(expected.size(), 10000);
    got += p.recv(1, 150);
    EXPECT_EQ(kit::hex(got.substr(0, 120)), kit::hex(expected.substr(0, 120))) << who;
    EXPECT_TRUE(got == expected) << who << ": " << got.size() << " of " << expected.size() << " bytes";
}

long msSince(std::chrono::steady_clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count());
}

// A raw client admitted under `name` as member number `members`.
Peer admit(Agent &host, const std::string &name, int members) {
    EXPECT_EQ(host.call("p2pSearchClient").i("result"), 1);
    Peer p = kit::connectLobby();
    EXPECT_TRUE(p.ok() && p.send(name + nul()));
    EXPECT_TRUE(host.poll("p2pNumClients", members) && host.poll("p2pIsSearching", 0)) << name;
    return p;
}

TEST_P(RawPeers, AgainstALobbyHost) {
    Agent H(GetParam(), "lobby host");
    ASSERT_TRUE(H.alive());
    EXPECT_EQ(H.call("p2pInit").i("result"), 1);
    EXPECT_EQ(H.call("p2pCreateLobby", {{"user", "gold"}}).i("result"), 1);

    // The lobby port already taken: "error" = "bind" before "result" = 0.
    {
        kit::Listener other;
        ASSERT_TRUE(other.open());
        Reply r = H.call("p2pSearchClient");
        EXPECT_EQ(r.raw("chain"), "er");
        EXPECT_EQ(r.s("error"), "bind");
        EXPECT_EQ(r.i("result"), 0);
        EXPECT_EQ(H.null("p2pSearchClientError"), SearchOk);
        EXPECT_EQ(H.null("p2pIsSearching"), 0);
    }

    // Failed handshakes: 64 bytes without a 0; a name cut off by a hang-up and by a reset.
    struct Case { std::string data; int end; int code; }; // end: 0 stay, 1 close, 2 reset
    for (const Case &c : {Case{std::string(64, 'x'), 0, SearchHandshakeTooLong},
                          Case{"abc", 1, SearchHandshakeLost}, Case{"abc", 2, SearchHandshakeLost}}) {
        EXPECT_EQ(H.call("p2pSearchClient").i("result"), 1);
        Peer p = kit::connectLobby();
        ASSERT_TRUE(p.ok() && p.send(c.data));
        if (c.end == 1) p.close();
        if (c.end == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            reset(p);
        }
        EXPECT_TRUE(H.poll("p2pSearchClientError", c.code) && H.poll("p2pIsSearching", 0)) << c.end;
        EXPECT_TRUE(c.end || p.waitClosed(5000));
    }
    EXPECT_EQ(H.null("p2pNumClients"), 0);

    // Three admissions: the join notices every member receives are exact.
    Peer red = admit(H, "red", 1), blue = admit(H, "blue", 2), teal = admit(H, "teal", 3);
    H.update(true);
    expectStream(teal, join(1, "gold") + join(2, "red") + join(3, "blue"), "teal");
    expectStream(red, join(1, "gold") + join(3, "blue") + join(4, "teal"), "red");
    expectStream(blue, join(1, "gold") + join(2, "red") + join(4, "teal"), "blue");
    EXPECT_EQ(H.take(3), (Msgs{{2, MsgJoin, "red"}, {3, MsgJoin, "blue"}, {4, MsgJoin, "teal"}}));

    // A handshake in two pieces, and the pause after the receive that completes
    // it. (Whether the pieces come in one receive or two depends on how soon
    // the admission thread reads, so only the last pause is certain.)
    EXPECT_EQ(H.call("p2pSearchClient").i("result"), 1);
    Peer split = kit::connectLobby();
    ASSERT_TRUE(split.send("ab"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto last = std::chrono::steady_clock::now();
    ASSERT_TRUE(split.send("c" + nul()));
    EXPECT_TRUE(H.poll("p2pNumClients", 4));
    EXPECT_GE(msSince(last), 100);
    EXPECT_EQ(H.call("p2pClientName", {{"id", 5}}).s("result"), "abc");
    // The empty name, and the longest, with its 0.
    const std::string longest(LobbyMaxNameLength, 'n');
    Peer empty = admit(H, "", 5), longPeer = admit(H, longest, 6);
    EXPECT_EQ(H.call("p2pClientName", {{"id", 6}}).s("result"), "");
    EXPECT_EQ(H.call("p2pClientName", {{"id", 7}}).s("result"), longest);
    const std::string first4 = join(1, "gold") + join(2, "red") + join(3, "blue") + join(4, "teal");
    const std::string joined = join(5, "abc") + bytes({6, MsgJoin, 255, 0}) + join(7, longest);
    for (Peer *p : {&red, &blue, &teal}) expectStream(*p, joined, "an earlier member");
    expectStream(split, first4 + bytes({6, MsgJoin, 255, 0}) + join(7, longest), "split");
    expectStream(empty, first4 + join(5, "abc") + join(7, longest), "empty");
    expectStream(longPeer, first4 + join(5, "abc") + bytes({6, MsgJoin, 255, 0}), "longest");
    EXPECT_EQ(H.take(3), (Msgs{{5, MsgJoin, "abc"}, {6, MsgJoin, ""}, {7, MsgJoin, longest}}));

    // Two frames in one receive around frames too short to route (no header,
    // receiver 0): those go nowhere. Then a frame split over two receives.
    ASSERT_TRUE(red.send(nul() + nul() + frame({5, 255}, "one") + bytes({6, 0, 0}) + frame({6, 255}, "two")));
    EXPECT_EQ(H.take(2), (Msgs{{2, 5, "one"}, {2, 6, "two"}}));
    ASSERT_TRUE(red.send(bytes({7, 255}) + "sp"));
    EXPECT_EQ(H.take(1, 300), Msgs{});
    ASSERT_TRUE(red.send("lit" + nul()));
    EXPECT_EQ(H.take(1), (Msgs{{2, 7, "split"}}));
    const std::string relayed = frame({2, 5, 255}, "one") + frame({2, 6, 255}, "two") + frame({2, 7, 255}, "split");
    for (Peer *p : {&blue, &teal, &split, &empty, &longPeer}) expectStream(*p, relayed, "a member");
    expectStream(red, "", "red, the sender");

    // The longest frame a client may send (a queue but one byte, its 0
    // included) is relayed whole; that many bytes without a 0 drop their
    // sender, and blue's messages around that arrive intact.
    const std::string big = frame({5, 2}, std::string(kit::LongestClientText, 'h'));
    ASSERT_TRUE(teal.send(big));
    expectStream(red, bytes({4}) + big, "red");
    ASSERT_TRUE(blue.send(frame({6, 2}, "c1")));
    ASSERT_TRUE(teal.send(std::string(LobbyQueueBytes - 1, 'x')));
    EXPECT_EQ(H.take(1), (Msgs{{4, MsgLeave, "teal"}}));
    ASSERT_TRUE(blue.send(frame({6, 2}, "c2")));
    expectStream(red, frame({3, 6, 2}, "c1") + leave(4, "teal") + frame({3, 6, 2}, "c2"), "red");
    EXPECT_TRUE(teal.waitClosed(5000));

    // A client that resets its connection leaves once, announced to all.
    reset(blue);
    EXPECT_EQ(H.take(1), (Msgs{{3, MsgLeave, "blue"}}));
    expectStream(red, leave(3, "blue"), "red");
    for (Peer *p : {&split, &empty, &longPeer}) expectStream(*p, leave(4, "teal") + leave(3, "blue"), "a member");
    EXPECT_EQ(H.take(1, 300), Msgs{});
    EXPECT_EQ(H.null("p2pNumClients"), 4);
}

TEST_P(RawPeers, AgainstAClient) {
    kit::Listener lobby;
    ASSERT_TRUE(lobby.open("127.0.0.1"));
    Agent C(GetParam(), "client");
    ASSERT_TRUE(C.alive());
    EXPECT_EQ(C.call("p2pInit").i("result"), 1);

    // Refused names open no connection.
    Reply tooLong = C.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", std::string(64, 'n')}});
    EXPECT_EQ(tooLong.raw("chain"), "auer");
    EXPECT_EQ(tooLong.s("error"), "user too long");
    EXPECT_EQ(tooLong.i("result"), 0);
    Reply none = C.call("p2pConnect");
    EXPECT_EQ(none.raw("chain"), "er");
    EXPECT_EQ(none.s("error"), "no user");
    EXPECT_FALSE(lobby.accept(300).ok());

    // The handshake: the name and its 0 in one send, then the pause.
    auto start = std::chrono::steady_clock::now();
    Reply ok = C.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", "alice"}});
    EXPECT_GE(msSince(start), 100);
    EXPECT_EQ(ok.raw("chain"), "aupr");
    EXPECT_EQ(ok.i("pkg"), 1);
    EXPECT_EQ(ok.i("result"), 1);
    Peer host = lobby.accept();
    EXPECT_EQ(kit::hex(host.recvQuiet()), kit::hex("alice" + nul()));
    EXPECT_EQ(C.call("p2pBuffer").i("res"), LobbyQueueBytes);

    // Data frames: queued until p2pUpdate, with the low bytes of id and receiver.
    C.say(5, 255, "hi");
    EXPECT_EQ(C.call("p2pBuffer").i("res"), LobbyQueueBytes - 5);
    C.say(256 + 5, -1, "hi");
    C.say(6, 255, ""); // an empty text sends nothing
    EXPECT_EQ(C.call("p2pBuffer").i("res"), LobbyQueueBytes - 10);
    C.update(true);
    expectStream(host, bytes({5, 255, 'h', 'i', 0, 5, 255, 'h', 'i', 0}), "the lobby host");

    // Host frames: two in one receive around one too short to carry a header,
    // a sender above 127; then a frame in two pieces; then the longest frame.
    ASSERT_TRUE(host.send(bytes({2, 5, 0xFF, 'h', 'i', 0, 1, 7, 2, 0, 1, 2, 0, 200, 126, 0xFF, 'x', 0})));
    EXPECT_EQ(C.take(3), (Msgs{{2, 5, "hi"}, {1, 7, ""}, {-56, MsgJoin, "x"}}));
    ASSERT_TRUE(host.send(bytes({3, 6, 0xFF, 'a', 'b'})));
    EXPECT_EQ(C.take(1, 300), Msgs{});
    ASSERT_TRUE(host.send(bytes({'c', 0})));
    EXPECT_EQ(C.take(1), (Msgs{{3, 6, "abc"}}));
    const std::string longest(kit::LongestClientText, 'L'); // relayed: a whole queue
    ASSERT_TRUE(host.send(bytes({4, 9, 0xFF}) + longest + nul()));
    EXPECT_EQ(C.take(1), (Msgs{{4, 9, longest}}));

    // A queue's worth of bytes without a 0 breaks the connection: one loss notice.
    ASSERT_TRUE(host.send(std::string(LobbyQueueBytes, 'x')));
    EXPECT_EQ(C.take(1), (Msgs{{0, MsgError, "error"}}));
    EXPECT_EQ(C.take(1, 300), Msgs{});
    EXPECT_TRUE(host.waitClosed(5000));
    C.null("p2pDisconnect");

    // A lobby host that resets the connection: one loss notice.
    EXPECT_EQ(C.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", "bob"}}).i("result"), 1);
    Peer second = lobby.accept();
    EXPECT_EQ(kit::hex(second.recvQuiet()), kit::hex("bob" + nul()));
    reset(second);
    EXPECT_EQ(C.take(1), (Msgs{{0, MsgError, "error"}}));
    EXPECT_EQ(C.take(1, 300), Msgs{});
    C.null("p2pDisconnect");

    // Nobody listening; without an address the loopback addresses are tried.
    ::close(lobby.fd);
    lobby.fd = -1;
    Reply refused = C.call("p2pConnect", {{"user", "bob"}});
    EXPECT_EQ(refused.raw("chain"), "ure"); // "result" first
    EXPECT_EQ(refused.i("result"), 0);
    EXPECT_EQ(refused.s("error"), "couldn't connect");
    EXPECT_EQ(C.call("p2pBuffer").i("res"), 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, RawPeers, ::testing::ValuesIn(agents::builds()), agents::BuildName());

} // namespace
