// A lobby host behind a real home router (router.sh: the router daemon
// between a LAN and a WAN network namespace, loopback-range addresses only)
// opens the lobby port with "portmap" 1; a player on the WAN side joins
// through the router's WAN address. Agents run inside the namespaces: the
// test process enters one before it starts an agent there.
#include "agents/agentkit.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using agents::Agent;
using agents::Build;
using kit::Msg;
using Clock = std::chrono::steady_clock;

const char External[] = "11.22.33.44"; // what the router reports; never sent to
const char RouterWan[] = "127.88.0.1";
const int MsgRelay = 122, MsgPortmap = 124, MsgJoin = 126;

using agents::run;

// One router in namespaces of this test's own, down again on every way out
// of the test (and swept by the CTest fixture after a crash).
class Router {
  public:
    explicit Router(const std::string &mode) {
        const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(t->test_suite_name()) + "." + t->name();
        // Namespace names are global: the build directory keeps two builds'
        // runs of one test apart.
        prefix_ =
            "llpm" +
            std::to_string(std::hash<std::string>{}(std::string(LL_ROUTER_DIR) + name) % 1000000);
        script("down");
        std::string out = run(cmd("up") + " " + mode);
        up_ = run("ip netns list").find(prefix_ + "-lan") != std::string::npos;
        if (!up_) ADD_FAILURE() << "router " << mode << " did not come up: " << out;
    }
    ~Router() { script("down"); }
    bool up() const { return up_; }
    const std::string &prefix() const { return prefix_; }

    // The router's port forwardings: its NAT rule and its filter rule of
    // each mapping.
    std::string rules() const {
        std::string nft = "ip netns exec " + prefix_ + "-rtr nft list chain inet filter ";
        return run(nft + "prerouting_miniupnpd") + run(nft + "miniupnpd");
    }
    // A forwarding of the router's lobby port to this LAN host's.
    bool forwardsLobby(const std::string &to = "127.77.0.2") const {
        return rules().find("dport 31903 dnat ip to " + to + ":31903") != std::string::npos;
    }
    bool forwardsAnything() const {
        std::string r = rules();
        return r.find("dnat") != std::string::npos || r.find(" accept") != std::string::npos;
    }
    std::string log() const {
        return run("cat " + std::string(LL_ROUTER_DIR) + "/" + prefix_ + ".log");
    }

    // Runs `fn` inside namespace PREFIX-side: an agent started or a socket
    // made there stays there.
    void inside(const char *side, const std::function<void()> &fn) {
        kit::insideNetns(prefix_ + "-" + side, fn);
    }
    std::unique_ptr<Agent> agent(const char *side, Build build, const std::string &who) {
        return agents::agentIn(prefix_ + "-" + side, build, who);
    }

  private:
    std::string prefix_;
    bool up_ = false;
    std::string cmd(const char *what) const {
        return std::string("sh ") + LL_ROUTER_SCRIPT + " " + what + " " + LL_ROUTER_DIR + " " +
               prefix_;
    }
    void script(const char *what) const { run(cmd(what)); }
};

// Opens a lobby as "gold" with "portmap" 1 and waits for the notice: its
// text, and how long it took from p2pCreateLobby.
std::string openMapped(Agent &host, const char *what, int *ms = nullptr) {
    EXPECT_EQ(host.call("p2pInit").i("result"), 1);
    host.update(true);
    auto t0 = Clock::now();
    EXPECT_EQ(host.call("p2pCreateLobby", {{"user", "gold"}, {"portmap", 1}}).i("result"), 1);
    std::vector<Msg> got = host.take(1, 10000);
    int elapsed = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    if (ms) *ms = elapsed;
    EXPECT_EQ(got.size(), 1u) << what;
    if (got.empty()) return "<no notice>";
    EXPECT_EQ(got[0].usr, 0);
    EXPECT_EQ(got[0].id, MsgPortmap);
    std::printf("portmap: %s (%s): \"%s\" %d ms after p2pCreateLobby\n", what,
                agents::buildName(host.build()), got[0].msg.c_str(), elapsed);
    return got[0].msg;
}

int connect(Agent &player, const char *address) {
    return player.call("p2pConnect", {{"address", address}, {"user", "red"}}).i("result");
}

// ---- The whole way: mapped, joined from outside, closed again ----

class Portmap : public ::testing::TestWithParam<Build> {};

TEST_P(Portmap, PlayerOutsideJoinsThroughTheRouterUntilTheLobbyCloses) {
    Router router("both");
    ASSERT_TRUE(router.up());
    std::unique_ptr<Agent> host = router.agent("lan", GetParam(), "lobby host");
    std::unique_ptr<Agent> player = router.agent("wan", Build::Linux, "player outside");
    ASSERT_TRUE(host && host->alive() && player && player->alive());
    player->call("p2pInit");

    // Without "portmap" nothing goes to the router, and nobody outside gets in.
    host->call("p2pInit");
    ASSERT_EQ(host->call("p2pCreateLobby", {{"user", "gold"}}).i("result"), 1);
    host->call("p2pSearchClient");
    EXPECT_EQ(connect(*player, RouterWan), 0);
    EXPECT_EQ(router.log().find("127.77.0.2"), std::string::npos) << router.log();
    host->call("p2pDisconnect");
    player->call("p2pDisconnect");

    int ms = 0;
    EXPECT_EQ(openMapped(*host, "both protocols", &ms), External);
    std::string before = router.rules();
    std::printf("portmap: the router's forwardings while the lobby is open:\n%s", before.c_str());
    EXPECT_TRUE(router.forwardsLobby()) << before;

    EXPECT_EQ(host->call("p2pSearchClient").i("result"), 1);
    ASSERT_EQ(connect(*player, RouterWan), 1);
    EXPECT_EQ(host->take(1), (std::vector<Msg>{{2, MsgJoin, "red"}}));
    player->update(true);
    player->say(7, 1, "hello from outside");
    EXPECT_EQ(host->take(1), (std::vector<Msg>{{2, 7, "hello from outside"}}));
    host->say(8, 255, "welcome in");
    EXPECT_EQ(player->take(2), (std::vector<Msg>{{1, MsgJoin, "gold"}, {1, 8, "welcome in"}}));

    // Closing the lobby deletes the mapping before p2pDisconnect returns.
    auto closing = Clock::now();
    host->call("p2pDisconnect");
    std::printf(
        "portmap: p2pDisconnect took %d ms\n",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - closing).count()));
    std::string after = router.rules();
    std::printf("portmap: after p2pDisconnect:\n%s", after.c_str());
    EXPECT_FALSE(router.forwardsAnything()) << after;
    player->call("p2pDisconnect");
    EXPECT_EQ(connect(*player, RouterWan), 0);

    // lobbylink-chat says how outside players join (its input ends after a
    // second, which closes the lobby).
    if (GetParam() == Build::Linux) {
        std::string chat = run("ip netns exec " + router.prefix() + "-lan sh -c 'sleep 1 | " +
                               LL_CHAT + " host --portmap gold'");
        EXPECT_NE(chat.find("players outside your network join with: join NAME 11.22.33.44"),
                  std::string::npos)
            << chat;
        EXPECT_FALSE(router.forwardsAnything()) << router.rules();
    }

    // p2pTerminate deletes it too, and the lease is the asked one.
    EXPECT_EQ(openMapped(*host, "again, ended by p2pTerminate"), External);
    EXPECT_TRUE(router.forwardsLobby());
    host->call("p2pTerminate");
    EXPECT_FALSE(router.forwardsAnything()) << router.rules();
    EXPECT_NE(router.log().find("lifetime=1200s"), std::string::npos) << router.log();
    EXPECT_EQ(host->quit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Builds, Portmap, ::testing::ValuesIn(agents::builds()),
                         agents::BuildName());

// ---- Each protocol alone, and routers that say no ----

struct Case {
    const char *mode;
    const char *notice;
    Build build;
};
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.mode << " " << agents::buildName(c.build);
}

std::vector<Case> cases() {
    std::vector<Case> out{{"natpmp", External, Build::Linux},
                          {"upnp", External, Build::Linux},
                          {"natpmp-refuse", "refused", Build::Linux},
                          {"upnp-refuse", "refused", Build::Linux}};
    if (agents::haveWindows())
        out.push_back({"upnp", External, Build::Windows}); // Winsock's HTTP path
    return out;
}

class PortmapRouter : public ::testing::TestWithParam<Case> {};

TEST_P(PortmapRouter, AnnouncesTheOutcomeAndLeavesNoMappingBehind) {
    Router router(GetParam().mode);
    ASSERT_TRUE(router.up());
    std::unique_ptr<Agent> host = router.agent("lan", GetParam().build, "lobby host");
    ASSERT_TRUE(host && host->alive());
    EXPECT_EQ(openMapped(*host, GetParam().mode), GetParam().notice);
    bool mapped = std::string(GetParam().notice) == External;
    EXPECT_EQ(router.forwardsLobby(), mapped) << router.rules();
    if (mapped) { // a 20-minute lease, as the router logs it
        const char *lease =
            std::string(GetParam().mode) == "upnp" ? "leaseduration=1200" : "lifetime=1200s";
        EXPECT_NE(router.log().find(lease), std::string::npos) << lease;
    }
    if (!mapped) {
        // A port the router mapped instead of the lobby port is given back.
        auto end = Clock::now() + std::chrono::seconds(3);
        while (router.forwardsAnything() && Clock::now() < end) ::usleep(20000);
        EXPECT_FALSE(router.forwardsAnything()) << router.rules();
    }
    host->call("p2pDisconnect");
    EXPECT_FALSE(router.forwardsAnything()) << router.rules();
    EXPECT_EQ(host->take(0, 0).size(), 0u) << "one notice only";
}

INSTANTIATE_TEST_SUITE_P(Modes, PortmapRouter, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<Case> &i) {
                             std::string n =
                                 std::string(i.param.mode) + "_" + agents::buildName(i.param.build);
                             for (char &c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// ---- Another machine's mapping ----

class PortmapTaken : public ::testing::TestWithParam<const char *> {};

TEST_P(PortmapTaken, AnotherMachinesMappingIsNeverTakenOver) {
    Router router(GetParam());
    ASSERT_TRUE(router.up());
    std::unique_ptr<Agent> first = router.agent("lan", Build::Linux, "lobby host at 127.77.0.2");
    ASSERT_TRUE(first && first->alive());
    EXPECT_EQ(openMapped(*first, "the first machine"), External);
    // The LAN host becomes a second machine, or the first again: its address
    // towards the router.
    std::string lan = "ip -n " + router.prefix() + "-lan ";
    auto be = [&](const std::string &at) {
        return run(lan + "route replace 127.77.0.0/24 dev eth0 scope link src " + at + " && " +
                   lan + "route replace default via 127.77.0.1 src " + at + " && " + lan +
                   "route get 127.77.0.1");
    };
    run(lan + "addr add 127.77.0.3/24 dev eth0");
    std::string moved = be("127.77.0.3");
    ASSERT_NE(moved.find("src 127.77.0.3"), std::string::npos) << moved;
    std::unique_ptr<Agent> second = router.agent("lan", Build::Linux, "lobby host at 127.77.0.3");
    ASSERT_TRUE(second && second->alive());
    EXPECT_EQ(openMapped(*second, GetParam()), "refused");
    second->call("p2pDisconnect");
    EXPECT_TRUE(router.forwardsLobby())
        << "the first machine's mapping is gone: " << router.rules();
    // The first machine's mapping goes while its lobby is open (another
    // lobby of that machine renews it and deletes it on closing), and the
    // second machine's lobby maps the port. The first machine's lobby,
    // closing, leaves that mapping alone, also where the router would let
    // it delete it ("-open").
    be("127.77.0.2");
    std::unique_ptr<Agent> again = router.agent("lan", Build::Linux, "another lobby at 127.77.0.2");
    ASSERT_TRUE(again && again->alive());
    EXPECT_EQ(openMapped(*again, "the first machine again"), External);
    again->call("p2pDisconnect");
    EXPECT_FALSE(router.forwardsAnything()) << router.rules();
    be("127.77.0.3");
    EXPECT_EQ(openMapped(*second, "the port free again"), External);
    be("127.77.0.2");
    first->call("p2pDisconnect");
    EXPECT_TRUE(router.forwardsLobby("127.77.0.3"))
        << "the second machine's mapping is gone: " << router.rules();
    be("127.77.0.3");
    second->call("p2pDisconnect");
    EXPECT_FALSE(router.forwardsAnything()) << router.rules();
}

INSTANTIATE_TEST_SUITE_P(Protocols, PortmapTaken, ::testing::Values("natpmp", "upnp", "upnp-open"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             std::string n = i.param;
                             for (char &c : n)
                                 if (c == '-') c = '_';
                             return n;
                         });

// ---- Gateways played by the test ----

// A socket on the gateway's address 127.77.0.1:port in the router's
// namespace, which the "none" router leaves free; a stream socket listens.
int gatewaySocket(Router &router, int type, uint16_t port) {
    int s = -1;
    router.inside("rtr", [&] { s = ::socket(AF_INET, type | SOCK_CLOEXEC, 0); });
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = inet_addr("127.77.0.1");
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 ||
        (type == SOCK_STREAM && ::listen(s, 8) != 0))
        ADD_FAILURE() << "no gateway socket on port " << port;
    return s;
}

// Calls serve(socket) for each of the sockets with something to read, on a
// thread of its own until stop() or the end of the test.
class FakeGateway {
  public:
    FakeGateway(std::vector<int> sockets, std::function<void(int)> serve)
        : sockets_(std::move(sockets)), thread_([this, serve] {
              std::vector<pollfd> p;
              for (int s : sockets_) p.push_back({s, POLLIN, 0});
              while (!stop_)
                  if (::poll(p.data(), p.size(), 20) > 0)
                      for (pollfd &q : p)
                          if (q.revents & POLLIN) serve(q.fd);
          }) {}
    ~FakeGateway() {
        stop();
        for (int s : sockets_)
            if (s >= 0) ::close(s);
    }
    void stop() {
        if (!stop_.exchange(true)) thread_.join();
    }

  private:
    std::vector<int> sockets_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The answer to the address request comes again while the lobby host awaits
// the mapping's answer, just before it: it is not taken for that answer.
TEST(PortmapLateAnswer, AnAnswerToAnotherRequestIsNotTakenForTheMappings) {
    Router router("none");
    ASSERT_TRUE(router.up());
    // [0][128][result][epoch][11.22.33.44]; a mapping answer repeats the
    // request's ports and lifetime: [0][130][result][epoch][ports][lifetime].
    const uint8_t address[12] = {0, 128, 0, 0, 0, 0, 0, 9, 11, 22, 33, 44};
    FakeGateway gateway({gatewaySocket(router, SOCK_DGRAM, 5351)}, [&](int s) {
        uint8_t ask[64], map[16] = {0, 130, 0, 0, 0, 0, 0, 9};
        sockaddr_in from = {};
        socklen_t length = sizeof from;
        ssize_t n = ::recvfrom(s, ask, sizeof ask, 0, reinterpret_cast<sockaddr *>(&from), &length);
        auto answer = [&](const uint8_t *data, size_t size) {
            ::sendto(s, data, size, 0, reinterpret_cast<sockaddr *>(&from), length);
        };
        if (n == 2 && ask[1] == 0) answer(address, sizeof address);
        if (n != 12 || ask[1] != 2) return;
        std::memcpy(map + 8, ask + 4, 8);
        answer(address, sizeof address); // late, and first
        answer(map, sizeof map);
    });
    std::unique_ptr<Agent> host = router.agent("lan", Build::Linux, "lobby host");
    ASSERT_TRUE(host && host->alive());
    EXPECT_EQ(openMapped(*host, "late answers"), External);
    host->call("p2pDisconnect");
}

// A UPnP gateway that would hand the lobby port to whoever asks last (no
// NAT-PMP: port unreachable) reports it mapped to another machine: the lobby
// host neither replaces that mapping nor deletes it.
TEST(PortmapOverwritingRouter, AnotherMachinesMappingIsNeitherReplacedNorDeleted) {
    Router router("none");
    ASSERT_TRUE(router.up());
    std::string asked; // the fake's thread writes it until stop()
    const std::string description =
        "<root><device><serviceList><service><serviceType>urn:schemas-upnp-org:service:"
        "WANIPConnection:1</serviceType><controlURL>/ctl</controlURL></service>"
        "</serviceList></device></root>";
    int search = gatewaySocket(router, SOCK_DGRAM, 1900),
        http = gatewaySocket(router, SOCK_STREAM, 5555);
    FakeGateway gateway({search, http}, [&](int s) {
        if (s == search) { // the M-SEARCH
            char ask[1500];
            sockaddr_in from = {};
            socklen_t length = sizeof from;
            const char found[] =
                "HTTP/1.1 200 OK\r\nLOCATION: http://127.77.0.1:5555/desc.xml\r\n\r\n";
            if (::recvfrom(s, ask, sizeof ask, 0, reinterpret_cast<sockaddr *>(&from), &length) > 0)
                ::sendto(s, found, sizeof found - 1, 0, reinterpret_cast<sockaddr *>(&from),
                         length);
            return;
        }
        int c = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        std::string in; // the head, then the body as long as it says
        char part[4096];
        ssize_t n;
        pollfd p{c, POLLIN, 0};
        while (::poll(&p, 1, 2000) > 0 && (n = ::recv(c, part, sizeof part, 0)) > 0) {
            in.append(part, static_cast<size_t>(n));
            size_t head = in.find("\r\n\r\n"), sized = in.find("Content-Length:");
            if (head != std::string::npos &&
                in.size() >=
                    head + 4 +
                        (sized == std::string::npos ? 0 : std::atol(in.c_str() + sized + 15)))
                break;
        }
        size_t hash = in.find('#'); // SOAPAction: "service#Action"
        std::string action = in.compare(0, 4, "GET ") == 0 ? "GET"
                             : hash == std::string::npos
                                 ? "?"
                                 : in.substr(hash + 1, in.find('"', hash) - hash - 1);
        if (in.find("<NewExternalPort>31903</NewExternalPort>") != std::string::npos)
            action += " 31903";
        asked += action + "\n";
        std::string body; // any other call succeeds
        if (action == "GET") body = description;
        if (action == "GetExternalIPAddress")
            body = "<NewExternalIPAddress>11.22.33.44</NewExternalIPAddress>";
        if (action == "GetSpecificPortMappingEntry 31903")
            body = "<NewInternalPort>31903</NewInternalPort><NewInternalClient>127.77.0.3</"
                   "NewInternalClient>";
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body;
        ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(c);
    });
    std::unique_ptr<Agent> host = router.agent("lan", Build::Linux, "lobby host");
    ASSERT_TRUE(host && host->alive());
    EXPECT_EQ(openMapped(*host, "a router that overwrites"), "refused");
    host->call("p2pDisconnect");
    gateway.stop();
    std::printf("portmap: the router that overwrites was asked:\n%s", asked.c_str());
    EXPECT_NE(asked.find("GetSpecificPortMappingEntry 31903"), std::string::npos) << asked;
    EXPECT_EQ(asked.find("AddPortMapping 31903"), std::string::npos) << asked;
    EXPECT_EQ(asked.find("DeletePortMapping 31903"), std::string::npos) << asked;
}

// ---- No router: the lobby works locally while the library waits ----

TEST(PortmapNoRouter, SaysSoWithinTheBudgetWhileTheLobbyWorks) {
    Router router("none"); // a gateway that answers nothing but port-unreachable
    ASSERT_TRUE(router.up());
    std::unique_ptr<Agent> host = router.agent("lan", Build::Linux, "lobby host");
    std::unique_ptr<Agent> local = router.agent("lan", Build::Linux, "player at home");
    ASSERT_TRUE(host && host->alive() && local && local->alive());
    host->call("p2pInit");
    local->call("p2pInit");
    host->update(true);

    // A lobby closed while the library still waits for an answer closes at
    // once, and its notice never comes: not even to the next lobby, whose
    // own comes just after the time it would have.
    auto first = Clock::now();
    ASSERT_EQ(host->call("p2pCreateLobby", {{"user", "gold"}, {"portmap", 1}}).i("result"), 1);
    auto closing = Clock::now();
    host->call("p2pDisconnect");
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - closing).count());
    std::printf("portmap: p2pDisconnect while waiting for a router took %d ms\n", ms);
    EXPECT_LT(ms, 2000);

    // The next lobby also asks a relay server, which is not there: its
    // outcome comes at once, in among the lobby's, and the router's later.
    auto t0 = Clock::now();
    ASSERT_EQ(
        host->call("p2pCreateLobby",
                   {{"user", "gold"}, {"portmap", 1}, {"relay", "127.0.0.1:9"}, {"announce", 1}})
            .i("result"),
        1);
    EXPECT_EQ(host->call("p2pSearchClient").i("result"), 1);
    ASSERT_EQ(connect(*local, "127.0.0.1"), 1);
    local->update(true);
    local->say(7, 1, "hello at home");
    std::vector<Msg> got = host->take(3, 2000);
    auto relay = std::find(got.begin(), got.end(), Msg{0, MsgRelay, "no relay"});
    EXPECT_NE(relay, got.end()) << "no relay outcome";
    if (relay != got.end()) got.erase(relay);
    EXPECT_EQ(got, (std::vector<Msg>{{2, MsgJoin, "red"}, {2, 7, "hello at home"}}))
        << "the router's outcome came before the budget was up";
    got = host->take(1, 10000);
    ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Msg{0, MsgPortmap, "no router"}));
    std::printf("portmap: no router: \"no router\" %d ms after p2pCreateLobby\n", ms);
    EXPECT_LT(ms, 6000);
    int apart =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(t0 - first).count());
    EXPECT_EQ(host->take(1, apart + 1000).size(), 0u) << "the closed lobby's notice came too";
    host->call("p2pTerminate");
}

} // namespace
