// Whole lobbies: the lobby host in the test process and three clients a, b, c
// (ids 2, 3, 4) in child processes, moving through phases in lockstep.
#include "agents/agent/flood.h"
#include "support/testkit.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <tuple>

using kit::Msg;
using Msgs = std::vector<Msg>;

using kit::room;
using kit::send;

namespace {

const int Wait = 15000;
const std::string Names[3] = {"a", "b", "c"};

Msgs sorted(Msgs v) {
    std::sort(v.begin(), v.end(), [](const Msg &x, const Msg &y) {
        return std::tie(x.usr, x.id, x.msg) < std::tie(y.usr, y.id, y.msg);
    });
    return v;
}

Msgs inbox; // gathered while pumping
bool pumpUntil(const std::function<bool()> &pred, int ms = Wait) {
    return kit::waitUntil(
        [&] {
            p2pUpdate(nullptr);
            for (auto &m : kit::drain()) inbox.push_back(m);
            return pred();
        },
        ms);
}

// The next n messages, sorted: their order across senders is open.
Msgs take(size_t n) {
    pumpUntil([&] { return inbox.size() >= n; });
    Msgs out;
    out.swap(inbox);
    return sorted(out);
}

// A phase boundary: each child reports `c` and pumps until the lobby host,
// having heard it from all, answers.
bool sync(kit::Channel &ch, char c) {
    ch.tellParent(c);
    return pumpUntil([&] { return ch.childWaits(c, 0); });
}

bool barrier(kit::Channel *ch, char c) {
    bool seen[3] = {false, false, false};
    bool all = pumpUntil([&] {
        for (int k = 0; k < 3; ++k) seen[k] = seen[k] || ch[k].parentWaits(c, 0);
        return seen[0] && seen[1] && seen[2];
    });
    for (int k = 0; k < 3; ++k) ch[k].tellChild(c);
    return all;
}

// The lobby host has answered p2pSearchClient before it signals: the first
// attempt must get through.
bool connectAs(const std::string &user, bool withAddress) {
    kit::Map m;
    if (withAddress) m.set("address", "127.0.0.1");
    p2pConnect(m.set("user", user));
    return m.i("result") == 1 && room() == LobbyQueueBytes;
}

// Opens the lobby, admits a, b and c (each in its own process), checks the
// join notices everywhere, then runs `member` in each child and `host` here.
void runLobby(const std::function<void(int, kit::Channel &)> &member,
              const std::function<void(kit::Channel *)> &host) {
    kit::Channel ch[3];
    pid_t pid[3];
    for (int k = 0; k < 3; ++k)
        pid[k] = kit::spawn([&, k] {
            p2pInit(nullptr);
            ASSERT_TRUE(ch[k].childWaits('c', Wait));
            ASSERT_TRUE(connectAs(Names[k], k != 2)); // c finds the lobby host without an address
            Msgs joins{{1, MsgJoin, "host"}};
            for (int j = 0; j < 3; ++j)
                if (j != k) joins.push_back({2 + j, MsgJoin, Names[j]});
            EXPECT_EQ(take(3), sorted(joins));
            ASSERT_TRUE(sync(ch[k], 'j'));
            member(k, ch[k]);
            p2pTerminate(nullptr);
        });
    kit::Map user;
    p2pInit(nullptr);
    p2pCreateLobby(user.set("user", "host"));
    [&] {
        for (int k = 0; k < 3; ++k) {
            kit::Map m;
            p2pSearchClient(m);
            ASSERT_EQ(m.i("result"), 1);
            ch[k].tellChild('c');
            ASSERT_TRUE(
                pumpUntil([&] { return kit::numClients() == k + 1 && !kit::isSearching(); }));
        }
        EXPECT_EQ(take(3), (Msgs{{2, MsgJoin, "a"}, {3, MsgJoin, "b"}, {4, MsgJoin, "c"}}));
        ASSERT_TRUE(barrier(ch, 'j'));
        host(ch);
    }();
    p2pTerminate(nullptr);
    for (pid_t p : pid) EXPECT_EQ(kit::waitChild(p, 60000), 0);
}

TEST(EndToEnd, MembersLeaveReturnAndAreKicked) {
    runLobby(
        [](int k, kit::Channel &ch) {
            if (k == 0) { // a leaves and comes back as a2 (id 5)
                p2pDisconnect(nullptr);
                EXPECT_EQ(room(), 0);
                ch.tellParent('l');
                ASSERT_TRUE(ch.childWaits('l', Wait));
                ASSERT_TRUE(connectAs("a2", true));
                EXPECT_EQ(take(3),
                          sorted({{1, MsgJoin, "host"}, {3, MsgJoin, "b"}, {4, MsgJoin, "c"}}));
            } else {
                EXPECT_EQ(take(2), sorted({{2, MsgLeave, "a"}, {5, MsgJoin, "a2"}}));
            }
            ASSERT_TRUE(sync(ch, 'k')); // the lobby host kicks b
            EXPECT_EQ(take(1), (Msgs{k == 1 ? Msg{0, MsgError, "error"} : Msg{3, MsgLeave, "b"}}));
            pumpUntil([] { return false; }, 200);
            EXPECT_EQ(inbox, Msgs{});
            ASSERT_TRUE(sync(ch, 'e'));
        },
        [](kit::Channel *ch) {
            ASSERT_TRUE(pumpUntil([&] { return ch[0].parentWaits('l', 0); }));
            EXPECT_EQ(take(1), (Msgs{{2, MsgLeave, "a"}}));
            kit::Map search, kick;
            p2pSearchClient(search);
            ch[0].tellChild('l');
            EXPECT_EQ(take(1), (Msgs{{5, MsgJoin, "a2"}}));
            ASSERT_TRUE(barrier(ch, 'k'));
            p2pKick(kick.set("id", 3));
            EXPECT_EQ(take(1), (Msgs{{3, MsgLeave, "b"}}));
            EXPECT_EQ(kit::numClients(), 2);
            ASSERT_TRUE(barrier(ch, 'e'));
        });
}

// 400 numbered messages as fast as p2pBuffer allows. Client s sends its
// even numbers to everybody and its odd ones to the next client; the lobby
// host sends all of its own to everybody. A last message tells how many.
// The texts are the agent's (agents/agent/flood.h).
const int FloodData = flood::DataId, FloodEnd = flood::EndId;
int nextClient(int s) { return s == 4 ? 2 : s + 1; }

void flood(int self) {
    std::map<int, std::vector<int>> got;
    std::map<int, int> ends;
    Msgs unexpected;
    auto classify = [&] {
        for (auto &m : inbox) {
            if (m.id == FloodData && m.msg == flood::text(m.usr, std::stoi(m.msg)))
                got[m.usr].push_back(std::stoi(m.msg));
            else if (m.id == FloodEnd)
                ends[m.usr] = std::stoi(m.msg);
            else
                unexpected.push_back(m); // a notice or a mangled text
        }
        inbox.clear();
    };
    auto fits = [&](size_t n) {
        for (int id : self == 1 ? std::vector<int>{2, 3, 4} : std::vector<int>{0})
            if (n + (id ? LobbyHostFrameOverhead : LobbyClientFrameOverhead) >= size_t(room(id)))
                return false;
        return true;
    };
    const int count = 400; // some 300 kB: the queues fill over and over
    int sent = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (sent < count && std::chrono::steady_clock::now() < end) {
        std::string text = flood::text(self, sent);
        if (!fits(text.size())) {
            pumpUntil([&] { return classify(), true; });
            continue;
        }
        send(FloodData, self == 1 || sent % 2 == 0 ? 255 : nextClient(self), text);
        ++sent;
    }
    ASSERT_EQ(sent, count);
    ASSERT_TRUE(pumpUntil([&] { return fits(8); }));
    send(FloodEnd, 255, std::to_string(sent));
    ASSERT_TRUE(pumpUntil([&] { return classify(), ends.size() == 3; }, 40000));
    EXPECT_EQ(unexpected, Msgs{});
    for (auto [s, n] : ends) {
        std::vector<int> want;
        for (int q = 0; q < n; ++q)
            if (s == 1 || q % 2 == 0 || nextClient(s) == self) want.push_back(q);
        EXPECT_TRUE(got[s] == want)
            << "from " << s << " at " << self << ": " << got[s].size() << " of " << want.size();
    }
}

TEST(EndToEnd, PacedFloodArrivesOnceAndInOrder) {
    runLobby(
        [](int k, kit::Channel &ch) {
            flood(2 + k);
            ASSERT_TRUE(sync(ch, 'q')); // pump on until everybody is through
        },
        [](kit::Channel *ch) {
            flood(1);
            ASSERT_TRUE(barrier(ch, 'q'));
            EXPECT_EQ(kit::numClients(), 3);
        });
}

} // namespace
