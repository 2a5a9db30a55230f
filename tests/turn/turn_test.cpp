// A lobby host behind a NAT with no inbound path hosts through coturn
// (turn.sh): the relay task runs in the host's namespace and hands each
// player's connection to this test, which talks on it. Players connect with
// plain TCP from the Internet and from behind a second NAT. The library's
// clock is the test's: a refresh or a deadline comes when the test says.
#include "net/base/clock.h"
#include "net/outside/digest.h"
#include "net/base/limits.h"
#include "net/outside/turn.h"
#include "net/secure/handshake.h"

#include "agents/agentkit.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <sched.h>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ll;

namespace {

const char Secret[] = "shared secret of the studio";
const char Server[] = "127.90.0.1"; // coturn, on "the Internet"

// The namespaces and coturn, down again on every way out of the test; its
// nonces go stale after `staleS` seconds.
class Net {
  public:
    explicit Net(int staleS = 1) : staleS_(staleS) {
        const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(LL_TURN_DIR) + t->test_suite_name() + "." + t->name();
        prefix_ = "llturn" + std::to_string(std::hash<std::string>{}(name) % 1000000);
        script("down");
        up_ = script("up") == 0;
    }
    ~Net() { script("down"); }
    bool up() const { return up_; }
    int script(const char *what) const {
        return std::system((std::string("sh ") + LL_TURN_SCRIPT + " " + what + " " + LL_TURN_DIR +
                            " " + prefix_ + " '" + Secret + "' " + std::to_string(staleS_) +
                            " >/dev/null 2>&1")
                               .c_str());
    }
    std::string log() const {
        std::ifstream in(std::string(LL_TURN_DIR) + "/" + prefix_ + ".log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Runs `fn` inside namespace PREFIX-side: a thread started or a socket
    // made there stays there.
    void inside(const char *side, const std::function<void()> &fn) const {
        kit::insideNetns(prefix_ + "-" + side, fn);
    }
    // A plain TCP player connected from `side` to `port` of the server, or
    // -errno when the connect failed.
    int player(const char *side, int port) const {
        int s = -1;
        inside(side, [&] { s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
        timeval tv{10, 0}; // every read and connect has a deadline
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {::inet_addr(Server)}, {}};
        if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return s;
        int e = errno;
        ::close(s);
        return -e;
    }

    std::string ns(const char *side) const { return prefix_ + "-" + side; }

  private:
    int staleS_;
    std::string prefix_;
    bool up_ = false;
};

// What the relay task gave the lobby: its notices and the players handed
// over (with a deadline on every read), each taken once.
struct Lobby {
    std::mutex m;
    std::condition_variable changed;
    std::vector<std::string> notices;
    std::vector<int> players;
    size_t noticesTaken = 0, playersTaken = 0;
    TurnTask task;

    static void post(TurnTask *t, const char *text) {
        Lobby *l = static_cast<Lobby *>(t->owner);
        std::lock_guard<std::mutex> g(l->m);
        l->notices.push_back(text);
        l->changed.notify_all();
    }
    static bool handover(TurnTask *t, Socket s, uint64_t) {
        Lobby *l = static_cast<Lobby *>(t->owner);
        timeval tv{10, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::lock_guard<std::mutex> g(l->m);
        l->players.push_back(s);
        l->changed.notify_all();
        return true;
    }
    // Starts the task in the lobby host's namespace with REST credentials
    // made from `secret`: user "EXPIRY:NAME", password base64(HMAC-SHA1).
    static std::pair<std::string, std::string> credentials(const char *secret = Secret) {
        std::string user = std::to_string(std::time(nullptr) + 3600) + ":gold";
        HmacSha1 h;
        uint8_t mac[Sha1Bytes];
        char password[64];
        hmacSha1Start(&h, reinterpret_cast<const uint8_t *>(secret), std::strlen(secret));
        hmacSha1Add(&h, user.data(), user.size());
        hmacSha1End(&h, mac);
        sodium_bin2base64(password, sizeof password, mac, sizeof mac,
                          sodium_base64_VARIANT_ORIGINAL);
        return {user, password};
    }
    bool start(const Net &net, const std::string &server, const char *secret = Secret) {
        auto c = credentials(secret);
        task.owner = this;
        bool started = false;
        net.inside("host", [&] {
            started = turnStart(&task, {server.c_str(), c.first.c_str(), c.second.c_str()}, post,
                                handover);
        });
        return started;
    }
    // The next one within `ms` of real time; `none` when nothing came.
    template <typename T> T next(const std::vector<T> &all, size_t *taken, T none, int ms) {
        std::unique_lock<std::mutex> g(m);
        changed.wait_for(g, std::chrono::milliseconds(ms), [&] { return all.size() > *taken; });
        return all.size() > *taken ? all[(*taken)++] : none;
    }
    std::string notice(int ms = 10000) { return next(notices, &noticesTaken, std::string(), ms); }
    int player() { return next(players, &playersTaken, -1, 10000); }
    ~Lobby() {
        turnStop(&task);
        for (int s : players) ::close(s);
    }
};

bool sendAll(int s, const std::string &data) {
    return ::send(s, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

// Exactly `n` bytes, or what came before the end, a failure or the deadline.
std::string receive(int s, size_t n) {
    std::string got(n, '\0');
    ssize_t k = ::recv(s, &got[0], n, MSG_WAITALL);
    got.resize(k > 0 ? static_cast<size_t>(k) : 0);
    return got;
}

// A thousand round trips of 100 bytes between a player and the lobby host's end.
void echo(int player, int host) {
    ASSERT_TRUE(player >= 0 && host >= 0);
    for (int i = 0; i < 1000; ++i) {
        std::string line = std::to_string(i) + std::string(100 - std::to_string(i).size(), '.');
        ASSERT_TRUE(sendAll(player, line));
        ASSERT_EQ(receive(host, 100), line) << i;
        ASSERT_TRUE(sendAll(host, line));
        ASSERT_EQ(receive(player, 100), line) << i;
    }
}

int relayedPort(const std::string &address) {
    std::string prefix = std::string(Server) + ":";
    if (address.compare(0, prefix.size(), prefix) != 0) return 0;
    return std::atoi(address.c_str() + prefix.size());
}

} // namespace

TEST(Turn, PlayersJoinARelayedLobbyFromAnywhereUntilItIsReleased) {
    Net net;
    ASSERT_TRUE(net.up());
    Lobby lobby;
    ASSERT_TRUE(lobby.start(net, Server));
    std::string relayed = lobby.notice();
    int port = relayedPort(relayed);
    ASSERT_NE(port, 0) << relayed;

    // Each player speaks before it is bound: its first bytes wait at the
    // server and reach the lobby host whole.
    int outside = net.player("peer", port), behind = net.player("behind", port);
    ASSERT_TRUE(outside >= 0 && behind >= 0);
    ASSERT_TRUE(sendAll(outside, "hello from outside") && sendAll(behind, "hello from behind!"));
    int first = lobby.player(), second = lobby.player();
    std::string a = receive(first, 18), b = receive(second, 18);
    if (a != "hello from outside") std::swap(first, second), std::swap(a, b);
    EXPECT_EQ(a + b, "hello from outsidehello from behind!");
    echo(outside, first);
    echo(behind, second);

    // Nonces go stale after a second; the refresh is due at half the
    // lifetime. Stepped there, the task refreshes with a new nonce; a third
    // player, later still, is bound after the nonce is checked (a bind the
    // server refuses would cost the player): the relay stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    clockAdvance(TurnDefaultLifetimeS * 1000 / 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    int third = net.player("peer", port);
    echo(third, lobby.player());
    // The scheduled refresh and the check before the third bind each met a
    // stale nonce and went again with the new one.
    std::string log = net.log();
    size_t stale = 0;
    for (size_t at = 0; (at = log.find("error 438: Stale nonce", at)) != std::string::npos; ++at)
        ++stale;
    EXPECT_GE(stale, 2u) << log;
    EXPECT_NE(log.find("REFRESH processed, success"), std::string::npos) << log;
    EXPECT_EQ(log.find("CONNECTION_BIND processed, error"), std::string::npos) << log;

    // Released: the players' connections end and the port refuses.
    turnStop(&lobby.task);
    EXPECT_EQ(receive(outside, 1), "");
    EXPECT_EQ(net.player("peer", port), -ECONNREFUSED);
    EXPECT_EQ(lobby.notice(0), ""); // one outcome, nothing lost
    for (int s : {outside, behind, third}) ::close(s);
}

TEST(Turn, RefusedNoRelayAndLost) {
    Net net;
    ASSERT_TRUE(net.up());
    // Wrong credentials, and a port where nothing listens.
    const std::pair<std::string, const char *> declined[] = {
        {Server, TurnRefused}, {std::string(Server) + ":3480", TurnNoRelay}};
    for (const auto &c : declined) {
        Lobby lobby;
        ASSERT_TRUE(lobby.start(net, c.first, "not the secret"));
        EXPECT_EQ(lobby.notice(), c.second) << c.first;
    }
    Lobby malformed;
    EXPECT_FALSE(malformed.start(net, "[::1"));
    {
        // A server that never answers: the deadline passes on the held clock.
        clockHold();
        Lobby silent;
        ASSERT_TRUE(silent.start(net, std::string(Server) + ":3479"));
        std::string got;
        for (int i = 0; i < 50 && got.empty(); ++i) {
            clockAdvance(TurnAnswerBudgetMs / 5);
            got = silent.notice(100);
        }
        clockRelease();
        EXPECT_EQ(got, TurnNoRelay);
        // Stopped before any answer: no notice at all.
        Lobby early;
        ASSERT_TRUE(early.start(net, std::string(Server) + ":3479"));
        turnStop(&early.task);
        EXPECT_EQ(early.notice(0), "");
    }
    // coturn gone: the relay is lost, and so are the players on it.
    Lobby lobby;
    ASSERT_TRUE(lobby.start(net, Server));
    int port = relayedPort(lobby.notice()), player = port ? net.player("behind", port) : -1;
    ASSERT_GE(player, 0);
    ASSERT_GE(lobby.player(), 0);
    net.script("kill");
    EXPECT_EQ(lobby.notice(), TurnLost);
    EXPECT_EQ(receive(player, 1), "");
    ::close(player);
}

// The lobby host an agent of each build (Windows under Wine) with "relay";
// Linux agents on the Internet and behind the second NAT join through it.
using Msgs = std::vector<kit::Msg>;
class RelayedLobby : public ::testing::TestWithParam<agents::Build> {
  protected:
    // coturn's usual nonce life: the task's scenario meets stale nonces, and
    // here a slow machine must not let one go stale between check and bind.
    Net net{600};
    std::pair<std::string, std::string> cred = Lobby::credentials();
    std::unique_ptr<agents::Agent> H, A, B;

    std::unique_ptr<agents::Agent> agent(const char *side, agents::Build build, const char *who) {
        auto a = agents::agentIn(net.ns(side), build, who);
        EXPECT_TRUE(a && a->call("p2pInit").i("result") == 1) << who;
        if (a) a->update(true);
        return a;
    }
    // Opens the lobby through `server`: the relay's outcome, or the error.
    std::string open(const std::string &server, std::vector<agents::Arg> more = {}) {
        more.insert(more.end(), {{"user", "host"}, {"relay", server}});
        more.insert(more.end(), {{"relayUser", cred.first}, {"relayPassword", cred.second}});
        H->call("p2pDisconnect");
        agents::Reply r = H->call("p2pCreateLobby", more);
        Msgs got = r.i("result") == 1 ? H->take(1, 20000) : Msgs{};
        return got.size() == 1 && got[0].id == MsgRelay && !got[0].usr ? got[0].msg : r.s("error");
    }
    agents::Reply join(agents::Agent &p, const std::string &at, const char *secret, bool search) {
        EXPECT_TRUE(!search || H->call("p2pSearchClient").i("result") == 1);
        return p.call("p2pConnect", {{"address", at}, {"user", p.who()}, {"secret", secret}});
    }
    void joinBoth(const std::string &at, const char *secret, bool search) {
        agents::Reply a = join(*A, at, secret, search);
        EXPECT_EQ(a.i("result"), 1) << a;
        EXPECT_TRUE(H->poll("p2pNumClients", 1, 20000));
        agents::Reply b = join(*B, at, secret, true);
        EXPECT_EQ(b.i("result"), 1) << b;
        expect({H.get()}, {{2, MsgJoin, A->who()}, {3, MsgJoin, B->who()}});
        expect({A.get()}, {{1, MsgJoin, "host"}, {3, MsgJoin, B->who()}});
        B->take(2);
    }
    static void expect(std::initializer_list<agents::Agent *> who, const Msgs &want) {
        for (agents::Agent *a : who) EXPECT_EQ(a->take(int(want.size()), 20000), want) << a->who();
    }
};

// No server, bad credentials, bad arguments; an open lobby (an old client too)
// released by p2pDisconnect; a private one on a new relay, lost with coturn.
TEST_P(RelayedLobby, OpenAndPrivateConversations) {
    ASSERT_TRUE(net.up());
    H = agent("host", GetParam(), "host");
    A = agent("peer", agents::Build::Linux, "out");
    B = agent("behind", agents::Build::Linux, "behind");
    ASSERT_TRUE(H && A && B);
    EXPECT_EQ(open("[::1"), "bad relay");
    EXPECT_EQ(open(std::string(Server) + ":3480"), TurnNoRelay);
    cred = Lobby::credentials("not the secret");
    EXPECT_EQ(open(Server), TurnRefused);
    cred = Lobby::credentials();

    std::string at = open(Server, {{"announce", 1}});
    ASSERT_NE(relayedPort(at), 0) << at;
    joinBoth(at, "", true);
    EXPECT_EQ(H->call("p2pSearchClient").i("result"), 1);
    int old = net.player("behind", relayedPort(at));
    EXPECT_TRUE(sendAll(old, std::string("old", 4)) && H->poll("p2pNumClients", 3, 20000));
    ::close(old);
    expect({H.get(), A.get(), B.get()}, {{4, MsgJoin, "old"}, {4, MsgLeave, "old"}});
    const std::string text(300, '\x81'), longest(kit::LongestHostText, 'h');
    A->say(10, 255, text);
    expect({H.get(), B.get()}, {{2, 10, text}});
    H->say(12, 255, longest);
    expect({A.get(), B.get()}, {{1, 12, longest}});
    H->call("p2pDisconnect");
    expect({A.get(), B.get()}, {{0, MsgError, "error"}});
    EXPECT_EQ(net.player("peer", relayedPort(at)), -ECONNREFUSED);

    for (auto *p : {A.get(), B.get()}) p->call("p2pDisconnect");
    // (A relay beside the home router: tests/portmap.)
    at = open(Server, {{"secret", "q7R-pX2m-Kd9w"}, {"announce", 1}});
    ASSERT_NE(relayedPort(at), 0) << at;
    EXPECT_EQ(join(*A, at, "guess", true).s("error"), "wrong secret");
    A->call("p2pDisconnect");
    // Relayed strangers count by the address the server saw: one from behind the
    // second NAT displaces none of a full share from the Internet; their next, their oldest.
    std::vector<kit::Peer> crowd;
    for (char side : std::string(PrivateHandshakesPerSource, 'p') + "bp") {
        crowd.emplace_back(net.player(side == 'p' ? "peer" : "behind", relayedPort(at)));
        EXPECT_EQ(crowd.back().recv(GreetingLength, 10000).size(), GreetingLength);
    }
    EXPECT_TRUE(crowd[0].waitClosed(10000) && !crowd[1].waitClosed(300));
    joinBoth(at, "q7R-pX2m-Kd9w", false); // the stranger did not end the search
    B->say(13, 255, longest.substr(1));
    expect({H.get(), A.get()}, {{3, 13, longest.substr(1)}});
    net.script("kill");
    Msgs lost = H->take(3, 20000);
    for (const kit::Msg &m :
         Msgs{{0, MsgRelay, "lost"}, {2, MsgLeave, A->who()}, {3, MsgLeave, B->who()}})
        EXPECT_NE(std::find(lost.begin(), lost.end(), m), lost.end()) << m;
    expect({A.get(), B.get()}, {{0, MsgError, "error"}});
    // Every agent ends well (a sanitizer's finding would change its status).
    H->call("p2pDisconnect");
    for (auto *a : {H.get(), A.get(), B.get()}) EXPECT_EQ(a->quit(), 0) << a->who();
}
// The lobby host of every build: Linux, and the 32-bit and 64-bit DLLs.
std::vector<agents::Build> hosts() {
    std::vector<agents::Build> out = agents::builds();
    if (agents::haveWindows()) out.push_back(agents::Build::Windows64);
    return out;
}
INSTANTIATE_TEST_SUITE_P(Hosts, RelayedLobby, ::testing::ValuesIn(hosts()), agents::BuildName());
