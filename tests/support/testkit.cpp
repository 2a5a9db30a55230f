#include "support/testkit.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kit {

int msLeft(std::chrono::steady_clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now())
                    .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

namespace {
using Clock = std::chrono::steady_clock;
sockaddr_in lobbyAddress(const char *address) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(LobbyPort);
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}
} // namespace

std::string hex(const std::string &s) {
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, "%02x ", c);
        out += b;
    }
    return out;
}

std::ostream &operator<<(std::ostream &os, const Msg &m) {
    return os << "{usr " << m.usr << ", id " << m.id << ", \"" << m.msg << "\"}";
}

bool recv(Msg *out) {
    Map m;
    p2pRecv(m);
    if (m.i("result") != 1) return false;
    *out = Msg{m.i("usr"), m.i("id"), m.s("msg")};
    return true;
}

std::vector<Msg> drain() {
    std::vector<Msg> all;
    Msg m;
    while (recv(&m)) all.push_back(m);
    return all;
}

bool waitUntil(const std::function<bool()> &pred, int ms, bool update) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (update) p2pUpdate(nullptr);
        if (pred()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool updateUntilMsg(Msg *out, int ms) {
    return updateUntil([&] { return recv(out); }, ms);
}

void updateFor(int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        p2pUpdate(nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void send(int32_t id, int32_t rcv, const std::string &text) {
    Map m;
    p2pSend(m.set("msg", text).set("id", id).set("rcv", rcv));
}

int32_t room(int32_t id) {
    Map m;
    p2pBuffer(m.set("id", id));
    return m.i("res");
}

std::string clientName(int32_t id) {
    Map m;
    p2pClientName(m.set("id", id));
    return m.s("result");
}

void kick(int32_t id) {
    Map m;
    p2pKick(m.set("id", id));
}

int32_t numClients() { return p2pNumClients(nullptr); }
int32_t isSearching() { return p2pIsSearching(nullptr); }
int32_t searchError() { return p2pSearchClientError(nullptr); }

Peer &Peer::operator=(Peer &&o) noexcept {
    if (this != &o) {
        close();
        fd = o.fd;
        o.fd = -1;
    }
    return *this;
}

bool Peer::send(const std::string &data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string Peer::recv(size_t n, int ms) {
    std::string out;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, msLeft(end)) <= 0) break;
        ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

std::string Peer::recvQuiet(int quietMs, int ms) {
    std::string out;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int wait = std::min(quietMs, msLeft(end));
        if (wait <= 0 || ::poll(&p, 1, wait) <= 0) break;
        ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

std::string Peer::pumpRecv(size_t n) {
    std::string got;
    updateUntil([&] {
        got += recv(n - got.size(), 0);
        return got.size() >= n;
    });
    return got;
}

bool Peer::waitClosed(int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, msLeft(end)) <= 0) return false;
        ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
}

void Peer::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void Peer::finThenReset() {
    ::shutdown(fd, SHUT_WR);
    linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // both have arrived
}

Peer connectLobby(int receiveBuffer, const char *from) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a = lobbyAddress("127.0.0.1"), source = lobbyAddress(from ? from : "0.0.0.0");
    source.sin_port = 0;
    if ((from && ::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return Peer();
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return Peer(fd);
}

bool Listener::open(const char *address) {
    bool v6 = std::strchr(address, ':') != nullptr;
    fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!v6) {
        sockaddr_in a = lobbyAddress(address);
        return ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd, 16) == 0;
    }
    int only = std::strcmp(address, "::") != 0; // "::" takes IPv4 too
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    sockaddr_in6 a;
    std::memset(&a, 0, sizeof a);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(LobbyPort);
    inet_pton(AF_INET6, address, &a.sin6_addr);
    return ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd, 16) == 0;
}

Peer Listener::accept(int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return Peer();
    return Peer(::accept(fd, nullptr, nullptr));
}

Listener::~Listener() {
    if (fd >= 0) ::close(fd);
}

Peer admitRaw(const std::string &name, int ms, int receiveBuffer) {
    Map m;
    int32_t before = numClients();
    p2pSearchClient(m);
    if (m.i("result") != 1) return Peer();
    Peer p = connectLobby(receiveBuffer);
    if (!p.ok() || !p.send(name + nul())) return Peer();
    if (!waitUntil([&] { return numClients() == before + 1 && isSearching() == 0; }, ms))
        return Peer();
    return p;
}

void LibTest::SetUp() {
    Map m;
    p2pInit(m);
    ASSERT_EQ(m.i("result"), 1);
}

void LibTest::TearDown() {
    p2pDisconnect(nullptr);
    p2pTerminate(nullptr);
}

void LibTest::createLobby(const std::string &name) {
    Map m;
    m.set("user", name);
    p2pCreateLobby(m);
    ASSERT_EQ(m.i("result"), 1);
}

pid_t spawn(const std::function<void()> &body) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    return pid;
}

int waitChild(pid_t pid, int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {
bool readSignal(int fd, char c, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char got = 0;
    return ::read(fd, &got, 1) == 1 && got == c;
}
} // namespace

Channel::Channel() {
    if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) std::abort();
}

Channel::~Channel() {
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        if (fd >= 0) ::close(fd);
}

void Channel::tellChild(char c) { (void)!::write(toChild[1], &c, 1); }
void Channel::tellParent(char c) { (void)!::write(toParent[1], &c, 1); }
bool Channel::childWaits(char c, int ms) { return readSignal(toChild[0], c, ms); }
bool Channel::parentWaits(char c, int ms) { return readSignal(toParent[0], c, ms); }

void insideNetns(const std::string &name, const std::function<void()> &fn) {
    int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int ns = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (self >= 0 && ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0) {
        fn();
        if (::setns(self, CLONE_NEWNET) != 0) std::abort(); // the test must not stay in there
    } else {
        ADD_FAILURE() << "cannot enter " << name;
    }
    if (self >= 0) ::close(self);
    if (ns >= 0) ::close(ns);
}

} // namespace kit
