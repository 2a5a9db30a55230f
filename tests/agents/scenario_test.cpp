// Whole lobbies of agents, in five arrangements: every member on Linux, every
// member on Windows (Wine), a Windows lobby host with Linux clients, a Linux
// lobby host with Windows clients, and a 64-bit Windows lobby host with a
// client of each build (32-bit and 64-bit Windows, Linux); each as an open
// lobby and as a private one (a secret: the handshake and sealed records).
// Every build must speak the same bytes, so every check is the same in each
// arrangement. Members come over IPv4 and IPv6 (::1) into the one lobby.
#include "agents/agentkit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

namespace {

using agents::Agent;
using agents::Build;
using agents::Reply;
using kit::Msg;
using Msgs = std::vector<Msg>;

struct Arrangement {
    std::string name;
    Build host, clients[3]; // a, b and c
    std::string secret;     // "": an open lobby
};

void PrintTo(const Arrangement &a, std::ostream *os) { *os << a.name; }

std::vector<Arrangement> arrangements() {
    const Build L = Build::Linux, W = Build::Windows, W64 = Build::Windows64;
    std::vector<Arrangement> open{{"linux", L, {L, L, L}, ""}};
    if (agents::haveWindows()) {
        open.push_back({"windows", W, {W, W, W}, ""});
        open.push_back({"windows_host_linux_clients", W, {L, L, L}, ""});
        open.push_back({"linux_host_windows_clients", L, {W, W, W}, ""});
        open.push_back({"windows64_host_every_client", W64, {W, W64, L}, ""});
    }
    std::vector<Arrangement> out = open;
    for (Arrangement a : open) {
        a.name += "_private";
        a.secret = "q7R-pX2m-Kd9w"; // an invite code
        out.push_back(a);
    }
    return out;
}

// A text of n bytes running through every value but 0, from `seed` on.
std::string textOf(size_t n, int seed) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(1 + (seed + i) % 255);
    return s;
}

const std::string HostName = "host\xff";
const std::string Names[3] = {"a", "b\x01\x7f\x80\xff \r\n",
                              "c" + textOf(LobbyMaxNameLength - 1, 'c')}; // c: the longest name

// Each agent's next entries must be `want`, and nothing more (with `want`
// empty: nothing arrives for a while). The agents are asked all at once.
void expectEach(std::initializer_list<Agent *> who, const Msgs &want) {
    std::string req =
        want.empty() ? "take 1 300" : "take " + std::to_string(want.size()) + " 15000";
    for (Agent *a : who) a->send(req);
    for (Agent *a : who) {
        Reply r = a->answer(40000);
        EXPECT_TRUE(r.ok) << a->who() << ": " << r;
        EXPECT_EQ(r.msgs(), want) << "at " << a->who();
    }
}

// One admission: the lobby host searches, the client connects as `name` to
// `address` (IPv4 or IPv6; null: none given) and learns the address it joined.
// In a private lobby the client also gives the secret, and its handshake
// takes two sends (the first message, the first record).
std::string secret; // the running test's lobby secret
// The running test's join times: from the p2pConnect request to the lobby
// host's count of members, in ms (printed at its end, for the record).
std::vector<double> joinMs;

void join(Agent &host, Agent &client, const std::string &name, int members,
          const char *address = "127.0.0.1") {
    EXPECT_EQ(host.call("p2pSearchClient").i("result"), 1);
    std::vector<agents::Arg> args;
    if (address) args.push_back({"address", address});
    args.push_back({"user", name});
    if (!secret.empty()) args.push_back({"secret", secret});
    const auto start = std::chrono::steady_clock::now();
    Reply r = client.call("p2pConnect", args);
    EXPECT_EQ(r.i("result"), 1) << client.who() << ": " << r;
    EXPECT_EQ(r.i("pkg"), secret.empty() ? 1 : 2) << r;
    std::string chain = address ? "aupr" : "upra"; // "addr" shares the a
    if (!secret.empty()) chain.insert(chain.find('u') + 1, "s");
    EXPECT_EQ(r.raw("chain"), chain) << r;
    if (address) {
        EXPECT_EQ(r.s("addr"), address) << r;
    } else { // this machine, over either family
        EXPECT_TRUE(r.s("addr") == "::1" || r.s("addr") == "127.0.0.1") << r;
    }
    bool admitted = host.poll("p2pNumClients", members);
    if (admitted)
        joinMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    EXPECT_TRUE(admitted && host.poll("p2pIsSearching", 0)) << name;
}

class Scenario : public ::testing::TestWithParam<Arrangement> {
  protected:
    std::unique_ptr<Agent> host, a, b, c;

    void TearDown() override {
        std::vector<double> v;
        v.swap(joinMs);
        if (v.empty()) return;
        std::string each;
        for (double ms : v) each += " " + std::to_string(static_cast<int>(ms));
        std::sort(v.begin(), v.end());
        std::printf("join: %s, p2pConnect to admission: median %.0f ms; in turn:%s\n",
                    GetParam().name.c_str(), v[v.size() / 2], each.c_str());
    }

    // Starts the agents, opens the lobby and admits a, b and c (ids 2, 3, 4):
    // the join notices are exact at every member, in admission order.
    void openLobby() {
        host.reset(new Agent(GetParam().host, "lobby host"));
        a.reset(new Agent(GetParam().clients[0], "a"));
        b.reset(new Agent(GetParam().clients[1], "b"));
        c.reset(new Agent(GetParam().clients[2], "c"));
        for (Agent *x : {host.get(), a.get(), b.get(), c.get()}) {
            ASSERT_TRUE(x->alive());
            // The callback slots give back a whole pointer of the agent's width.
            Reply slots = x->req("slots");
            EXPECT_EQ(slots.line,
                      x->build() == Build::Windows ? "ok bits=32 bad=0" : "ok bits=64 bad=0")
                << x->who();
            EXPECT_EQ(x->call("p2pInit").i("result"), 1);
            x->update(true);
        }
        secret = GetParam().secret;
        std::vector<agents::Arg> lobby{{"user", HostName}};
        if (!secret.empty()) lobby.push_back({"secret", secret});
        Reply made = host->call("p2pCreateLobby", lobby);
        ASSERT_EQ(made.i("result"), 1) << made;
        // a joins over IPv4, b over IPv6; c finds the lobby host without an address.
        join(*host, *a, Names[0], 1);
        join(*host, *b, Names[1], 2, "::1");
        join(*host, *c, Names[2], 3, nullptr);
        ASSERT_FALSE(HasFailure());
        expectEach({host.get()},
                   {{2, MsgJoin, Names[0]}, {3, MsgJoin, Names[1]}, {4, MsgJoin, Names[2]}});
        expectEach({a.get()},
                   {{1, MsgJoin, HostName}, {3, MsgJoin, Names[1]}, {4, MsgJoin, Names[2]}});
        expectEach({b.get()},
                   {{1, MsgJoin, HostName}, {2, MsgJoin, Names[0]}, {4, MsgJoin, Names[2]}});
        expectEach({c.get()},
                   {{1, MsgJoin, HostName}, {2, MsgJoin, Names[0]}, {3, MsgJoin, Names[1]}});
        EXPECT_EQ(host->call("p2pClientName", {{"id", 3}}).s("result"), Names[1]);
        EXPECT_EQ(host->call("p2pClientName", {{"id", 4}}).s("result"), Names[2]);
    }
};

TEST_P(Scenario, WholeConversation) {
    openLobby();
    ASSERT_FALSE(HasFailure());
    Agent &H = *host, &A = *a, &B = *b, &C = *c;

    // Unicast and broadcast in every direction, exact texts and ids.
    const std::string t1 = textOf(300, 1), t2 = textOf(255, 2), t3 = textOf(17, 3),
                      t4 = textOf(1000, 4), t5 = "\r\n\x1a";
    A.say(10, 255, t1);
    expectEach({&H, &B, &C}, {{2, 10, t1}});
    B.say(11, 4, t2);
    expectEach({&C}, {{3, 11, t2}});
    C.say(12, 1, t3);
    expectEach({&H}, {{4, 12, t3}});
    H.say(13, 255, t4);
    expectEach({&A, &B, &C}, {{1, 13, t4}});
    H.say(200, 3, t5); // ids above 127 come back as signed bytes
    expectEach({&B}, {{1, -56, t5}});
    A.say(256 + 9, 256 + 4, t5); // only the low bytes of id and receiver count
    expectEach({&C}, {{2, 9, t5}});
    expectEach({&H, &A, &B, &C}, {});

    // The longest texts from a client (relayed as a frame of a whole queue)
    // and from the lobby host.
    EXPECT_EQ(A.call("p2pBuffer").i("res"), LobbyQueueBytes);
    const std::string longA = textOf(kit::LongestClientText, 7),
                      longB = textOf(kit::LongestClientText, 8),
                      longH = textOf(kit::LongestHostText, 9);
    A.say(14, 255, longA);
    expectEach({&H, &B, &C}, {{2, 14, longA}});
    B.say(15, 4, longB);
    expectEach({&C}, {{3, 15, longB}});
    EXPECT_EQ(H.call("p2pBuffer", {{"id", 2}}).i("res"), LobbyQueueBytes);
    H.say(16, 255, longH);
    expectEach({&A, &B, &C}, {{1, 16, longH}});
    expectEach({&H, &A, &B, &C}, {});

    // b leaves and comes back as b2 (id 5). Its last words, queued with no
    // update before it leaves, arrive whole before its departure.
    const std::string lastB = textOf(60000, 10);
    B.update(false);
    B.say(17, 255, lastB);
    EXPECT_EQ(B.null("p2pDisconnect"), 0);
    EXPECT_EQ(B.call("p2pBuffer").i("res"), 0);
    expectEach({&H, &A, &C}, {{3, 17, lastB}, {3, MsgLeave, Names[1]}});
    B.update(true);
    join(H, B, "b2", 3, "::1");
    expectEach({&H, &A, &C}, {{5, MsgJoin, "b2"}});
    expectEach({&B}, {{1, MsgJoin, HostName}, {2, MsgJoin, Names[0]}, {4, MsgJoin, Names[2]}});

    // The lobby host kicks c.
    H.call("p2pKick", {{"id", 4}});
    expectEach({&H, &A, &B}, {{4, MsgLeave, Names[2]}});
    expectEach({&C}, {{0, MsgError, "error"}});
    EXPECT_EQ(H.null("p2pNumClients"), 2);
    C.null("p2pDisconnect");

    // A cancelled search turns c away after its handshake.
    EXPECT_EQ(H.call("p2pSearchClient").i("result"), 1);
    ASSERT_TRUE(H.poll("p2pIsSearching", 1));
    H.null("p2pCancelSearch");
    EXPECT_EQ(C.call("p2pConnect", {{"address", "127.0.0.1"}, {"user", "c3"}, {"secret", secret}})
                  .i("result"),
              1);
    EXPECT_TRUE(H.poll("p2pIsSearching", 0));
    EXPECT_EQ(H.null("p2pSearchClientError"), SearchOk);
    EXPECT_EQ(H.null("p2pNumClients"), 2);
    expectEach({&C}, {{0, MsgError, "error"}});
    H.null("p2pUncancelSearch");
    C.null("p2pDisconnect");

    // Full search cycles, one after the other: c4 (id 6) joins and leaves, c5 (id 7) joins.
    for (int round = 0; round < 2; ++round) {
        std::string name = "c" + std::to_string(4 + round);
        join(H, C, name, 3);
        expectEach({&H, &A, &B}, {{6 + round, MsgJoin, name}});
        expectEach({&C}, {{1, MsgJoin, HostName}, {2, MsgJoin, Names[0]}, {5, MsgJoin, "b2"}});
        if (round == 0) {
            C.null("p2pDisconnect");
            expectEach({&H, &A, &B}, {{6, MsgLeave, name}});
        }
    }
    expectEach({&H, &A, &B, &C}, {});

    // The lobby host's application quits: every client gets exactly one loss notice.
    H.send("quit");
    expectEach({&A, &B, &C}, {{0, MsgError, "error"}});
    expectEach({&A, &B, &C}, {});
    for (Agent *x : {&A, &B, &C}) {
        EXPECT_EQ(x->null("p2pDisconnect"), 0);
        EXPECT_EQ(x->null("p2pTerminate"), 0) << x->who();
    }
}

// Every member sends 400 numbered messages (some 300 kB: its queue fills over
// and over) as fast as p2pBuffer allows: the lobby host all of them to
// everybody, client s its even numbers to everybody and its odd ones to the
// next client. Every message must arrive once, whole and in order, and
// nothing else.
TEST_P(Scenario, PacedFloodArrivesOnceAndInOrder) {
    openLobby();
    ASSERT_FALSE(HasFailure());
    auto next = [](int s) { return s == 4 ? 2 : s + 1; };
    std::map<int, Agent *> members{{1, host.get()}, {2, a.get()}, {3, b.get()}, {4, c.get()}};
    for (auto &m : members) {
        int s = m.first;
        m.second->send("flood self=" + std::to_string(s) +
                       " count=400 odd=" + std::to_string(s == 1 ? 255 : next(s)) +
                       " peers=3 room=" + (s == 1 ? "2,3,4" : "0"));
    }
    std::map<int, Reply> replies;
    for (auto &m : members) replies[m.first] = m.second->answer(120000);
    for (auto &m : members) {
        int self = m.first;
        const Reply &r = replies[self];
        ASSERT_TRUE(r.ok) << m.second->who() << ": " << r;
        EXPECT_EQ(r.i("sent"), 400);
        std::printf("flood: %s sent %d\n", m.second->who().c_str(), r.i("sent"));
        EXPECT_EQ(r.i("bad"), 0) << m.second->who() << " got something else: " << r.raw("first");
        std::vector<std::string> from = r.all("from");
        EXPECT_EQ(from.size(), 3u) << m.second->who() << " missed counts";
        for (const std::string &f : from) {
            size_t c1 = f.find(':'), c2 = f.find(':', c1 + 1);
            int s = std::stoi(f.substr(0, c1)), n = std::stoi(f.substr(c1 + 1, c2 - c1 - 1));
            EXPECT_EQ(n, replies[s].i("sent")) << s;
            std::string want;
            for (int q = 0; q < n; ++q)
                if (s == 1 || q % 2 == 0 || next(s) == self)
                    want += (want.empty() ? "" : ",") + std::to_string(q);
            EXPECT_TRUE(f.substr(c2 + 1) == want)
                << "from " << s << " at " << self << ": " << f.substr(c2 + 1, 200) << "...";
        }
    }
    EXPECT_EQ(host->null("p2pNumClients"), 3);

    // The lobby host's last words, queued with no update before it closes,
    // reach every member whole, and then the end of the connection.
    const std::string last = textOf(60000, 11);
    host->update(false);
    host->say(17, 255, last);
    EXPECT_EQ(host->null("p2pDisconnect"), 0);
    expectEach({a.get(), b.get(), c.get()}, {{1, 17, last}, {0, MsgError, "error"}});
}

// Joins with "async" = 1 against the lobby host of either build: each
// p2pConnect answers at once, and the outcome arrives as notices.
TEST_P(Scenario, AsyncJoinsEndInTheJoinNoticeOrOneReason) {
    host.reset(new Agent(GetParam().host, "lobby host"));
    a.reset(new Agent(GetParam().clients[0], "a"));
    b.reset(new Agent(GetParam().clients[1], "b"));
    for (Agent *x : {host.get(), a.get(), b.get()}) {
        ASSERT_TRUE(x->alive());
        EXPECT_EQ(x->call("p2pInit").i("result"), 1);
        x->update(true);
    }
    secret = GetParam().secret;
    std::vector<agents::Arg> lobby{{"user", HostName}};
    if (!secret.empty()) lobby.push_back({"secret", secret});
    ASSERT_EQ(host->call("p2pCreateLobby", lobby).i("result"), 1);
    auto start = [](Agent &who, const std::string &name, const std::string &key,
                    const std::string &address = "127.0.0.1") {
        std::vector<agents::Arg> args{{"address", address}, {"user", name}, {"async", 1}};
        if (!key.empty()) args.push_back({"secret", key});
        Reply r = who.call("p2pConnect", args);
        EXPECT_EQ(r.i("result"), 1) << who.who() << ": " << r;
        EXPECT_FALSE(r.has("addr")) << r;
    };
    auto told = [](Agent &who, const std::string &reason) {
        expectEach({&who}, {{0, MsgError, reason}});
        expectEach({&who}, {});
        EXPECT_EQ(who.call("p2pConnect", {{"user", "again"}}).s("error"), "already connected");
        who.null("p2pDisconnect");
    };
    auto search = [&] {
        EXPECT_TRUE(host->poll("p2pIsSearching", 0));
        EXPECT_EQ(host->call("p2pSearchClient").i("result"), 1);
    };

    // Admitted: the lobby host's join notice first; what a sent meanwhile follows.
    search();
    start(*a, "a", secret);
    a->say(9, 1, "on my way");
    expectEach({a.get()}, {{1, MsgJoin, HostName}});
    expectEach({host.get()}, {{2, MsgJoin, "a"}, {2, 9, "on my way"}});
    // Refused: a cancelled search turns b away after its handshake.
    search();
    ASSERT_TRUE(host->poll("p2pIsSearching", 1));
    host->null("p2pCancelSearch");
    start(*b, "b", secret);
    told(*b, "refused");
    host->null("p2pUncancelSearch");
    start(*b, "b", secret, kit::UnresolvableName);
    told(*b, "getaddrinfo");
    // The wrong key. (A secret at an open lobby is told only at its deadline,
    // ten seconds: the raw peers show the outcome, the held clock the deadline.)
    search();
    if (!secret.empty()) {
        start(*b, "b", "not the secret");
        told(*b, "wrong secret");
        start(*b, "b", "");
        told(*b, "private lobby");
    }
    // Cancelled while connecting (in a private lobby, mostly while the
    // secret is stretched): nothing more arrives, and b is idle again.
    start(*b, "b", secret);
    EXPECT_EQ(b->null("p2pDisconnect"), 0);
    expectEach({b.get()}, {});
    EXPECT_EQ(b->call("p2pBuffer").i("res"), 0);
}

INSTANTIATE_TEST_SUITE_P(Arrangements, Scenario, ::testing::ValuesIn(arrangements()),
                         [](const ::testing::TestParamInfo<Arrangement> &i) {
                             return std::string(i.param.name);
                         });

} // namespace
