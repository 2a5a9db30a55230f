// Strangers, vanished players, broken networks and child processes: a
// silent connection must not hold the lobby's door shut, a deaf address or a
// black-holed address family must not freeze the host application, a
// machine without IPv6 still hosts, last words arrive before an orderly end,
// every lobby connection is kept alive, and no socket leaks into a child
// process.
#include "common/blackhole.h"
#include "net/base/limits.h"
#include "support/descriptors.h"
#include "support/testkit.h"

#include "net/base/clock.h"
#include "net/base/limits.h"
#include "net/outside/stun.h"
#include "net/secure/noise.h"
#include "support/descriptors.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <poll.h>
#include <thread>
#include <cstdlib>

extern char **environ;

namespace {

using namespace kit;
using Clock = std::chrono::steady_clock;

struct Robustness : LibTest {};

TEST_F(Robustness, SilentConnectionIsGivenUpAfterTheHandshakeDeadline) {
    createLobby("gold");
    // The lobby host's clock stands still and moves only when the test says.
    ll::clockHold();
    struct Release {
        ~Release() { ll::clockRelease(); }
    } release;
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    ASSERT_TRUE(waitUntil([] { return isSearching() == 1; }));
    int open = openDescriptors();
    Peer silent = connectLobby();
    ASSERT_TRUE(silent.ok());
    // Accepted (the lobby host holds its end too), and its deadline set.
    ASSERT_TRUE(waitUntil([&] { return openDescriptors() == open + 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ll::clockAdvance(ll::HandshakeDeadlineMs - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(isSearching(), 1) << "given up before its deadline";
    ll::clockAdvance(1);
    ASSERT_TRUE(waitUntil([] { return isSearching() == 0; }, 5000));
    EXPECT_EQ(searchError(), SearchHandshakeLost);
    EXPECT_TRUE(silent.waitClosed());
    // The door is open again: the next player is admitted (its handshake
    // paces on the running clock).
    ll::clockRelease();
    Peer player = admitRaw("late");
    ASSERT_TRUE(player.ok());
    EXPECT_EQ(clientName(2), "late");
}

// A search runs from the moment p2pSearchClient answers 1: a host polling
// at once sees it, and a cancel made at once turns the newcomer away.
TEST_F(Robustness, SearchRunsFromItsAnswer) {
    createLobby("gold");
    for (int round = 0; round < 20; ++round) {
        Map m;
        p2pSearchClient(m);
        ASSERT_EQ(m.i("result"), 1);
        EXPECT_EQ(isSearching(), 1);
        p2pCancelSearch(nullptr);
        Peer p = connectLobby();
        ASSERT_TRUE(p.send("x" + nul()));
        EXPECT_TRUE(p.waitClosed());
        ASSERT_TRUE(waitUntil([] { return isSearching() == 0; }));
        EXPECT_EQ(numClients(), 0);
    }
}

// A client that sends its first frames in the same write as its name: they
// are its first messages, not part of the handshake.
TEST_F(Robustness, FramesSentWithTheHandshakeAreKept) {
    createLobby("gold");
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    Peer eager = connectLobby();
    ASSERT_TRUE(
        eager.send("eager" + nul() + frame({7, HostId}, "first") + frame({8, HostId}, "next")));
    ASSERT_TRUE(waitUntil([] { return numClients() == 1; }));
    Msg got;
    std::vector<Msg> all;
    while (all.size() < 3 && updateUntilMsg(&got)) all.push_back(got);
    EXPECT_EQ(all, (std::vector<Msg>{{2, MsgJoin, "eager"}, {2, 7, "first"}, {2, 8, "next"}}));
}

// A lobby host whose accept queue is full drops connection attempts
// silently, as a machine behind a dropping firewall does. The client gives
// up at its deadline, here stepped over on its held clock.
TEST_F(Robustness, ConnectGivesUpOnADeafAddress) {
    tools::BlackHole deaf;
    ASSERT_TRUE(deaf.open());
    Channel ch;
    pid_t child = spawn([&] {
        ll::clockHold();
        std::atomic<int> stage{0}; // 1 once the deadline is about to be reached
        std::thread tick([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ll::clockAdvance(ll::ConnectTimeoutMs - 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stage = 1;
            ll::clockAdvance(1);
        });
        Map c;
        p2pConnect(c.set("address", "127.0.0.1").set("user", "late"));
        bool atDeadline = stage.load() == 1;
        tick.join();
        bool gaveUp = c.i("result") == 0 && c.s("error") == "couldn't connect";
        ch.tellParent(atDeadline && gaveUp ? 'y' : 'n');
    });
    EXPECT_TRUE(ch.parentWaits('y', 40000));
    EXPECT_EQ(waitChild(child, 5000), 0);
}

// A client with a secret that reaches an open lobby host hears no greeting:
// "not a private lobby" at its deadline, here stepped over on the client's
// held clock. The open lobby host admits nothing.
TEST_F(Robustness, ASecretAgainstAnOpenLobbyIsToldAtTheDeadline) {
    Channel ch;
    pid_t child = spawn([&] {
        ASSERT_TRUE(ch.childWaits('s'));
        ll::clockHold();
        std::atomic<int> stage{0}; // 2 once the deadline is about to be reached
        std::thread tick([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ll::clockAdvance(ll::PrivateJoinDeadlineMs - 1);
            stage = 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            stage = 2;
            ll::clockAdvance(1);
        });
        Map c;
        p2pConnect(c.set("address", "127.0.0.1").set("user", "ann").set("secret", "q7R-pX2m-Kd9w"));
        EXPECT_EQ(stage.load(), 2) << "it gave up before its deadline";
        tick.join();
        EXPECT_EQ(c.i("result"), 0);
        EXPECT_EQ(c.s("error"), "not a private lobby");
    });
    createLobby("gold");
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    ch.tellChild('s');
    EXPECT_EQ(waitChild(child, 20000), 0);
    EXPECT_TRUE(waitUntil([] { return isSearching() == 0; }, 5000)); // it said no name, then left
    EXPECT_EQ(numClients(), 0);
}

// A private lobby whose secret holds a 0 byte: every byte counts. A client
// without a secret is told "private lobby", with nothing in its inbox; one
// with the part before the 0 is refused; one with the whole secret joins. A
// 0 byte in a name or an address is refused before anything is tried. The
// client holds its connection's keys once, while connected, and none after
// a refusal or an overflow; the lobby host holds none once it has closed.
TEST_F(Robustness, EveryByteOfASecretCounts) {
    const std::string secret("ab\0k7-Quartz-Harbor-93", 22);
    Channel ch;
    pid_t child = spawn([&] {
        ASSERT_TRUE(ch.childWaits('s'));
        Map zeroName, zeroAddress;
        p2pConnect(zeroName.set("user", std::string("an\0n", 4)));
        EXPECT_EQ(zeroName.s("error"), "0 byte in user");
        p2pConnect(zeroAddress.set("user", "ann").set("address", std::string("127.0.0.1\0.9", 12)));
        EXPECT_EQ(zeroAddress.s("error"), "0 byte in address");
        std::vector<std::string> errors;
        for (const std::string &s : {std::string(), secret.substr(0, 2), secret}) {
            Map c;
            c.set("address", "127.0.0.1").set("user", "ann");
            if (!s.empty()) c.set("secret", s);
            p2pConnect(c);
            errors.push_back(c.i("result") == 1 ? "joined" : c.s("error"));
            EXPECT_EQ(ll::keysHeld(), c.i("result"));
        }
        EXPECT_EQ(errors, (std::vector<std::string>{"private lobby", "wrong secret", "joined"}));
        ASSERT_TRUE(ch.childWaits('j')); // the lobby host has seen it admitted
        kit::send(7, 1, std::string(LobbyQueueBytes, 'x'));
        EXPECT_EQ(drain(), (std::vector<Msg>{{0, MsgError, "overflow"}}));
        EXPECT_EQ(ll::keysHeld(), 0);
    });
    // A 0 byte in a relay's argument, or one too long, is refused at once too.
    std::vector<std::string> errors;
    for (const char *key : {"relay", "relayUser", "relayPassword"})
        for (const std::string &v :
             {std::string("r\0r", 3), std::string(ll::StunUserCapacity + 1, 'r')}) {
            Map no;
            p2pCreateLobby(no.set("user", "gold").set("relay", "127.0.0.1").set(key, v));
            errors.push_back(no.s("error"));
        }
    EXPECT_EQ(errors, (std::vector<std::string>{"0 byte in relay", "bad relay", "0 byte in relay",
                                                "relay user too long", "0 byte in relay",
                                                "relay password too long"}));
    Map lobby, m;
    p2pCreateLobby(lobby.set("user", "gold").set("secret", secret));
    ASSERT_EQ(lobby.i("result"), 1);
    p2pSearchClient(m);
    ch.tellChild('s');
    EXPECT_TRUE(updateUntil([] { return numClients() == 1; }, 20000));
    ch.tellChild('j');
    EXPECT_EQ(waitChild(child, 30000), 0);
    p2pDisconnect(nullptr);
    EXPECT_EQ(ll::keysHeld(), 0);
}

// Runs `body` in a child process with network and mount namespaces of its
// own (loopback only), so that the packet filter, /etc/hosts and IPv6
// settings it changes touch nothing else. Skips where the system allows
// no namespaces.
const int NoNamespaces = 77;
void inOwnNetwork(const std::function<void()> &body) {
    pid_t child = spawn([&] {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) _exit(NoNamespaces);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(std::system("ip link set lo up"), 0);
        body();
    });
    int status = waitChild(child, 60000);
    if (status == NoNamespaces) GTEST_SKIP() << "no network namespaces here";
    EXPECT_EQ(status, 0);
}

// A name that resolves to ::1, 127.0.0.1 and 127.0.0.2, where IPv6 packets
// to the lobby port vanish (a broken IPv6 setup) and nothing listens on
// 127.0.0.1: the refusal starts the next attempt at once, so the connection
// lands on 127.0.0.2 one stagger in, not two, and not after a whole connect
// timeout. The attempt on ::1, still under way then, is closed.
TEST_F(Robustness, ConnectLandsOnIPv4WhenIPv6IsBlackHoled) {
    inOwnNetwork([] {
        char hosts[] = "/tmp/ll-hosts-XXXXXX";
        int fd = mkstemp(hosts);
        ASSERT_GE(fd, 0);
        const char lines[] = "::1 lobby.test\n127.0.0.1 lobby.test\n127.0.0.2 lobby.test\n";
        ASSERT_EQ(write(fd, lines, sizeof lines - 1), ssize_t(sizeof lines - 1));
        close(fd);
        ASSERT_EQ(mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
        unlink(hosts);
        ASSERT_EQ(
            std::system("nft add table ip6 lltest && "
                        "nft add chain ip6 lltest out '{ type filter hook output priority 0; }' && "
                        "nft add rule ip6 lltest out tcp dport 31903 drop"),
            0);
        addrinfo hints = {}, *list = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        ASSERT_EQ(getaddrinfo("lobby.test", nullptr, &hints, &list), 0);
        std::string order;
        for (addrinfo *ai = list; ai; ai = ai->ai_next) {
            char text[64];
            getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
            order += std::string(order.empty() ? "" : " ") + text;
        }
        freeaddrinfo(list);
        ASSERT_EQ(order, "::1 127.0.0.1 127.0.0.2") << "the order the attempts take";

        Listener lobby;
        ASSERT_TRUE(lobby.open("127.0.0.2"));
        Map c;
        int before = openDescriptors();
        auto start = Clock::now();
        p2pConnect(c.set("address", "lobby.test").set("user", "red"));
        auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        EXPECT_EQ(c.i("result"), 1);
        EXPECT_EQ(c.s("addr"), "127.0.0.2");
        EXPECT_EQ(openDescriptors(), before + 1) << "only the connection is left open";
        // 127.0.0.1 is tried one stagger after ::1; 127.0.0.2 would wait
        // another stagger if the refusal did not start it. The handshake
        // adds its pause after the name.
        EXPECT_GE(took, ll::ConnectStaggerMs);
        EXPECT_LT(took, 2 * ll::ConnectStaggerMs + ll::ClientHandshakePauseMs);
    });
}

// From here on this process can make no IPv6 socket, as on a system built
// without IPv6 (seccomp: socket(AF_INET6, ...) fails with EAFNOSUPPORT).
void refuseIPv6Sockets() {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {sizeof code / sizeof code[0], code};
    ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
    ASSERT_LT(socket(AF_INET6, SOCK_STREAM, 0), 0);
}

// Without IPv6, switched off or not there at all: a client that tries ::1
// first lands on 127.0.0.1, and the lobby opens and admits IPv4 members.
TEST_F(Robustness, WithoutIPv6TheLobbyOpensOnIPv4) {
    inOwnNetwork([] {
        FILE *f = std::fopen("/proc/sys/net/ipv6/conf/all/disable_ipv6", "w");
        ASSERT_TRUE(f);
        std::fputs("1", f);
        ASSERT_EQ(std::fclose(f), 0);
        for (bool sockets : {true, false}) {
            if (!sockets) refuseIPv6Sockets();
            {
                Listener lobby;
                ASSERT_TRUE(lobby.open("127.0.0.1"));
                Map c;
                p2pConnect(c.set("user", "red")); // this machine: ::1, if listed, fails at once
                EXPECT_EQ(c.i("result"), 1) << sockets;
                EXPECT_EQ(c.s("addr"), "127.0.0.1");
                p2pDisconnect(nullptr);
            }
            Map m;
            p2pCreateLobby(m.set("user", "gold"));
            ASSERT_EQ(m.i("result"), 1);
            Peer member = admitRaw("ann");
            ASSERT_TRUE(member.ok()) << sockets;
            EXPECT_EQ(clientName(2), "ann");
            p2pDisconnect(nullptr);
        }
    });
}

// Everything the peer sends until the end of the connection, and whether
// that end was orderly (not a reset).
std::string readToEnd(Peer &p, bool *orderly) {
    std::string out;
    char buf[65536];
    *orderly = false;
    for (;;) {
        pollfd w{p.fd, POLLIN, 0};
        if (poll(&w, 1, 5000) <= 0) return out;
        ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
        if (n <= 0) {
            *orderly = n == 0;
            return out;
        }
        out.append(buf, size_t(n));
    }
}

// Last words: a message queued right before p2pDisconnect arrives whole, and
// then an orderly end of the connection, also when the one leaving has not
// read what its peer sent last (closing over unread bytes would reset).
TEST_F(Robustness, LastWordsArriveBeforeAnOrderlyEnd) {
    const std::string last(60000, 'w');
    bool orderly = false;
    {
        Listener lobby;
        ASSERT_TRUE(lobby.open("127.0.0.1"));
        Map c;
        p2pConnect(c.set("address", "127.0.0.1").set("user", "red"));
        ASSERT_EQ(c.i("result"), 1);
        Peer host = lobby.accept();
        ASSERT_EQ(host.recv(4), "red" + nul());
        ASSERT_TRUE(host.send(frame({1, 5, 255}, "unread")));
        send(9, 255, last);
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the unread frame is here
        p2pDisconnect(nullptr);
        EXPECT_EQ(readToEnd(host, &orderly), frame({9, 255}, last));
        EXPECT_TRUE(orderly);
    }

    // The member's small window keeps most of the bytes at the lobby host
    // when it closes: a reset would throw them away.
    createLobby("gold");
    Peer member = admitRaw("ann", 5000, 4096);
    ASSERT_TRUE(member.ok());
    ASSERT_TRUE(member.send(frame({5, HostId}, "unread")));
    send(9, 255, last);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p2pDisconnect(nullptr);
    EXPECT_EQ(readToEnd(member, &orderly),
              frame({1, MsgJoin, 255}, "gold") + frame({1, 9, 255}, last));
    EXPECT_TRUE(orderly);
}

// The TCP connections of this process whose local or remote port is the
// lobby port, by descriptor (a listening socket is not one).
std::vector<int> lobbySockets(bool localPort) {
    std::vector<int> out;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = readdir(d)) {
        int fd = atoi(e->d_name);
        struct stat st;
        if (e->d_name[0] == '.' || fd == dirfd(d) || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        sockaddr_storage sa = {};
        socklen_t len = sizeof sa;
        int r = localPort ? getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len)
                          : getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len);
        // The port sits at the same place in IPv4 and IPv6 addresses.
        in_port_t port = reinterpret_cast<sockaddr_in *>(&sa)->sin_port;
        bool inet = sa.ss_family == AF_INET || sa.ss_family == AF_INET6;
        int listening = 0;
        socklen_t size = sizeof listening;
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size);
        if (r == 0 && inet && ntohs(port) == LobbyPort && !listening) out.push_back(fd);
    }
    closedir(d);
    return out;
}

int intOption(int fd, int level, int name) {
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(fd, level, name, &v, &len);
    return v;
}

// Keep-alive probes a quiet peer after 30 s and gives it up within about a
// minute, also when data waits unacknowledged; the wire does not change.
void expectKeptAlive(int fd) {
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 30);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL) * intOption(fd, IPPROTO_TCP, TCP_KEEPCNT),
              30);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 60000);
}

TEST_F(Robustness, EveryLobbyConnectionIsKeptAlive) {
    createLobby("gold");
    Peer member = admitRaw("ann");
    ASSERT_TRUE(member.ok());
    std::vector<int> hostSide = lobbySockets(true); // the member's connection at the lobby host
    ASSERT_EQ(hostSide.size(), 1u);
    expectKeptAlive(hostSide[0]);
    p2pDisconnect(nullptr);
    member.close();

    Listener lobby;
    ASSERT_TRUE(lobby.open());
    Map c;
    p2pConnect(c.set("user", "bo")); // the listener's backlog takes it
    ASSERT_EQ(c.i("result"), 1);
    Peer accepted = lobby.accept(5000);
    std::vector<int> clientSide = lobbySockets(false); // ours, not the listener's accepted one
    ASSERT_EQ(clientSide.size(), 1u);
    expectKeptAlive(clientSide[0]);
}

// A child process the host application starts holds none of the lobby's
// sockets: the next search can bind the port, and a kicked member's
// connection really closes.
TEST_F(Robustness, ChildProcessesHoldNoLobbySocket) {
    createLobby("gold");
    Peer member = admitRaw("ann");
    ASSERT_TRUE(member.ok());
    Map m;
    p2pSearchClient(m); // a search holds the port
    ASSERT_EQ(m.i("result"), 1);
    pid_t sleeper = 0;
    const char *argv[] = {"sleep", "30", nullptr};
    ASSERT_EQ(posix_spawnp(&sleeper, "sleep", nullptr, nullptr, const_cast<char **>(argv), environ),
              0);
    kick(2);
    EXPECT_TRUE(member.waitClosed());
    p2pDisconnect(nullptr);
    createLobby("gold");
    Map again;
    p2pSearchClient(again);
    EXPECT_EQ(again.i("result"), 1);
    EXPECT_EQ(again.s("error"), "<none>");
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
}

} // namespace
