// The bytes on the wire, checked against a lobby host and a client that live
// in an agent (natively, and as the Windows build under Wine), with this test
// process playing the other side over raw sockets.
#include "agent/strangers.h"
#include "agents/agentkit.h"
#include "common/blackhole.h"
#include "net/secure/handshake.h"

#include <atomic>
#include <chrono>
#include <cstdio>
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

struct Expected {
    Peer *p;
    std::string bytes;
    const char *who;
};

// Exactly the expected bytes arrive at each peer, and nothing after them for
// a moment, which the peers wait out together.
void expectStreams(std::initializer_list<Expected> all) {
    std::vector<std::string> got;
    for (const Expected &e : all) got.push_back(e.p->recv(e.bytes.size(), 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    size_t i = 0;
    for (const Expected &e : all) {
        std::string &g = got[i++];
        g += e.p->recv(1, 0);
        EXPECT_EQ(kit::hex(g.substr(0, 120)), kit::hex(e.bytes.substr(0, 120))) << e.who;
        EXPECT_TRUE(g == e.bytes) << e.who << ": " << g.size() << " of " << e.bytes.size()
                                  << " bytes";
    }
}

void expectStream(Peer &p, const std::string &expected, const char *who) {
    expectStreams({{&p, expected, who}});
}

long msSince(std::chrono::steady_clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
            .count());
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
    struct Case {
        std::string data;
        int end;
        int code;
    }; // end: 0 stay, 1 close, 2 reset
    for (const Case &c :
         {Case{std::string(64, 'x'), 0, SearchHandshakeTooLong},
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
    expectStreams({{&teal, join(1, "gold") + join(2, "red") + join(3, "blue"), "teal"},
                   {&red, join(1, "gold") + join(3, "blue") + join(4, "teal"), "red"},
                   {&blue, join(1, "gold") + join(2, "red") + join(4, "teal"), "blue"}});
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
    expectStreams({{&red, joined, "red"},
                   {&blue, joined, "blue"},
                   {&teal, joined, "teal"},
                   {&split, first4 + bytes({6, MsgJoin, 255, 0}) + join(7, longest), "split"},
                   {&empty, first4 + join(5, "abc") + join(7, longest), "empty"},
                   {&longPeer, first4 + join(5, "abc") + bytes({6, MsgJoin, 255, 0}), "longest"}});
    EXPECT_EQ(H.take(3), (Msgs{{5, MsgJoin, "abc"}, {6, MsgJoin, ""}, {7, MsgJoin, longest}}));

    // Two frames in one receive around frames too short to route (no header,
    // receiver 0): those go nowhere. Then a frame split over two receives.
    ASSERT_TRUE(red.send(nul() + nul() + frame({5, 255}, "one") + bytes({6, 0, 0}) +
                         frame({6, 255}, "two")));
    EXPECT_EQ(H.take(2), (Msgs{{2, 5, "one"}, {2, 6, "two"}}));
    ASSERT_TRUE(red.send(bytes({7, 255}) + "sp"));
    EXPECT_EQ(H.take(1, 300), Msgs{});
    ASSERT_TRUE(red.send("lit" + nul()));
    EXPECT_EQ(H.take(1), (Msgs{{2, 7, "split"}}));
    const std::string relayed =
        frame({2, 5, 255}, "one") + frame({2, 6, 255}, "two") + frame({2, 7, 255}, "split");
    expectStreams({{&blue, relayed, "blue"},
                   {&teal, relayed, "teal"},
                   {&split, relayed, "split"},
                   {&empty, relayed, "empty"},
                   {&longPeer, relayed, "longest"},
                   {&red, "", "red, the sender"}});

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
    const std::string left = leave(4, "teal") + leave(3, "blue");
    expectStreams({{&red, leave(3, "blue"), "red"},
                   {&split, left, "split"},
                   {&empty, left, "empty"},
                   {&longPeer, left, "longest"}});
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
    Reply tooLong =
        C.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", std::string(64, 'n')}});
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
    ASSERT_TRUE(
        host.send(bytes({2, 5, 0xFF, 'h', 'i', 0, 1, 7, 2, 0, 1, 2, 0, 200, 126, 0xFF, 'x', 0})));
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
}

TEST_P(RawPeers, AgainstAnAsyncClient) {
    kit::Listener lobby;
    ASSERT_TRUE(lobby.open("127.0.0.1"));
    Agent C(GetParam(), "client");
    ASSERT_TRUE(C.alive());
    EXPECT_EQ(C.call("p2pInit").i("result"), 1);
    C.update(true);

    // With "async" the call answers at once and the outcome arrives in the
    // inbox. Admitted: what was sent meanwhile follows the name, and the
    // lobby host's join notice comes first (what it sent before goes nowhere).
    auto async = [&](const std::string &address, const std::string &user) {
        Reply r = C.call("p2pConnect", {{"address", address}, {"user", user}, {"async", 1}});
        EXPECT_EQ(r.raw("chain"), "aur") << r;
        EXPECT_EQ(r.i("result"), 1) << r;
    };
    async("127.0.0.1", "carol");
    C.say(5, 255, "early");
    Peer third = lobby.accept();
    expectStream(third, "carol" + nul() + frame({5, 255}, "early"), "the lobby host");
    ASSERT_TRUE(
        third.send(frame({1, 9, 255}, "not yet") + join(1, "gold") + frame({1, 9, 255}, "in")));
    EXPECT_EQ(C.take(2), (Msgs{{1, MsgJoin, "gold"}, {1, 9, "in"}}));
    C.null("p2pDisconnect");
    // Refused: the lobby host reads the name and hangs up.
    async("127.0.0.1", "dave");
    Peer fourth = lobby.accept();
    EXPECT_EQ(fourth.recvQuiet(), "dave" + nul());
    fourth.close();
    EXPECT_EQ(C.take(1), (Msgs{{0, MsgError, "refused"}}));
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
    async("127.0.0.1", "bob");
    EXPECT_EQ(C.take(1), (Msgs{{0, MsgError, "couldn't connect"}}));
    C.null("p2pDisconnect");
    async(kit::UnresolvableName, "bob");
    EXPECT_EQ(C.take(1), (Msgs{{0, MsgError, "getaddrinfo"}}));
    C.null("p2pDisconnect");
    // A black hole: the join waits while messages queue, and p2pDisconnect
    // ends it without a notice.
    tools::BlackHole hole;
    ASSERT_TRUE(hole.open());
    async("127.0.0.1", "bob");
    C.say(5, 255, "waiting");
    EXPECT_EQ(C.take(1, 500), Msgs{});
    EXPECT_EQ(C.call("p2pBuffer").i("res"), LobbyQueueBytes - 10);
    EXPECT_EQ(C.null("p2pDisconnect"), 0);
    EXPECT_EQ(C.take(1, 300), Msgs{});
    EXPECT_EQ(C.call("p2pBuffer").i("res"), 0);
}

// ---- Private lobbies: raw peers make their handshakes and records with the
// library's own code (its Noise functions are checked against the published
// vectors), so what is tested here is the lobby's use of them.

const std::string Secret = "q7R-pX2m-Kd9w";

const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }

std::string sealed(ll::NoiseCipher *c, const std::string &plain) {
    std::string out(plain.size() + ll::RecordHeader + ll::NoiseTagLength, '\0');
    EXPECT_TRUE(ll::recordSeal(c, u8(plain), plain.size(), reinterpret_cast<uint8_t *>(&out[0])));
    return out;
}

// Everything that opens of what arrives at `p` within `ms` (stopping once
// `want` bytes opened), through a record link with `keys`; false when a
// record does not open.
bool opened(Peer &p, const ll::NoiseTransport &keys, size_t want, std::string *plain,
            int ms = 5000) {
    ll::RecordLink link;
    link.sealed = true;
    ll::keyCopy(&link.keys, &keys);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool ok = true;
    while (ok && plain->size() < want && std::chrono::steady_clock::now() < end) {
        std::string in = p.recv(1, 100);
        std::vector<uint8_t> out(in.size() + ll::RecordMax);
        size_t n = 0;
        ok = ll::linkOpen(&link, u8(in), in.size(), out.data(), &n);
        plain->append(reinterpret_cast<char *>(out.data()), n);
    }
    ll::linkFree(&link);
    return ok;
}

// A raw client's side of the handshake, up to the lobby host's answer: the
// greeting read, the first message (returned) sent; *keys set when the
// answer came and read; *heard, what came instead of the greeting.
std::string handshakeRaw(Peer &p, const std::string &secret, const std::string &name,
                         ll::NoiseTransport *keys, bool *answered, std::string *heard = nullptr) {
    *answered = false;
    std::string greet = p.recv(ll::GreetingLength, 5000);
    uint8_t salt[ll::NoiseSaltLength], psk[ll::NoiseKeyLength];
    if (greet.size() != ll::GreetingLength || !ll::greetingRead(u8(greet), salt)) return "";
    EXPECT_TRUE(ll::noiseStretchSecret(secret.data(), secret.size(), salt, psk));
    ll::NoiseHandshake hs;
    EXPECT_TRUE(ll::noiseStart(&hs, ll::NoiseRole::Initiator, psk, u8(greet), greet.size()));
    std::string first(ll::RecordHeader + ll::NoiseHandshakeOverhead + name.size(), '\0');
    size_t n = 0;
    EXPECT_TRUE(ll::noiseWriteMessage(&hs, u8(name), name.size(),
                                      reinterpret_cast<uint8_t *>(&first[2]), &n));
    first[0] = static_cast<char>(n >> 8);
    first[1] = static_cast<char>(n);
    p.send(first);
    std::string answer = p.recv(ll::RecordHeader + ll::NoiseHandshakeOverhead, 5000);
    if (heard) *heard = answer;
    uint8_t none[1];
    size_t payload = 0;
    *answered =
        answer.size() == ll::RecordHeader + ll::NoiseHandshakeOverhead &&
        ll::noiseReadMessage(&hs, u8(answer) + 2, ll::NoiseHandshakeOverhead, none, &payload) &&
        ll::noiseSplit(&hs, keys);
    return first;
}

// A raw member of the private lobby: the whole handshake, first record included.
bool joinRaw(Peer &p, const std::string &name, ll::NoiseTransport *keys) {
    bool answered = false;
    handshakeRaw(p, Secret, name, keys, &answered);
    return answered && p.send(sealed(&keys->send, ""));
}

TEST_P(RawPeers, APrivateLobbyLetsInOnlyWhoKnowsTheSecret) {
    Agent H(GetParam(), "lobby host");
    ASSERT_TRUE(H.alive());
    EXPECT_EQ(H.call("p2pInit").i("result"), 1);
    Reply tooLong = H.call("p2pCreateLobby", {{"user", "gold"}, {"secret", std::string(256, 's')}});
    EXPECT_EQ(tooLong.raw("chain"), "user"); // "user", "secret", then "error" before "result"
    EXPECT_EQ(tooLong.s("error"), "secret too long");
    EXPECT_EQ(tooLong.i("result"), 0);
    ASSERT_EQ(H.call("p2pCreateLobby", {{"user", "gold"}, {"secret", Secret}}).i("result"), 1);
    ASSERT_EQ(H.call("p2pSearchClient").i("result"), 1);

    // Strangers are turned away while the search goes on: one that says
    // nothing (and holds nobody up), a client of an open lobby (it reads the
    // greeting as one frame), garbage, a wrong secret, and a first message
    // replayed with the first record of its recorded conversation.
    Peer silent = kit::connectLobby(), today = kit::connectLobby(), junk = kit::connectLobby();
    ASSERT_TRUE(today.send("red" + nul()) && junk.send(std::string(200, '\x16')));
    std::string greet = today.recv(ll::GreetingLength, 5000);
    EXPECT_EQ(greet.substr(0, 20), "lobbylink private 1 ");
    EXPECT_EQ(greet.find('\0'), ll::GreetingLength - 1) << kit::hex(greet);
    EXPECT_TRUE(today.waitClosed(5000) && junk.waitClosed(5000));
    Peer wrong = kit::connectLobby(), recorded = kit::connectLobby(),
         replayer = kit::connectLobby();
    ll::NoiseTransport keys;
    bool answered = false;
    std::string heard = "?";
    handshakeRaw(wrong, "not the secret", "mallory", &keys, &answered, &heard);
    EXPECT_FALSE(answered);
    EXPECT_EQ(kit::hex(heard), ""); // a refused secret: not a word, not LetGo
    EXPECT_TRUE(wrong.waitClosed(5000));
    std::string first = handshakeRaw(recorded, Secret, "eve", &keys, &answered);
    ASSERT_TRUE(answered);
    recorded.close();
    EXPECT_EQ(replayer.recv(ll::GreetingLength, 5000), greet);
    ASSERT_TRUE(replayer.send(first));
    EXPECT_EQ(replayer.recv(ll::RecordHeader + ll::NoiseHandshakeOverhead, 5000).size(),
              ll::RecordHeader + ll::NoiseHandshakeOverhead); // answered, as any first message
    ASSERT_TRUE(replayer.send(sealed(&keys.send, "")));
    EXPECT_TRUE(replayer.waitClosed(5000));
    EXPECT_EQ(H.null("p2pIsSearching"), 1);
    EXPECT_EQ(H.null("p2pSearchClientError"), SearchOk);
    EXPECT_EQ(H.null("p2pNumClients"), 0);

    // One address holds so many handshakes at once; its next newcomer
    // displaces its oldest, who hears LetGo (let go, not refused) and the end.
    std::vector<Peer> crowd;
    for (int i = 0; i <= ll::PrivateHandshakesPerSource; ++i) {
        crowd.push_back(kit::connectLobby(0, "127.0.0.3"));
        EXPECT_EQ(crowd.back().recv(ll::GreetingLength, 5000), greet) << i;
    }
    EXPECT_EQ(kit::hex(crowd[0].recv(3, 5000)), "00 00 ");
    EXPECT_EQ(crowd[1].recv(1, 200), "");

    // Without the secret, p2pConnect knows the greeting: "private lobby",
    // the connection closed, nothing in the inbox.
    Agent P(GetParam(), "player");
    ASSERT_TRUE(P.alive());
    EXPECT_EQ(P.call("p2pInit").i("result"), 1);
    Reply open = P.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", "ann"}});
    EXPECT_EQ(open.i("result"), 0) << open;
    EXPECT_EQ(open.s("error"), "private lobby");
    EXPECT_EQ(P.take(0, 300), Msgs{});

    // A player who knows the secret joins while strangers keep connecting,
    // 500 a second (200 at a lobby host under Wine, whose sockets cost
    // several times as much), from 50 addresses, each sending one byte or
    // garbage and then holding its connection: they outnumber the door's
    // slots, and displace each other.
    flood::StrangerPlan plan;
    plan.perSecond = GetParam() == Build::Windows ? 200 : 500;
    plan.sources = 50;
    plan.firstSource = 10;
    plan.say = {"\x16", std::string(40, '\x01')};
    flood::Strangers strangers(plan);
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the door fills
    auto start = std::chrono::steady_clock::now();
    Reply joined =
        P.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", "ann"}, {"secret", Secret}});
    long joinMs = msSince(start);
    EXPECT_TRUE(H.poll("p2pNumClients", 1) && H.poll("p2pIsSearching", 0));
    strangers.stop();
    EXPECT_EQ(joined.i("result"), 1) << joined;
    H.update(true);
    std::printf("private lobby: the player joined in %ld ms while strangers connected %.0f times a "
                "second\n",
                joinMs, strangers.perSecond());
    EXPECT_EQ(H.take(1), (Msgs{{2, MsgJoin, "ann"}}));
    P.update(true);
    EXPECT_EQ(P.take(1), (Msgs{{1, MsgJoin, "gold"}}));

    // A raw member: the records it gets open to exactly its join notices,
    // its sealed frames are relayed, and a tampered record ends it alone.
    ASSERT_EQ(H.call("p2pSearchClient").i("result"), 1);
    Peer zed = kit::connectLobby();
    ASSERT_TRUE(joinRaw(zed, "zed", &keys));
    ASSERT_TRUE(H.poll("p2pNumClients", 2));
    std::string told, want = join(1, "gold") + join(2, "ann");
    EXPECT_TRUE(opened(zed, keys, want.size(), &told));
    EXPECT_EQ(kit::hex(told), kit::hex(want));
    ASSERT_TRUE(zed.send(sealed(&keys.send, bytes({9, 255}) + "hi" + nul())));
    EXPECT_EQ(H.take(2), (Msgs{{3, MsgJoin, "zed"}, {3, 9, "hi"}}));
    EXPECT_EQ(P.take(2), (Msgs{{3, MsgJoin, "zed"}, {3, 9, "hi"}}));
    std::string bad = sealed(&keys.send, bytes({9, 255}) + "yo" + nul());
    bad[ll::RecordHeader + 1] ^= 1;
    ASSERT_TRUE(zed.send(bad));
    EXPECT_EQ(H.take(1), (Msgs{{3, MsgLeave, "zed"}}));
    EXPECT_EQ(P.take(1), (Msgs{{3, MsgLeave, "zed"}}));
    EXPECT_TRUE(zed.waitClosed(5000));
    P.say(7, 1, "still here");
    EXPECT_EQ(H.take(1), (Msgs{{2, 7, "still here"}}));
    EXPECT_EQ(H.null("p2pNumClients"), 1);
}

// A client with a secret: what it is told by a lobby host that is not
// private, one that does not take its secret, and a private one that
// seals, then tampers.
TEST_P(RawPeers, APrivateLobbysClient) {
    kit::Listener lobby;
    ASSERT_TRUE(lobby.open("127.0.0.1"));
    Agent C(GetParam(), "client");
    ASSERT_TRUE(C.alive());
    EXPECT_EQ(C.call("p2pInit").i("result"), 1);
    // Sent without waiting for the answer: this process plays the lobby host
    // meanwhile. With "async" the answer comes at once and the outcome as a
    // notice; `failure` tells either way the "error" or the notice's reason
    // ("" for a blocking call that got in).
    bool async = false;
    auto connect = [&](const std::string &secret) {
        C.send("call p2pConnect address=" + agents::Arg("a", "127.0.0.1").value +
               " user=" + agents::Arg("u", "ann").value +
               (secret.empty() ? "" : " secret=" + agents::Arg("s", secret).value) +
               (async ? " async=1" : ""));
    };
    auto failure = [&]() -> std::string {
        Reply r = C.answer(20000);
        if (!async) {
            EXPECT_TRUE(r.i("result") == 0 || r.i("pkg") == 2) << r; // the sends that carried it
            return r.i("result") == 1 ? "" : r.s("error");
        }
        EXPECT_EQ(r.i("result"), 1) << r;
        EXPECT_FALSE(r.has("pkg")) << r;
        Msgs told = C.take(1, 300);
        return told.empty() ? "" : told[0].msg;
    };
    C.update(true);
    for (bool round : {false, true}) {
        async = round;
        // Something else than a greeting.
        connect(Secret);
        Peer other = lobby.accept();
        ASSERT_TRUE(other.send("welcome" + nul() + std::string(60, 'x')));
        EXPECT_EQ(failure(), "not a private lobby");
        C.null("p2pDisconnect");

        // A lobby host that lets the client go for another reason than the
        // secret says LetGo: right after its greeting, or after message 1.
        // Without a secret, its greeting is "private lobby".
        for (int when : {0, 1, 2}) {
            connect(when == 2 ? "" : Secret);
            Peer host = lobby.accept();
            uint8_t greeting[ll::GreetingLength], salt[ll::NoiseSaltLength] = {};
            ll::greetingWrite(salt, greeting);
            std::string said(reinterpret_cast<char *>(greeting), sizeof greeting);
            if (when == 1) {
                ASSERT_TRUE(host.send(said));
                EXPECT_EQ(host.recv(ll::RecordHeader + ll::NoiseHandshakeOverhead + 3, 5000).size(),
                          ll::RecordHeader + ll::NoiseHandshakeOverhead + 3);
                said.clear();
            }
            ASSERT_TRUE(host.send(said + (when == 2 ? "" : std::string(2, '\0'))));
            if (when != 2) host.close();
            EXPECT_EQ(failure(), when == 2 ? "private lobby" : "lobby busy") << when;
            C.null("p2pDisconnect");
        }

        // A private lobby host of another secret, played here with the lobby
        // host's own handshake; then one of ours, which seals a message and
        // then tampers with the next.
        for (const std::string &hostSecret : {std::string("another secret"), Secret}) {
            ll::LobbySecret made;
            ll::secretMake(&made, hostSecret.data(), hostSecret.size());
            connect(Secret);
            Peer host = lobby.accept();
            uint8_t greeting[ll::GreetingLength];
            ll::greetingWrite(made.salt, greeting);
            ASSERT_TRUE(
                host.send(std::string(reinterpret_cast<char *>(greeting), sizeof greeting)));
            ll::SecureHandshake a;
            ll::handshakeHost(&a, made);
            ll::HandshakeStep step = ll::HandshakeMore;
            while (step == ll::HandshakeMore || step == ll::HandshakeSend) {
                std::string in = host.recv(ll::handshakeWant(&a), 5000);
                if (in.empty()) break;
                std::copy(in.begin(), in.end(), ll::handshakeInto(&a));
                step = ll::handshakeTake(&a, static_cast<uint32_t>(in.size()));
                if (step == ll::HandshakeSend)
                    host.send(std::string(reinterpret_cast<char *>(a.out), a.outLength));
            }
            if (step == ll::HandshakeFailed) host.close(); // as a lobby host does
            std::string failed = failure();
            if (hostSecret != Secret) {
                EXPECT_EQ(step, ll::HandshakeFailed);
                EXPECT_EQ(failed, "wrong secret");
                C.null("p2pDisconnect");
                continue;
            }
            ASSERT_EQ(step, ll::HandshakeDone);
            EXPECT_EQ(std::string(a.name), "ann");
            EXPECT_EQ(failed, "");
            ASSERT_TRUE(host.send(sealed(&a.keys.send, join(1, "gold"))));
            EXPECT_EQ(C.take(1), (Msgs{{1, MsgJoin, "gold"}}));
            C.say(5, 255, "hi");
            std::string got;
            EXPECT_TRUE(opened(host, a.keys, 5, &got));
            EXPECT_EQ(kit::hex(got), kit::hex(bytes({5, 255}) + "hi" + nul()));
            ASSERT_TRUE(host.send(sealed(&a.keys.send, bytes({1, 6, 255}) + "yo" + nul())));
            EXPECT_EQ(C.take(1), (Msgs{{1, 6, "yo"}}));
            std::string bad = sealed(&a.keys.send, bytes({1, 6, 255}) + "no" + nul());
            bad.back() ^= 1;
            ASSERT_TRUE(host.send(bad));
            EXPECT_EQ(C.take(1), (Msgs{{0, MsgError, "error"}}));
            EXPECT_EQ(C.take(1, 300), Msgs{});
            C.null("p2pDisconnect");
            ll::handshakeWipe(&a);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, RawPeers, ::testing::ValuesIn(agents::builds()),
                         agents::BuildName());

} // namespace
