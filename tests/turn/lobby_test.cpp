// A lobby whose host sits behind a NAT with no inbound path, hosted through
// coturn (turn.sh): the lobby host is an agent (tests/agents) of each build,
// the Windows one under Wine, and its players are Linux agents on "the
// Internet" and behind a second NAT, who join the relayed address with a
// plain p2pConnect. Whole conversations, open and private, and the ways a
// relay is refused, missing, released and lost.
#include "agents/agentkit.h"
#include "turnnet.h"

#include <algorithm>
#include <memory>

namespace {

using agents::Agent;
using agents::Build;
using agents::Reply;
using kit::Msg;
using Msgs = std::vector<Msg>;

// Each agent's next entries are `want` and nothing more.
void expectEach(std::initializer_list<Agent *> who, const Msgs &want) {
    for (Agent *a : who) EXPECT_EQ(a->take(static_cast<int>(want.size()), 20000), want) << a->who();
}

std::string textOf(size_t n, int seed) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(1 + (seed + i) % 255);
    return s;
}

class Relayed : public ::testing::TestWithParam<Build> {
  protected:
    Net net;
    std::string user, password;
    std::unique_ptr<Agent> host;

    void SetUp() override {
        ASSERT_TRUE(net.up());
        restCredentials(Secret, &user, &password);
        host = agent("host", GetParam(), "host");
        ASSERT_TRUE(host);
    }
    std::unique_ptr<Agent> agent(const char *side, Build build, const std::string &who) {
        std::unique_ptr<Agent> a = agents::agentIn(net.ns(side), build, who);
        if (!a || !a->alive()) return nullptr;
        EXPECT_EQ(a->call("p2pInit").i("result"), 1);
        a->update(true);
        return a;
    }
    // Opens the lobby through `server` with `more` arguments; the reply.
    Reply create(const std::string &server, std::vector<agents::Arg> more = {}) {
        more.insert(more.end(), {{"user", "host"}, {"relay", server}, {"relayUser", user}});
        if (!password.empty()) more.push_back({"relayPassword", password});
        return host->call("p2pCreateLobby", more);
    }
    // The relay's one outcome at the lobby host.
    std::string outcome() {
        Msgs got = host->take(1, 20000);
        return got.size() == 1 && got[0].usr == 0 && got[0].id == MsgRelay ? got[0].msg : "<none>";
    }
    // One admission through the relay at `address`; the members after it.
    void join(Agent &player, const std::string &address, const std::string &secret, int members,
              bool search = true) {
        if (search) {
            EXPECT_EQ(host->call("p2pSearchClient").i("result"), 1);
        }
        std::vector<agents::Arg> args{{"address", address}, {"user", player.who()}};
        if (!secret.empty()) args.push_back({"secret", secret});
        Reply r = player.call("p2pConnect", args, 40000);
        EXPECT_EQ(r.i("result"), 1) << player.who() << ": " << r;
        EXPECT_TRUE(host->poll("p2pNumClients", members, 20000)) << player.who();
    }
    static int port(const std::string &address) {
        std::string prefix = std::string(Server) + ":";
        return address.compare(0, prefix.size(), prefix) == 0 ? std::atoi(&address[prefix.size()])
                                                              : 0;
    }
};

// The open lobby: players from the Internet and from behind the second NAT
// join the relayed address and talk every way, with the longest host text;
// p2pDisconnect ends their connections and releases the relayed port. The
// private lobby on a new relay: a wrong secret is refused, the right one
// joins from both sides, the members talk, and coturn killed gives "lost"
// and every member's leave and loss notices.
TEST_P(Relayed, OpenAndPrivateLobbiesThroughTheRelay) {
    std::unique_ptr<Agent> out = agent("peer", Build::Linux, "out"),
                           behind = agent("behind", Build::Linux, "behind");
    ASSERT_TRUE(out && behind);
    Agent &H = *host, &A = *out, &B = *behind;
    const std::string a = A.who(), b = B.who(); // their names
    ASSERT_EQ(create(Server, {{"announce", 1}}).i("result"), 1);
    std::string relayed = outcome();
    ASSERT_NE(port(relayed), 0) << relayed;
    join(A, relayed, "", 1);
    join(B, relayed, "", 2);
    expectEach({&H}, {{2, MsgJoin, a}, {3, MsgJoin, b}});
    expectEach({&A}, {{1, MsgJoin, "host"}, {3, MsgJoin, b}});
    expectEach({&B}, {{1, MsgJoin, "host"}, {2, MsgJoin, a}});
    // A client of any version joins too: the open wire is its name and a 0.
    EXPECT_EQ(H.call("p2pSearchClient").i("result"), 1);
    int old = net.player("behind", port(relayed));
    EXPECT_EQ(::send(old, "old", 4, MSG_NOSIGNAL), 4);
    EXPECT_TRUE(H.poll("p2pNumClients", 3, 20000));
    ::close(old);
    expectEach({&H, &A, &B}, {{4, MsgJoin, "old"}, {4, MsgLeave, "old"}});
    const std::string t1 = textOf(300, 1), t2 = textOf(17, 2),
                      longest = textOf(kit::LongestHostText, 3);
    A.say(10, 255, t1);
    expectEach({&H, &B}, {{2, 10, t1}});
    B.say(11, 2, t2);
    expectEach({&A}, {{3, 11, t2}});
    H.say(12, 255, longest);
    expectEach({&A, &B}, {{1, 12, longest}});
    H.call("p2pDisconnect");
    expectEach({&A, &B}, {{0, MsgError, "error"}});
    EXPECT_EQ(net.player("peer", port(relayed)), -ECONNREFUSED);
    for (Agent *p : {&A, &B}) p->call("p2pDisconnect");

    const std::string secret = "q7R-pX2m-Kd9w";
    ASSERT_EQ(create(Server, {{"secret", secret}}).i("result"), 1);
    relayed = outcome();
    ASSERT_NE(port(relayed), 0) << relayed;
    EXPECT_EQ(H.call("p2pSearchClient").i("result"), 1); // a stranger does not end it
    Reply wrong =
        A.call("p2pConnect", {{"address", relayed}, {"user", a}, {"secret", "guess"}}, 40000);
    EXPECT_EQ(wrong.s("error"), "wrong secret") << wrong;
    EXPECT_EQ(H.call("p2pNumClients").i("result"), 0);
    A.call("p2pDisconnect");
    join(A, relayed, secret, 1, false);
    join(B, relayed, secret, 2);
    expectEach({&H}, {{2, MsgJoin, a}, {3, MsgJoin, b}});
    expectEach({&A}, {{1, MsgJoin, "host"}, {3, MsgJoin, b}});
    expectEach({&B}, {{1, MsgJoin, "host"}, {2, MsgJoin, a}});
    B.say(13, 255, t1);
    expectEach({&H, &A}, {{3, 13, t1}});
    H.say(14, 2, longest);
    expectEach({&A}, {{1, 14, longest}});

    net.script("kill");
    Msgs lost = H.take(3, 20000);
    EXPECT_EQ(lost.size(), 3u);
    for (const Msg &want : Msgs{{0, MsgRelay, "lost"}, {2, MsgLeave, a}, {3, MsgLeave, b}})
        EXPECT_NE(std::find(lost.begin(), lost.end(), want), lost.end())
            << want << " in " << ::testing::PrintToString(lost);
    expectEach({&A, &B}, {{0, MsgError, "error"}});
}

// Arguments refused with nothing changed; bad credentials give "refused",
// a server that is not there "no relay"; both leave the lobby working.
TEST_P(Relayed, RefusedAndNoRelay) {
    Reply bad = create("[::1");
    EXPECT_EQ(bad.s("error"), "bad relay") << bad;
    std::string keep = user;
    user = std::string(513, 'u');
    EXPECT_EQ(create(Server).s("error"), "relay user too long");
    user = keep;
    password = "not the password";
    ASSERT_EQ(create(Server).i("result"), 1);
    EXPECT_EQ(outcome(), "refused");
    EXPECT_EQ(host->call("p2pSearchClient").i("result"), 1);
    host->call("p2pDisconnect");
    ASSERT_EQ(create(std::string(Server) + ":3480").i("result"), 1);
    EXPECT_EQ(outcome(), "no relay");
}

INSTANTIATE_TEST_SUITE_P(Hosts, Relayed, ::testing::ValuesIn(agents::builds()),
                         agents::BuildName());

} // namespace
