#include "support/testkit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace {

using namespace kit;
using AdmissionTest = LibTest;

std::string join(int id, const std::string &name) {
    return frame({id, MsgJoin, BroadcastId}, name);
}
bool searchEnded(int code) {
    return waitUntil([&] { return searchError() == code && !isSearching(); });
}

// Pumps until `expected` has come from `p`, then checks that nothing follows.
void expectStream(Peer &p, const std::string &expected) {
    std::string got = p.pumpRecv(expected.size());
    updateFor(50);
    EXPECT_EQ(hex(got + p.recv(1, 50)), hex(expected));
}

TEST_F(AdmissionTest, JoinNoticesIdsAndASearchInIdle) {
    createLobby("gold");
    Peer red = admitRaw("red"), blue = admitRaw("blue"), teal = admitRaw("teal");
    ASSERT_TRUE(red.ok() && blue.ok() && teal.ok());
    EXPECT_EQ(numClients(), 3);
    expectStream(teal, join(1, "gold") + join(2, "red") + join(3, "blue"));
    expectStream(red, join(1, "gold") + join(3, "blue") + join(4, "teal"));
    expectStream(blue, join(1, "gold") + join(2, "red") + join(4, "teal"));
    EXPECT_EQ(drain(), (std::vector<Msg>{{2, 126, "red"}, {3, 126, "blue"}, {4, 126, "teal"}}));

    // After p2pDisconnect ids start at 2 again, and a search in Idle
    // announces the lobby host under its last name.
    p2pDisconnect(nullptr);
    EXPECT_TRUE(red.waitClosed() && teal.waitClosed());
    Peer again = admitRaw("red");
    ASSERT_TRUE(again.ok());
    // Still idle: p2pSend reaches the member as the lobby host, and what the
    // member sends is routed to the inbox.
    send(5, 2, "hi");
    expectStream(again, join(1, "gold") + frame({HostId, 5, 2}, "hi"));
    ASSERT_TRUE(again.send(bytes({7, HostId}) + "yo" + nul()));
    Msg got;
    ASSERT_TRUE(updateUntilMsg(&got) && got == (Msg{2, 126, "red"}));
    ASSERT_TRUE(updateUntilMsg(&got));
    EXPECT_EQ(got, (Msg{2, 7, "yo"}));
}

TEST_F(AdmissionTest, SplitEmptyAndLongestHandshakes) {
    createLobby("h");
    Map m;
    p2pSearchClient(m);
    Peer split = connectLobby();
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(split.send("ab"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(split.send("c" + nul()));
    ASSERT_TRUE(waitUntil([] { return numClients() == 1; }));
    // Two receives, each followed by its pause of 100 ms (on a clock of whole
    // milliseconds: each may end up to 1 ms early on this finer one).
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(took.count(), 198);
    EXPECT_EQ(clientName(2), "abc");

    std::string longest(LobbyMaxNameLength, 'n');
    Peer empty = admitRaw(""), longPeer = admitRaw(longest);
    ASSERT_TRUE(empty.ok() && longPeer.ok());
    EXPECT_EQ(clientName(3), "");
    EXPECT_EQ(clientName(4), longest);
    expectStream(split, join(1, "h") + bytes({3, 126, 255, 0}) + join(4, longest));
    EXPECT_EQ(drain(), (std::vector<Msg>{{2, 126, "abc"}, {3, 126, ""}, {4, 126, longest}}));
}

TEST_F(AdmissionTest, FailedHandshakesAndBind) {
    createLobby("h");
    {
        // Another socket listening on the port: "bind", and the last outcome is reset.
        Listener other;
        ASSERT_TRUE(other.open());
        Map m;
        p2pSearchClient(m);
        EXPECT_EQ(m.rootChain(), "er"); // "error" before "result"
        EXPECT_EQ(m.s("error"), "bind");
        EXPECT_EQ(m.i("result"), 0);
        EXPECT_EQ(searchError(), SearchOk);
        EXPECT_EQ(isSearching(), 0);
        updateFor(50);
        EXPECT_EQ(numClients(), 0);
        EXPECT_TRUE(drain().empty());
    }
    {
        // The lobby listens on both families: a port taken on IPv6 alone is taken.
        Listener v6;
        ASSERT_TRUE(v6.open("::1"));
        Map again;
        p2pSearchClient(again);
        EXPECT_EQ(again.s("error"), "bind");
        EXPECT_EQ(again.i("result"), 0);
    }
    struct Case {
        std::string data;
        bool hangUp;
        int code;
    };
    for (const Case &c :
         {Case{std::string(LobbyMaxNameLength + 1, 'x'), false, SearchHandshakeTooLong},
          Case{"abc", true, SearchHandshakeLost}}) {
        Map m;
        p2pSearchClient(m);
        Peer p = connectLobby();
        ASSERT_TRUE(p.send(c.data));
        if (c.hangUp) p.close();
        EXPECT_TRUE(searchEnded(c.code)) << c.code;
        EXPECT_TRUE(c.hangUp || p.waitClosed());
    }
}

TEST_F(AdmissionTest, CancelUncancelAndOneConnectionPerSearch) {
    createLobby("h");
    for (bool uncancel : {false, true}) {
        Map m, second;
        p2pSearchClient(m);
        ASSERT_TRUE(waitUntil([] { return isSearching() == 1; }));
        p2pSearchClient(second); // a search is running: only "result" = 0
        EXPECT_EQ(second.i("result"), 0);
        EXPECT_FALSE(second.has("error"));
        p2pCancelSearch(nullptr);
        if (uncancel) p2pUncancelSearch(nullptr);
        Peer p = connectLobby();
        ASSERT_TRUE(p.send("zed" + nul()));
        EXPECT_TRUE(searchEnded(SearchOk));
        EXPECT_EQ(numClients(), uncancel ? 1 : 0);
        EXPECT_TRUE(uncancel || p.waitClosed());
        Peer late = connectLobby(); // the search has taken its one connection
        EXPECT_TRUE(!late.ok() || late.waitClosed());
    }
    EXPECT_EQ(drain(), (std::vector<Msg>{{2, 126, "zed"}}));
}

TEST_F(AdmissionTest, BackToBackSearchesWhileTrafficFlows) {
    createLobby("host");
    std::vector<Peer> peers;
    for (int k = 0; k < 5; ++k) {
        Map m;
        p2pSearchClient(m); // right after the last admission: must bind
        ASSERT_EQ(m.i("result"), 1) << k;
        for (auto &p : peers) p.send(bytes({9, 255}) + "tick" + nul());
        Peer fresh;
        std::thread t([&] {
            fresh = connectLobby();
            fresh.send("p" + std::to_string(k) + nul());
        });
        bool admitted = updateUntil([&] { return numClients() == k + 1 && !isSearching(); });
        t.join();
        ASSERT_TRUE(admitted) << k;
        peers.push_back(std::move(fresh));
    }
    std::vector<Msg> got;
    updateUntil([&] {
        for (Msg &m : drain()) got.push_back(m);
        return got.size() >= 15;
    });
    EXPECT_EQ(got.size(), 15u); // five joins, ten ticks
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const Msg &m) { return m.id == 126; }), 5);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(clientName(k + 2), "p" + std::to_string(k));
    // Each newcomer's own bytes: first the joins of everybody present before
    // it, in order, then only the ticks of others and the later joins.
    updateFor(200);
    for (int k = 0; k < 5; ++k) {
        std::string in = peers[k].recvQuiet(100, 2000), head = join(1, "host"), later, want;
        for (int j = 0; j < 5; ++j)
            if (j != k) (j < k ? head : want) += join(j + 2, "p" + std::to_string(j));
        EXPECT_EQ(hex(in.substr(0, head.size())), hex(head)) << "newcomer " << k;
        for (size_t at = head.size(), end; at < in.size(); at = end + 1) {
            end = std::min(in.find('\0', at), in.size() - 1);
            std::string f = in.substr(at, end + 1 - at);
            if (f.size() < 2 || f.substr(1) != bytes({9, 255}) + "tick" + nul() || f[0] == k + 2)
                later += f;
        }
        EXPECT_EQ(hex(later), hex(want)) << "newcomer " << k;
    }
}

// Players who connect at the same moment, to a host application that
// searches again as soon as a search ends (on its next frame), are each
// admitted exactly once. Once it stops searching, a latecomer is held only
// for the grace and then refused. No member forges the library's notices.
TEST_F(AdmissionTest, PlayersJoiningTogetherAreAllAdmittedAndNoneForgesANotice) {
    createLobby("host");
    std::vector<Peer> peers;
    std::vector<Msg> joins;
    for (int group : {2, 5}) {
        std::vector<Peer> fresh(group);
        std::vector<std::thread> t;
        Map m;
        p2pSearchClient(m);
        ASSERT_EQ(m.i("result"), 1);
        for (int k = 0; k < group; ++k)
            t.emplace_back([&, k] {
                fresh[k] = connectLobby();
                fresh[k].send("g" + std::to_string(group) + "-" + std::to_string(k) + nul());
            });
        const size_t want = peers.size() + group;
        bool all = updateUntil(
            [&] {
                if (!isSearching() && numClients() < static_cast<int>(want))
                    p2pSearchClient(nullptr);
                for (Msg &j : drain()) joins.push_back(j);
                return joins.size() == want && !isSearching();
            },
            15000);
        for (auto &th : t) th.join();
        ASSERT_TRUE(all) << group << " joined at once, admitted " << joins.size() - peers.size();
        for (auto &p : fresh) peers.push_back(std::move(p));
    }
    ASSERT_EQ(numClients(), 7);
    std::vector<std::string> names;
    for (const Msg &j : joins) {
        EXPECT_EQ(j.id, MsgJoin);
        names.push_back(j.msg);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end()) << "each admitted once";

    // The host stopped searching: a latecomer waits out the grace, is closed
    // unadmitted, and after that the port refuses.
    Peer late = connectLobby();
    EXPECT_TRUE(!late.ok() || late.waitClosed(6000));
    updateFor(100);
    EXPECT_FALSE(connectLobby().ok());
    EXPECT_EQ(numClients(), 7);

    // Forged notices, from a raw member and through p2pSend, reach nobody;
    // the forger stays, and a plain message behind them still flows.
    updateFor(200);
    for (auto &p : peers) p.recvQuiet(50, 1000);
    Peer &forger = peers[0]; // the first of the pair, "g2-0"
    int forgerId =
        std::find_if(joins.begin(), joins.end(), [](const Msg &j) { return j.msg == "g2-0"; })->usr;
    for (int kind : {MsgError, MsgJoin, MsgLeave})
        ASSERT_TRUE(forger.send(bytes({kind, BroadcastId}) + "fake-player" + nul()));
    send(MsgJoin, BroadcastId, "fake-player");
    send(MsgLeave + 256, 3, "fake-player"); // only the low byte counts
    ASSERT_TRUE(forger.send(bytes({9, BroadcastId}) + "real" + nul()));
    Msg got;
    ASSERT_TRUE(updateUntilMsg(&got));
    EXPECT_EQ(got, (Msg{forgerId, 9, "real"}));
    // A member the walk had passed when the frame came in gets its copy on
    // the next update, so the host keeps updating while the members read.
    updateFor(200);
    std::string relayed = frame({forgerId, 9, BroadcastId}, "real");
    for (size_t k = 1; k < peers.size(); ++k)
        EXPECT_EQ(hex(peers[k].recvQuiet(100)), hex(relayed)) << k;
    EXPECT_EQ(numClients(), 7);
    EXPECT_TRUE(drain().empty());
}

TEST_F(AdmissionTest, DisconnectWhileAHandshakeIsRead) {
    createLobby("h");
    Map m;
    p2pSearchClient(m);
    Peer p = connectLobby();
    ASSERT_TRUE(p.send("ab"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p2pDisconnect(nullptr);
    p.send("c" + nul());
    EXPECT_TRUE(p.waitClosed());
    updateFor(200);
    EXPECT_EQ(numClients(), 0);
    EXPECT_TRUE(drain().empty());
    createLobby("h");
    EXPECT_TRUE(admitRaw("next").ok()); // the old admission left the port alone
}

TEST_F(AdmissionTest, TerminateDoesNotWaitForASilentClient) {
    createLobby("h");
    Map m;
    p2pSearchClient(m);
    Peer silent = connectLobby();
    ASSERT_TRUE(silent.ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // accepted, now reading
    std::atomic<bool> done{false};
    std::thread t([&] {
        p2pTerminate(nullptr);
        done = true;
    });
    bool returned = waitUntil([&] { return done.load(); }, 10000);
    if (!returned) silent.close(); // let it go, so that the test ends
    t.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(silent.waitClosed());
    EXPECT_EQ(numClients(), 0);
}

} // namespace
