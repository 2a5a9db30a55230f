#include "agents/agentkit.h"

#include <cstdio>

#include "common/hex.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace agents {

namespace {

using Clock = std::chrono::steady_clock;

using kit::msLeft;

// An answer's text value ('x' and hex, as the agent writes it).
std::string unhex(const std::string &v) {
    std::string out;
    if (v.empty() || v[0] != 'x' || !tools::fromHex(v.substr(1), &out))
        return "<not a text: " + v + ">";
    return out;
}

std::string shellQuote(const std::string &s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// This test process's copy of the Wine prefix, made on first use and
// dropped (wineserver and all) when the process ends.
struct WinePrefix {
    std::string dir;
    ~WinePrefix() {
        if (!dir.empty()) runScript("drop " + shellQuote(dir));
    }
    static int runScript(const std::string &args) {
        return std::system(("sh " + shellQuote(LL_WINE_PREFIX_SCRIPT) + " " + args).c_str());
    }
    const std::string &get() {
        if (!dir.empty()) return dir;
        std::string name = "process";
        if (auto *t = ::testing::UnitTest::GetInstance()->current_test_info())
            name = std::string(t->test_suite_name()) + "." + t->name();
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.') c = '_';
        dir = std::string(LL_WINDOWS_DIR) + "/agents-run/" + name;
        if (runScript("copy " + shellQuote(LL_WINE_TEMPLATE) + " " + shellQuote(dir)) != 0)
            ADD_FAILURE() << "could not copy the Wine prefix " << LL_WINE_TEMPLATE;
        return dir;
    }
};
WinePrefix winePrefix;

std::string windowsPath(const std::string &unixPath) {
    std::string out = "Z:" + unixPath;
    for (char &c : out)
        if (c == '/') c = '\\';
    return out;
}

struct IgnoreSigpipe {
    IgnoreSigpipe() { std::signal(SIGPIPE, SIG_IGN); }
} ignoreSigpipe;

} // namespace

const char *buildName(Build b) {
    return b == Build::Linux ? "linux" : b == Build::Windows ? "windows" : "windows64";
}

bool haveWindows() { return LL_WITH_WINDOWS != 0; }

std::vector<Build> builds() {
    std::vector<Build> out{Build::Linux};
    if (haveWindows()) out.push_back(Build::Windows);
    return out;
}

std::string hexText(const std::string &text) { return "x" + tools::toHex(text); }

std::string run(const std::string &command) {
    std::string out;
    if (FILE *p = ::popen((command + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

Arg::Arg(const char *k, const std::string &text) : key(k), value(hexText(text)) {}

bool Reply::has(const std::string &key) const {
    for (auto &f : fields)
        if (f.first == key) return true;
    return false;
}

int Reply::i(const std::string &key) const {
    for (auto &f : fields)
        if (f.first == key) return std::atoi(f.second.c_str());
    return 0;
}

std::string Reply::s(const std::string &key) const {
    for (auto &f : fields)
        if (f.first == key) return unhex(f.second);
    return "<none>";
}

std::string Reply::raw(const std::string &key) const {
    for (auto &f : fields)
        if (f.first == key) return f.second;
    return "<none>";
}

std::vector<std::string> Reply::all(const std::string &key) const {
    std::vector<std::string> out;
    for (auto &f : fields)
        if (f.first == key) out.push_back(f.second);
    return out;
}

std::vector<kit::Msg> Reply::msgs() const {
    std::vector<kit::Msg> out;
    for (const std::string &m : all("m")) {
        size_t a = m.find(','), b = m.find(',', a + 1);
        out.push_back({std::atoi(m.substr(0, a).c_str()),
                       std::atoi(m.substr(a + 1, b - a - 1).c_str()), unhex(m.substr(b + 1))});
    }
    return out;
}

std::ostream &operator<<(std::ostream &os, const Reply &r) {
    return os << (r.line.size() > 300 ? r.line.substr(0, 300) + "..." : r.line);
}

Agent::Agent(Build build, std::string who) : build_(build), who_(std::move(who)) {
    who_ += std::string(" (") + buildName(build) + ")";
    std::string prefix = build != Build::Linux ? winePrefix.get() : "";
    int toAgent[2], fromAgent[2];
    if (::pipe(toAgent) != 0 || ::pipe(fromAgent) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(toAgent[0], 0);
        ::dup2(fromAgent[1], 1);
        // Nothing else of the test's goes along: a raw peer's socket kept
        // open in the agent would outlive its closing in the test.
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        if (build == Build::Linux) {
            ::execl(LL_AGENT, LL_AGENT, LL_LIBRARY, static_cast<char *>(nullptr));
        } else {
            ::setenv("WINEPREFIX", prefix.c_str(), 1);
            ::setenv("WINEDEBUG", "-all", 1);
            // No debugger for an agent that crashes: it ends at once.
            ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winedbg.exe=d", 1);
            // The prefix is a 64-bit one: it runs the agents of both DLLs.
            std::string dir = build == Build::Windows ? LL_WINDOWS_DIR : LL_WINDOWS64_DIR;
            std::string exe = dir + "/tests/agents/agent/llagent.exe";
            std::string dll = windowsPath(dir + "/lobbylink.dll");
            ::execlp("wine", "wine", exe.c_str(), dll.c_str(), static_cast<char *>(nullptr));
        }
        std::fprintf(stderr, "exec failed: %s\n", std::strerror(errno));
        ::_exit(127);
    }
    ::close(toAgent[0]);
    ::close(fromAgent[1]);
    in_ = toAgent[1];
    out_ = fromAgent[0];
    ::fcntl(in_, F_SETFD, FD_CLOEXEC);
    ::fcntl(out_, F_SETFD, FD_CLOEXEC);
    up_ = true;
    Reply ready = answer(60000);
    if (ready.line != "ok ready") {
        ADD_FAILURE() << who_ << " did not start: " << ready;
        up_ = false;
    }
}

Agent::~Agent() {
    reap(10000);
    if (out_ >= 0) ::close(out_);
}

int Agent::reap(int ms) {
    if (in_ >= 0) ::close(in_); // end of input ends the agent
    in_ = -1;
    up_ = false;
    if (pid_ <= 0) return status_;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return status_ = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Agent::quit(int ms) {
    send("quit");
    return reap(ms);
}

void Agent::send(const std::string &line) {
    if (!up_) return;
    std::string data = line + "\n";
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::write(in_, data.data() + sent, data.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            up_ = false;
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

Reply Agent::answer(int ms) {
    Reply r;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    size_t nl;
    while (up_ && (nl = buffered_.find('\n')) == std::string::npos) {
        pollfd p{out_, POLLIN, 0};
        int left = msLeft(end);
        if (left == 0 || ::poll(&p, 1, left) <= 0) {
            r.line = "<no answer from " + who_ + " within " + std::to_string(ms) + " ms>";
            return r;
        }
        char buf[65536];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            up_ = false;
        else
            buffered_.append(buf, static_cast<size_t>(n));
    }
    if (!up_ && buffered_.find('\n') == std::string::npos) {
        r.line = "<" + who_ + " has ended>";
        return r;
    }
    nl = buffered_.find('\n');
    r.line = buffered_.substr(0, nl);
    buffered_.erase(0, nl + 1);
    size_t at = 0;
    bool first = true;
    while (at <= r.line.size()) {
        size_t sp = r.line.find(' ', at);
        if (sp == std::string::npos) sp = r.line.size();
        std::string word = r.line.substr(at, sp - at);
        if (first) {
            r.ok = word == "ok";
            first = false;
        } else if (r.ok) {
            size_t eq = word.find('=');
            if (eq != std::string::npos)
                r.fields.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        }
        at = sp + 1;
    }
    return r;
}

Reply Agent::req(const std::string &line, int ms) {
    send(line);
    return answer(ms);
}

Reply Agent::call(const std::string &name, const std::vector<Arg> &args, int ms) {
    std::string line = "call " + name;
    for (const Arg &a : args) line += " " + a.key + "=" + a.value;
    Reply r = req(line, ms);
    EXPECT_TRUE(r.ok) << who_ << ": " << name << ": " << r;
    return r;
}

int Agent::null(const std::string &name) {
    Reply r = req("null " + name);
    EXPECT_TRUE(r.ok) << who_ << ": " << name << ": " << r;
    return r.i("ret");
}

std::vector<kit::Msg> Agent::take(int n, int ms) {
    Reply r = req("take " + std::to_string(n) + " " + std::to_string(ms), ms + 20000);
    EXPECT_TRUE(r.ok) << who_ << ": take: " << r;
    return r.msgs();
}

bool Agent::poll(const std::string &name, int value, int ms) {
    Reply r =
        req("poll " + name + " " + std::to_string(value) + " " + std::to_string(ms), ms + 20000);
    EXPECT_TRUE(r.ok) << who_ << ": poll " << name << ": " << r;
    return r.ok && r.i("ret") == value;
}

void Agent::update(bool on) {
    Reply r = req(on ? "update on" : "update off");
    EXPECT_TRUE(r.ok) << who_ << ": update: " << r;
}

void Agent::say(int id, int rcv, const std::string &text) {
    call("p2pSend", {{"msg", text}, {"id", id}, {"rcv", rcv}});
}

std::unique_ptr<Agent> agentIn(const std::string &netns, Build build, const std::string &who) {
    int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int ns = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    std::unique_ptr<Agent> a;
    if (self >= 0 && ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0) {
        a.reset(new Agent(build, who));
        if (::setns(self, CLONE_NEWNET) != 0) std::abort(); // the test must not stay in there
    } else {
        ADD_FAILURE() << "cannot enter " << netns;
    }
    if (self >= 0) ::close(self);
    if (ns >= 0) ::close(ns);
    return a;
}

} // namespace agents
