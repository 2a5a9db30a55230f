// Faults injected with real sockets and real processes, one whole scenario
// per test: members that die in the middle of a frame, reset or half-close;
// a flood of connections during a handshake and a port already taken;
// p2pDisconnect and p2pTerminate at every point of an admission; a lobby host
// killed under its members; a silent connection holding a search; a peer
// that vanishes without a word. Each scenario that holds adds a line to the
// summary file named by LL_SUMMARY.
#include "support/descriptors.h"
#include "support/testkit.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace kit;

void survived(const std::string &what) {
    if (::testing::Test::HasFailure()) return;
    if (const char *path = std::getenv("LL_SUMMARY"))
        if (FILE *f = std::fopen(path, "a")) {
            std::fprintf(f, "fault survived: %s\n", what.c_str());
            std::fclose(f);
        }
}

// The frames of a byte stream, each without its 0.
std::vector<std::string> frames(const std::string &stream) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < stream.size(); ++i)
        if (stream[i] == '\0') {
            out.push_back(stream.substr(start, i - start));
            start = i + 1;
        }
    return out;
}

size_t count(const std::vector<std::string> &all, const std::string &one) {
    size_t n = 0;
    for (const std::string &s : all) n += s == one;
    return n;
}

size_t count(const std::vector<Msg> &all, const Msg &one) {
    size_t n = 0;
    for (const Msg &m : all) n += m == one;
    return n;
}

std::string leave(int id, const std::string &name) {
    return bytes({id, MsgLeave, BroadcastId}) + name;
}

void resetClose(Peer &p) {
    linger l{1, 0};
    ::setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    p.close();
}

// Admits a raw client and returns its id, read from its join entry.
int admitId(Peer *out, const std::string &name) {
    *out = admitRaw(name);
    if (!out->ok()) return -1;
    for (const Msg &m : drain())
        if (m.id == MsgJoin && m.msg == name) return m.usr;
    return -1;
}

// A raw TCP connection to the lobby port, as a bare descriptor; -1 when refused.
int rawConnect() {
    Peer p = connectLobby();
    int fd = p.fd;
    p.fd = -1;
    return fd;
}

using Faults = LibTest;

TEST_F(Faults, MembersThatDieMidFrameResetOrHalfCloseLeaveOnceAndNothingPartialGoesOn) {
    // One member is a process of its own, killed in the middle of a frame.
    Channel ch;
    pid_t killed = spawn([&] {
        if (!ch.childWaits('g')) return;
        int fd = rawConnect();
        ::send(fd, "killed\0", 7, MSG_NOSIGNAL);
        if (!ch.childWaits('f')) return;
        ::send(fd, "\x07\xffpartial-fr", 12, MSG_NOSIGNAL);
        ch.tellParent('s');
        ::sleep(60);
    });
    createLobby("gold");
    Peer d, e, b, c;
    int dId = admitId(&d, "dee"), eId = admitId(&e, "eve");
    Map m;
    p2pSearchClient(m);
    ch.tellChild('g');
    ASSERT_TRUE(waitUntil([] { return numClients() == 3 && isSearching() == 0; }, 10000));
    int aId = 0;
    for (const Msg &j : drain())
        if (j.msg == "killed") aId = j.usr;
    int bId = admitId(&b, "reset"), cId = admitId(&c, "half");
    ASSERT_TRUE(dId > 0 && eId > 0 && aId > 0 && bId > 0 && cId > 0);
    std::string dSeen = d.recvQuiet(300), eSeen = e.recvQuiet(300); // join notices so far

    ch.tellChild('f');
    ASSERT_TRUE(ch.parentWaits('s'));
    updateFor(200);
    ::kill(killed, SIGKILL);
    EXPECT_EQ(waitChild(killed), 128 + SIGKILL);
    ASSERT_TRUE(b.send(frame({7, BroadcastId}, "whole") + bytes({7, BroadcastId}) + "part"));
    resetClose(b);
    ASSERT_TRUE(c.send(frame({8, BroadcastId}, "last words")));
    ::shutdown(c.fd, SHUT_WR);

    ASSERT_TRUE(updateUntil([] { return numClients() == 2; }, 10000));
    EXPECT_TRUE(c.waitClosed());
    updateFor(300);
    dSeen += d.recvQuiet(300);
    eSeen += e.recvQuiet(300);

    std::vector<Msg> inbox = drain();
    EXPECT_EQ(count(inbox, {aId, MsgLeave, "killed"}), 1u);
    EXPECT_EQ(count(inbox, {bId, MsgLeave, "reset"}), 1u);
    EXPECT_EQ(count(inbox, {cId, MsgLeave, "half"}), 1u);
    EXPECT_EQ(count(inbox, {cId, 8, "last words"}), 1u); // sent before the half-close
    EXPECT_LE(count(inbox, {bId, 7, "whole"}), 1u);      // a reset may overtake it
    for (const Msg &x : inbox) EXPECT_EQ(x.msg.find("part"), std::string::npos) << x;
    for (const std::string *seen : {&dSeen, &eSeen}) {
        std::vector<std::string> f = frames(*seen);
        EXPECT_EQ(count(f, leave(aId, "killed")), 1u);
        EXPECT_EQ(count(f, leave(bId, "reset")), 1u);
        EXPECT_EQ(count(f, leave(cId, "half")), 1u);
        EXPECT_EQ(count(f, bytes({cId, 8, BroadcastId}) + "last words"), 1u);
        EXPECT_LE(count(f, bytes({bId, 7, BroadcastId}) + "whole"), 1u);
        for (const std::string &x : f) EXPECT_EQ(x.find("part"), std::string::npos) << hex(x);
    }
    // The lobby goes on.
    ASSERT_TRUE(d.send(frame({9, BroadcastId}, "still here")));
    EXPECT_EQ(e.pumpRecv(14), frame({dId, 9, BroadcastId}, "still here"));
    Msg got;
    EXPECT_TRUE(updateUntilMsg(&got));
    EXPECT_EQ(got, (Msg{dId, 9, "still here"}));
    survived("members killed mid-frame, reset (SO_LINGER 0) and half-closed: one leave each, "
             "nothing partial relayed");
}

TEST_F(Faults, ATakenPortAndAFloodOfConnectionsDuringAHandshake) {
    createLobby("gold");
    const int baseline = openDescriptors();
    {
        Listener squat; // another program holds the port
        ASSERT_TRUE(squat.open());
        Map m;
        p2pSearchClient(m);
        EXPECT_EQ(m.i("result"), 0);
        EXPECT_EQ(m.s("error"), "bind");
        EXPECT_EQ(isSearching(), 0);
    }
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    Peer player = connectLobby();
    ASSERT_TRUE(player.send("pla"));
    std::vector<int> flood;
    for (int i = 0; i < 200; ++i) {
        int fd = rawConnect();
        ASSERT_GE(fd, 0);
        switch (i % 4) {
        case 0: ::close(fd); break;
        case 1:
            ::send(fd, "intruder\0\x07\xffhello\0", 17, MSG_NOSIGNAL);
            flood.push_back(fd);
            break;
        case 2: {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
            break;
        }
        default: flood.push_back(fd); break;
        }
    }
    ASSERT_TRUE(player.send(std::string("yer") + nul()));
    ASSERT_TRUE(updateUntil([] { return numClients() == 1 && isSearching() == 0; }, 10000));
    EXPECT_EQ(searchError(), SearchOk);
    std::vector<Msg> joins = drain();
    ASSERT_EQ(joins.size(), 1u);
    EXPECT_EQ(joins[0].msg, "player");
    EXPECT_EQ(clientName(joins[0].usr), "player");
    for (int fd : flood) {
        Peer p(fd);
        EXPECT_TRUE(p.waitClosed()); // turned away when the search ended
    }
    Peer second;
    EXPECT_GT(admitId(&second, "second"), 0);
    EXPECT_EQ(numClients(), 2);
    updateFor(100);
    EXPECT_TRUE(drain().empty());
    p2pDisconnect(nullptr);
    player.close();
    second.close();
    EXPECT_EQ(openDescriptors(), baseline);
    survived("lobby port already taken; 200 connection attempts during a handshake: one admitted, "
             "none leaked");
}

TEST_F(Faults, DisconnectAndTerminateAtEveryPointOfAnAdmission) {
    enum Point { Searching, Accepted, PartName, InPause, Admitted, Points };
    const int baseline = openDescriptors();
    for (bool terminate : {false, true}) {
        for (int point = Searching; point < Points; ++point) {
            SCOPED_TRACE((terminate ? "terminate at point " : "disconnect at point ") + std::to_string(point));
            createLobby("gold");
            Map m;
            p2pSearchClient(m);
            ASSERT_EQ(m.i("result"), 1);
            Peer p;
            if (point >= Accepted) p = connectLobby();
            if (point >= PartName) p.send("new");
            if (point >= InPause) p.send(std::string("comer") + nul());
            if (point == Admitted) ASSERT_TRUE(updateUntil([] { return numClients() == 1; }));
            if (point >= Accepted) updateFor(30);
            if (terminate) {
                EXPECT_EQ(p2pTerminate(nullptr), 0);
                EXPECT_EQ(isSearching(), 0);
                EXPECT_EQ(numClients(), 0);
                p2pInit(nullptr);
            }
            p2pDisconnect(nullptr);
            EXPECT_EQ(isSearching(), 0);
            EXPECT_EQ(numClients(), 0);
            EXPECT_TRUE(drain().empty());
            if (p.ok()) EXPECT_TRUE(p.waitClosed());
            {
                Listener port; // the port is free at once
                EXPECT_TRUE(port.open());
            }
            p.close();
            EXPECT_EQ(openDescriptors(), baseline);
        }
    }
    createLobby("gold");
    Peer after;
    EXPECT_GT(admitId(&after, "after"), 0);
    survived("p2pDisconnect and p2pTerminate at each of 5 points of an admission: nothing outlives them");
}

TEST_F(Faults, ALobbyHostKilledUnderItsMembersGivesEachOneLossNotice) {
    // Every participant is a process of its own; this one only watches.
    p2pTerminate(nullptr);
    const int members = 3;
    Channel host;
    pid_t hostPid = spawn([&] {
        Map m;
        p2pInit(m);
        p2pCreateLobby(m.set("user", "gold"));
        while (numClients() < members) {
            if (!isSearching()) p2pSearchClient(nullptr);
            updateFor(5);
        }
        host.tellParent('r');
        for (;;) updateFor(100);
    });
    std::vector<pid_t> clients;
    for (int i = 0; i < members; ++i)
        clients.push_back(spawn([i] {
            p2pInit(nullptr);
            // Admitted once the lobby host's join notice arrives; a connection
            // that only queued behind another admission is turned away.
            bool admitted = waitUntil([&] {
                Map m;
                p2pConnect(m.set("user", "c" + std::to_string(i)));
                Msg first;
                if (m.i("result") == 1 && updateUntilMsg(&first, 3000) &&
                    first == Msg{HostId, MsgJoin, "gold"})
                    return true;
                p2pDisconnect(nullptr);
                ::usleep(50000);
                return false;
            }, 30000);
            ASSERT_TRUE(admitted);
            // Notices until the loss, then a second to catch a second one.
            int losses = 0, others = 0;
            Msg x;
            ASSERT_TRUE(updateUntil([&] {
                while (recv(&x)) {
                    losses += x == Msg{0, MsgError, "error"};
                    others += x.id == MsgError && !(x == Msg{0, MsgError, "error"});
                }
                return losses > 0;
            }, 30000));
            updateFor(1000);
            while (recv(&x)) losses += x == Msg{0, MsgError, "error"};
            EXPECT_EQ(losses, 1);
            EXPECT_EQ(others, 0);
            p2pTerminate(nullptr);
        }));
    ASSERT_TRUE(host.parentWaits('r', 30000));
    ::usleep(200000);
    ::kill(hostPid, SIGKILL);
    EXPECT_EQ(waitChild(hostPid), 128 + SIGKILL);
    for (pid_t c : clients) EXPECT_EQ(waitChild(c, 40000), 0);
    p2pInit(nullptr);
    survived("lobby host killed under 3 members: each got exactly one loss notice");
}

// ---- Behaviour of the lobby mends: a silent connection is given up after
// 10 s, and a vanished peer is noticed by TCP keep-alive. ----

TEST_F(Faults, SilentConnectionIsGivenUpAndTheNextSearchAdmitsThePlayer) {
    createLobby("gold");
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    ASSERT_TRUE(waitUntil([] { return isSearching() == 1; })); // raised by the admission thread
    Peer silent = connectLobby();
    ASSERT_TRUE(silent.ok());
    // A real player tries meanwhile; its connection waits behind the silent one.
    Peer player = connectLobby();
    ASSERT_TRUE(player.send(std::string("player") + nul()));
    ASSERT_TRUE(updateUntil([] { return isSearching() == 0; }, 20000))
        << "the silent connection still holds the search";
    EXPECT_EQ(searchError(), SearchHandshakeLost);
    EXPECT_EQ(numClients(), 0);
    EXPECT_TRUE(silent.waitClosed());
    // The player tries again and the next search admits it.
    Peer again;
    EXPECT_GT(admitId(&again, "player"), 0);
    survived("a silent connection holding a search: given up, the next search admitted the player");
}

namespace {
// Runs a shell command; true when it succeeded.
bool sh(const std::string &cmd) { return std::system(cmd.c_str()) == 0; }
} // namespace

TEST_F(Faults, AVanishedPeerIsNoticedAtBothEnds) {
    // Two network namespaces joined by a veth pair, addressed inside the
    // loopback range: the lobby host here (127.31.0.1), the client in a child
    // namespace (127.31.0.2). Taking the client's side down drops every packet
    // from then on: no FIN, no reset.
    char own[64] = {}, parent[64] = {};
    std::string parentNs = "/proc/" + std::to_string(::getppid()) + "/ns/net";
    if (::readlink("/proc/self/ns/net", own, sizeof own - 1) < 0 ||
        ::readlink(parentNs.c_str(), parent, sizeof parent - 1) < 0 || std::strcmp(own, parent) == 0)
        GTEST_SKIP() << "needs a network namespace of its own";
    if (!sh("ip link add llva type veth peer name llvb 2>/dev/null"))
        GTEST_SKIP() << "no veth pairs here";
    p2pTerminate(nullptr);
    Channel ch;
    pid_t client = spawn([&] {
        if (::unshare(CLONE_NEWNET) != 0) return;
        ch.tellParent('n');
        if (!ch.childWaits('u', 20000)) return;
        p2pInit(nullptr);
        Map m;
        p2pConnect(m.set("address", std::string("127.31.0.1")).set("user", std::string("far")));
        ASSERT_EQ(m.i("result"), 1);
        ch.tellParent('c');
        Msg x;
        ASSERT_TRUE(updateUntil([&] { return recv(&x) && x == Msg{0, MsgError, "error"}; }, 110000))
            << "the vanished lobby host was never noticed";
        p2pTerminate(nullptr);
    });
    ASSERT_TRUE(ch.parentWaits('n'));
    std::string ns = "nsenter -t " + std::to_string(client) + " -n ";
    // 127/8 is local only on lo: keep 127.0.0.1 there and route the rest.
    const char *local = "ip route del local 127.0.0.0/8 dev lo table local && "
                        "echo 1 > /proc/sys/net/ipv4/conf/all/route_localnet";
    ASSERT_TRUE(sh(std::string(local) + " && ip link set llvb netns " + std::to_string(client) +
                   " && ip addr add 127.31.0.1/30 dev llva && ip link set llva up"));
    ASSERT_TRUE(sh(ns + "sh -c 'ip link set lo up && " + local +
                   " && ip addr add 127.31.0.2/30 dev llvb && ip link set llvb up'"));
    p2pInit(nullptr);
    createLobby("gold");
    Map m;
    p2pSearchClient(m);
    ch.tellChild('u');
    ASSERT_TRUE(ch.parentWaits('c', 20000));
    ASSERT_TRUE(updateUntil([] { return numClients() == 1; }));
    drain();
    ASSERT_TRUE(sh(ns + "ip link set llvb down"));
    Msg x;
    EXPECT_TRUE(updateUntil([&] { return recv(&x) && x.id == MsgLeave && x.msg == "far"; }, 110000))
        << "the vanished member was never noticed";
    EXPECT_EQ(waitChild(client, 120000), 0);
    survived("a vanished peer (packets dropped on a veth link): noticed at both ends");
}

} // namespace
