// Strangers, vanished players and child processes: a silent connection
// must not hold the lobby's door shut, a deaf address must not freeze the
// host application, every lobby connection is kept alive, and no socket
// leaks into a child process.
#include "support/testkit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char **environ;

namespace {

using namespace kit;
using Clock = std::chrono::steady_clock;

struct Robustness : LibTest {};

TEST_F(Robustness, SilentConnectionIsGivenUpAfterTheHandshakeDeadline) {
    createLobby("gold");
    Map m;
    p2pSearchClient(m);
    ASSERT_EQ(m.i("result"), 1);
    ASSERT_TRUE(waitUntil([] { return isSearching() == 1; }));
    Peer silent = connectLobby();
    ASSERT_TRUE(silent.ok());
    auto start = Clock::now();
    ASSERT_TRUE(waitUntil([] { return isSearching() == 0; }, 30000));
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(9)); // not before its deadline
    EXPECT_EQ(searchError(), SearchHandshakeLost);
    EXPECT_TRUE(silent.waitClosed());
    // The door is open again: the next player is admitted.
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
    ASSERT_TRUE(eager.send("eager" + nul() + frame({7, HostId}, "first") + frame({8, HostId}, "next")));
    ASSERT_TRUE(waitUntil([] { return numClients() == 1; }));
    Msg got;
    std::vector<Msg> all;
    while (all.size() < 3 && updateUntilMsg(&got)) all.push_back(got);
    EXPECT_EQ(all, (std::vector<Msg>{{2, MsgJoin, "eager"}, {2, 7, "first"}, {2, 8, "next"}}));
}

// A lobby host whose accept queue is full drops connection attempts
// silently, as a machine behind a dropping firewall does.
TEST_F(Robustness, ConnectGivesUpOnADeafAddress) {
    int deaf = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(LobbyPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(deaf, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(deaf, 0), 0);
    std::vector<Peer> fillers;
    for (int i = 0; i < 4; ++i) { // fill the accept queue; later attempts hang
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.emplace_back(fd);
    }
    Channel ch;
    pid_t child = spawn([&] {
        Map c;
        p2pConnect(c.set("address", "127.0.0.1").set("user", "late"));
        ch.tellParent(c.i("result") == 0 && c.s("error") == "couldn't connect" ? 'y' : 'n');
    });
    EXPECT_TRUE(ch.parentWaits('y', 40000));
    EXPECT_EQ(waitChild(child, 5000), 0);
    close(deaf);
}

// The TCP sockets of this process whose local or remote port is the lobby
// port, by descriptor.
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
        if (r == 0 && inet && ntohs(port) == LobbyPort) out.push_back(fd);
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
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL) * intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 30);
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
    ASSERT_EQ(posix_spawnp(&sleeper, "sleep", nullptr, nullptr, const_cast<char **>(argv), environ), 0);
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
