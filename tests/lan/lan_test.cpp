// Lobbies found on a LAN: network namespaces joined by one bridge, with
// loopback-range addresses only, as the router fixture (tests/portmap) uses
// them: route_localnet, the local route for 127/8 narrowed to 127.0.0.1, and
// a guard that drops anything outside 127/8 before it is sent. The LAN's
// directed broadcast address, 127.66.0.255, stays inside that range.
// scripts/lan.sh builds it, as it does for a person trying lobbies out.
//
//   127.66.0.0/24 on the bridge:  .2 a  .3 b  .4 c  .5 p  .1 gw -- 127.67.0.2 far
//
// a and b host lobbies that announce, c one that does not, p is the player;
// far is one network away behind gw, a router. Agents run inside the
// namespaces; the test process enters one to start an agent there, or to
// make a raw socket that stays in it.
#include "agents/agentkit.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using agents::Agent;
using agents::Build;
using agents::Reply;
using kit::Msg;
using Clock = std::chrono::steady_clock;

const int MsgLobbyFound = 123;
const uint16_t Port = 31903;

using agents::run;

int msSince(Clock::time_point t0) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// The LAN, in namespaces of this test's own, taken down on every way out.
class Lan {
  public:
    Lan() {
        const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(t->test_suite_name()) + "." + t->name();
        // Namespace names are global: the build directory keeps two builds'
        // runs of one test apart.
        prefix_ = "lllan" + std::to_string(
                                std::hash<std::string>{}(std::string(LL_LAN_TAG) + name) % 1000000);
        down();
        std::string out = run("bash " LL_LAN_SCRIPT " up " + prefix_);
        up_ = run("ip -n " + ns("far") + " route").find("127.66.0.0/24 via 127.67.0.1") !=
              std::string::npos;
        if (!up_) ADD_FAILURE() << "the LAN did not come up: " << out;
    }
    ~Lan() { down(); }
    bool up() const { return up_; }
    std::string ns(const std::string &member) const { return prefix_ + "-" + member; }
    std::unique_ptr<Agent> agent(const std::string &member, Build build,
                                 const std::string &who) const {
        return agents::agentIn(ns(member), build, who);
    }
    // A UDP socket made inside a namespace, bound to `port` (0: any).
    int udp(const std::string &member, uint16_t port) const {
        int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int there = ::open(("/run/netns/" + ns(member)).c_str(), O_RDONLY | O_CLOEXEC);
        int s = -1;
        if (self >= 0 && there >= 0 && ::setns(there, CLONE_NEWNET) == 0) {
            s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int on = 1;
            ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
            sockaddr_in a = address(0, port);
            if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                ::close(s);
                s = -1;
            }
            if (::setns(self, CLONE_NEWNET) != 0) std::abort(); // the test must not stay in there
        }
        if (self >= 0) ::close(self);
        if (there >= 0) ::close(there);
        return s;
    }
    static sockaddr_in address(uint32_t ip, uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(ip);
        a.sin_port = htons(port);
        return a;
    }

  private:
    std::string prefix_;
    bool up_ = false;
    void down() const { run("bash " LL_LAN_SCRIPT " down " + prefix_); }
};

// One datagram within `ms`: its bytes, its sender and the address it was
// sent to; false when none came.
struct Datagram {
    std::string bytes;
    uint32_t from = 0, to = 0;
    uint16_t port = 0;
};
bool receive(int s, int ms, Datagram *d) {
    pollfd p = {s, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    char buf[2048], control[256];
    sockaddr_in from{};
    iovec io = {buf, sizeof buf};
    msghdr h{};
    h.msg_name = &from;
    h.msg_namelen = sizeof from;
    h.msg_iov = &io;
    h.msg_iovlen = 1;
    h.msg_control = control;
    h.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(s, &h, 0);
    if (n < 0) return false;
    d->bytes.assign(buf, static_cast<size_t>(n));
    d->from = ntohl(from.sin_addr.s_addr);
    d->port = ntohs(from.sin_port);
    for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
            d->to = ntohl(reinterpret_cast<in_pktinfo *>(CMSG_DATA(c))->ipi_addr.s_addr);
    return true;
}
void sendTo(int s, uint32_t ip, uint16_t port, const std::string &bytes) {
    sockaddr_in a = Lan::address(ip, port);
    ::sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
}
// Answers within `ms` on `s`, counted until `ms` pass with none.
int countAnswers(int s, int ms) {
    int n = 0;
    Datagram d;
    while (receive(s, ms, &d))
        if (d.bytes.compare(0, 4, "LLDA") == 0) ++n;
    return n;
}

const uint32_t A = 0x7F420002;
const std::string Query("LLDQ\x01", 5);

// The notices of a listing started at t0, until `expected` have come, and
// how long after the call each arrived.
std::vector<Msg> notices(Agent &player, size_t expected, Clock::time_point t0) {
    std::vector<Msg> got;
    while (got.size() < expected) {
        std::vector<Msg> more = player.take(1, 5000);
        if (more.empty()) break;
        for (const Msg &m : more) {
            std::printf("lan: %s: notice %zu after %d ms: {%d, %d, \"%s\"}\n",
                        agents::buildName(player.build()), got.size() + 1, msSince(t0), m.usr, m.id,
                        m.msg.c_str());
            got.push_back(m);
        }
    }
    return got;
}

// Waits until the listing that sent query `q` has closed: a probe (an
// answer it refuses) sent from `s` comes back port-unreachable. False after `ms`.
bool listingClosed(int s, const Datagram &q, int ms) {
    sockaddr_in to = Lan::address(q.from, q.port);
    if (::connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) return false;
    const std::string probe("LLDA\x01\x07\x01\x20", 8);
    char b[64];
    for (auto t0 = Clock::now(); msSince(t0) < ms; ::usleep(20000))
        if ((::send(s, probe.data(), probe.size(), 0) < 0 && errno == ECONNREFUSED) ||
            (::recv(s, b, sizeof b, MSG_DONTWAIT) < 0 && errno == ECONNREFUSED))
            return true;
    return false;
}

std::set<std::string> texts(const std::vector<Msg> &msgs) {
    std::set<std::string> out;
    for (const Msg &m : msgs) {
        EXPECT_EQ(m.usr, 0) << m.msg;
        EXPECT_EQ(m.id, MsgLobbyFound) << m.msg;
        out.insert(m.msg);
    }
    return out;
}

class Discovery : public ::testing::TestWithParam<Build> {};

// Lobby a (this build), b (Linux, private) and lobbylink-chat's on gw
// announce, c does not; the player (this build) lists exactly these three,
// and a forged one on c once, its name's printable characters only; it joins
// what it found. A stranger one network away gets no answer, and a flood of
// queries only a bounded number. lobbylink-chat's find, beside the player's
// listing, says how to join each lobby.
TEST_P(Discovery, PlayerListsTheLobbiesThatAnnounce) {
    Lan lan;
    ASSERT_TRUE(lan.up());
    // Its standard input open holds the lobby open.
    std::unique_ptr<FILE, int (*)(FILE *)> chatty(
        ::popen(
            ("ip netns exec " + lan.ns("gw") + " " + LL_CHAT + " host --announce chatty").c_str(),
            "w"),
        ::pclose);
    // The first agent makes a Windows run's Wine prefix and starts its
    // wineserver; the others start side by side.
    std::unique_ptr<Agent> a = lan.agent("a", GetParam(), "gold");
    auto start = [&lan](const char *member, Build build, const char *who) {
        return std::async(std::launch::async, [=, &lan] { return lan.agent(member, build, who); });
    };
    auto b0 = start("b", Build::Linux, "the back room"), c0 = start("c", Build::Linux, "silent"),
         guest0 = start("b", Build::Linux, "guest of b"),
         player0 = start("p", GetParam(), "player");
    std::unique_ptr<Agent> b = b0.get(), guest = guest0.get(), c = c0.get(), player = player0.get();
    ASSERT_TRUE(chatty && a && b && guest && c && player && a->alive() && b->alive() &&
                guest->alive() && c->alive() && player->alive());
    for (Agent *x : {a.get(), b.get(), guest.get(), c.get(), player.get()}) {
        x->call("p2pInit");
        x->update(true);
    }
    ASSERT_EQ(a->call("p2pCreateLobby", {{"user", "gold"}, {"announce", 1}}).i("result"), 1);
    // "the back room" is private: it lists as such, and its guest joins with the secret.
    const std::string backRoomKind = "private", backRoomSecret = "k7qz3mhx9wtp";
    ASSERT_EQ(b->call("p2pCreateLobby",
                      {{"user", "the back room"}, {"announce", 1}, {"secret", backRoomSecret}})
                  .i("result"),
              1);
    ASSERT_EQ(c->call("p2pCreateLobby", {{"user", "silent"}}).i("result"), 1);
    b->call("p2pSearchClient");
    ASSERT_EQ(guest
                  ->call("p2pConnect",
                         {{"address", "127.66.0.3"}, {"user", "guest"}, {"secret", backRoomSecret}})
                  .i("result"),
              1);
    ASSERT_TRUE(b->poll("p2pNumClients", 1));
    ASSERT_TRUE(kit::waitUntil([&] {
        return run("ip netns exec " + lan.ns("gw") + " ss -Huan").find(":31903") !=
               std::string::npos;
    })) << "lobbylink-chat does not announce";

    // Outside Idle there is nothing to list.
    Reply busy = a->call("p2pFindLobbies");
    EXPECT_EQ(busy.s("error"), "already connected") << busy;
    EXPECT_EQ(busy.i("result"), 0) << busy;

    // The lobby without "announce" has no UDP socket at all: the port is
    // free, for a forged lobby there.
    EXPECT_EQ(run("ip netns exec " + lan.ns("c") + " ss -Huan"), "");
    int fake = lan.udp("c", Port);
    ASSERT_GE(fake, 0);
    Datagram q;
    std::future<std::string> chatFind;
    if (GetParam() == Build::Linux) { // its query comes first: a answers it before the flood below
        chatFind = std::async(std::launch::async, [&] {
            return run("ip netns exec " + lan.ns("p") + " " + LL_CHAT + " find");
        });
        ASSERT_TRUE(receive(fake, 5000, &q));
    }
    auto t0 = Clock::now();
    player->send("call p2pFindLobbies");
    ASSERT_TRUE(receive(fake, 5000, &q));
    EXPECT_TRUE(player->answer().ok);
    EXPECT_EQ(q.bytes, Query);
    EXPECT_EQ(q.to, 0x7F4200FFu) << "the query goes to the directed broadcast address";
    // The forged lobby: a malformed answer, then one answer twice.
    const std::string evil = "\x1b[2Jevil\n twin";
    const std::string forged =
        std::string("LLDA\x01\x07\x01", 7) + static_cast<char>(evil.size()) + evil;
    sendTo(fake, q.from, q.port, std::string("LLDA\x01\x07\x01\x20", 8) + "short");
    sendTo(fake, q.from, q.port, forged);
    sendTo(fake, q.from, q.port, forged);
    std::vector<Msg> got = notices(*player, 4, t0);

    // While the listing runs: a query from one network away is not
    // answered, though the way there and back works; one from the LAN is.
    int far = lan.udp("far", 0), near = lan.udp("p", 0), echo = lan.udp("a", Port + 1);
    ASSERT_TRUE(far >= 0 && near >= 0 && echo >= 0);
    Datagram ping;
    sendTo(far, A, Port + 1, "ping");
    ASSERT_TRUE(receive(echo, 5000, &ping));
    sendTo(echo, ping.from, ping.port, "pong");
    ASSERT_TRUE(receive(far, 5000, &ping) && ping.bytes == "pong");
    ::close(echo);
    sendTo(far, A, Port, Query);
    sendTo(near, A, Port, Query);
    Datagram answer;
    ASSERT_TRUE(receive(near, 5000, &answer));
    EXPECT_EQ(answer.bytes, std::string("LLDA\x01\x01\x00\x04", 8) + "gold");
    EXPECT_EQ(countAnswers(far, 500), 0) << "answered 127.67.0.2, one network away";
    // A flood of queries: at most DiscoveryAnswersPerSecond answers in each
    // second it spans (two at most).
    for (int i = 0; i < 100; ++i) sendTo(near, A, Port, Query);
    int answered = countAnswers(near, 1500);
    std::printf("lan: 100 queries at once (%s): %d answers\n", agents::buildName(GetParam()),
                answered);
    EXPECT_GE(answered, 1);
    EXPECT_LE(answered, 40);
    ::close(far);
    ::close(near);

    // Once the listing has closed, nothing is left to come.
    EXPECT_TRUE(listingClosed(fake, q, 10000)) << "the listing never closed";
    std::vector<Msg> late = player->take(0, 0);
    got.insert(got.end(), late.begin(), late.end());
    std::printf("lan: listed (%s): %zu notices, the listing closed after %d ms\n",
                agents::buildName(GetParam()), got.size(), msSince(t0));
    EXPECT_EQ(texts(got),
              (std::set<std::string>{"127.66.0.1 1 open chatty", "127.66.0.2 1 open gold",
                                     "127.66.0.3 2 " + backRoomKind + " the back room",
                                     "127.66.0.4 7 private [2Jevil twin"}));
    EXPECT_EQ(got.size(), 4u);
    ::close(fake);

    // The player joins a lobby it found by the address in the notice.
    a->call("p2pSearchClient");
    Reply joined = player->call("p2pConnect", {{"address", "127.66.0.2"}, {"user", "red"}});
    EXPECT_EQ(joined.i("result"), 1) << joined;
    EXPECT_EQ(joined.s("addr"), "127.66.0.2");
    player->call("p2pDisconnect");

    // lobbylink-chat: find says how to join each lobby; host --announce is found.
    if (chatFind.valid()) {
        std::string out = chatFind.get();
        std::printf("lan: lobbylink-chat find:\n%s", out.c_str());
        EXPECT_NE(out.find("lobby \"gold\" at 127.66.0.2, 1 member, open: join with: "
                           "lobbylink-chat join NAME 127.66.0.2"),
                  std::string::npos)
            << out;
        EXPECT_NE(
            out.find("lobby \"the back room\" at 127.66.0.3, 2 members, private: join with: "
                     "lobbylink-chat "
                     "join --private NAME 127.66.0.3 (and the secret its lobby host gave you)"),
            std::string::npos)
            << out;
        EXPECT_NE(out.find("lobby \"chatty\" at 127.66.0.1, 1 member, open"), std::string::npos)
            << out;
    }
    for (Agent *x : {a.get(), b.get(), guest.get(), c.get(), player.get()}) x->call("p2pTerminate");
    EXPECT_EQ(a->quit(), 0);
    EXPECT_EQ(player->quit(), 0);
}

// One network away from the LAN's lobbies nothing answers lobbylink-chat's
// find: it says so, and not "loopback only".
TEST(DiscoveryFar, TheChatFindsNoLobbyOneNetworkAway) {
    Lan lan;
    ASSERT_TRUE(lan.up());
    std::unique_ptr<Agent> a = lan.agent("a", Build::Linux, "gold");
    ASSERT_TRUE(a && a->alive());
    a->call("p2pInit");
    a->update(true);
    ASSERT_EQ(a->call("p2pCreateLobby", {{"user", "gold"}, {"announce", 1}}).i("result"), 1);
    EXPECT_EQ(run("ip netns exec " + lan.ns("far") + " " + LL_CHAT + " find"),
              "* no lobby answered on your networks (only lobbies opened with host --announce "
              "do)\n");
    a->call("p2pTerminate");
    EXPECT_EQ(a->quit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, Discovery, ::testing::ValuesIn(agents::builds()),
                         agents::BuildName());

} // namespace
