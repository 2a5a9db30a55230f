// ll_sidebyside: the workloads W1..W6 over this library, ENet and the raw
// relay, in one run. Prints one `run` line per run, one `median` line per
// figure, and a table with ratios.
//
//   W1p  ring of 4 clients (each sends to the next), paced by the 64 KiB queue
//   W1w  the same ring with an end-to-end credit window
//   W2w  one client broadcasting to 7 others, credit window
//   W3   round trip client -> hub -> client -> hub -> client, p50 / p99
//   W4   the hub's update with 50 and 200 idle members, per member
//   W5   W1p over text sizes from 16 B to 16 KiB
//   W6   client 0 to client 1 paced by the queue, while client 3 broadcasts
//        and client 2, frozen, reads nothing (until the drain)
// W1w and W2w also run in a private lobby of each library (label
// "LABEL-private": the handshake, every frame in sealed records), compared
// in a table of their own with the same library's open lobby and with ENet.
// Given the relay network of tests/turn/turn.sh (--relay-net), W1w and W3
// also run there, clients on "the Internet" and behind a NAT: once with the
// hub on the Internet, joined directly ("LABEL-direct"), once with the hub
// behind a NAT that lets nothing in, hosting through the relay server
// ("LABEL-relay"); a table of their own gives relay / direct.
//
// Usage: ll_sidebyside --lib [LABEL=]PATH [--lib ...] [options]   (see --help)
#include "../netns_here.h"
#include "sbs.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <vector>

using namespace sbs;

namespace {

struct Options {
    std::vector<Backend> backends;
    std::vector<Backend> privateBackends; // each library's private lobby
    std::vector<std::string> workloads{"W1p", "W1w", "W2w", "W3", "W4", "W5", "W6"};
    std::vector<std::string> privateWorkloads{"W1w", "W2w"}; // also in a private lobby
    std::vector<Backend> relayBackends; // each library direct and through the relay
    std::vector<std::string> relayWorkloads{"W1w", "W3"};
    std::string relayNet; // turn.sh's namespace prefix; "": no relay runs
    Relay relay;
    int runs = 3;
    double seconds = 2.0, warmup = 0.5;
    std::vector<int> sizes{16, 256, 1024, 4096, 16384}; // W5 besides W1p's 64
    std::vector<int> idleCounts{50, 200};
    bool hubAlwaysBusy = false; // hubs never yield (an experiment, not the default)
} gOpt;

Control *gControl = nullptr;

// The private lobbies' secret: an invite code, as players are told to use.
const char BenchSecret[] = "bench-Invite-3Kp9xQ";
const char PrivateSuffix[] = "-private";
const char DirectSuffix[] = "-direct", RelaySuffix[] = "-relay";
// The relay network's server (turn.sh): coturn's address on the Internet, where
// a hub on the Internet is joined directly too.
const char RelayServer[] = "127.90.0.1";
// Where the relay password comes from: never the command line.
const char RelayPasswordVariable[] = "LL_BENCH_RELAY_PASSWORD";

const char *backendName(BackendKind k) {
    return k == Lobbylink ? "lobbylink" : k == Enet ? "ENet" : "raw";
}

// ---- The processes ---------------------------------------------------------

std::unique_ptr<Endpoint> makeClient(const Backend &b) {
    if (b.kind == Lobbylink) return lobbylinkClient(b.library, b.secret, gControl->joinAt);
    if (b.kind == Enet) return enetClient();
    return rawClient();
}

std::unique_ptr<Hub> makeHub(const Backend &b, int capacity) {
    if (b.kind == Lobbylink)
        return lobbylinkHub(b.library, b.secret, b.path == RelayedHub ? &gOpt.relay : nullptr,
                            gControl->joinAt, sizeof gControl->joinAt);
    if (b.kind == Enet) return enetHub(capacity);
    return rawHub();
}

char fillFor(int id) { return static_cast<char>('A' + (id - 2) % 26); }

// One client's part in a workload and what it has seen so far.
struct ClientPart {
    const Workload &w;
    int index;
    int target = 0;             // who it sends to
    std::vector<int> creditors; // whose credits it waits for
    bool sender = false;
    bool frozen = false, noisy = false;
    size_t size;
    std::string text;
    uint64_t window, creditEvery;
    uint64_t credited[256] = {}, got[256] = {}, creditSent[256] = {};
    bool creditOwed[256] = {};
    uint64_t sent = 0, delivered = 0, bad = 0, dropped = 0, lost = 0;
    bool pingOut = false;
    int64_t pingAt = 0;
    std::vector<int64_t> rtt;

    ClientPart(const Workload &workload, int i)
        : w(workload), index(i), size(static_cast<size_t>(workload.size)),
          text(size, fillFor(2 + i)),
          window(workload.window ? std::max<uint64_t>(8, QueueBytes / (size + 4)) : UINT64_MAX),
          creditEvery(std::max<uint64_t>(1, window / 4)) {
        const int k = w.clients;
        if (w.kind == Ring) {
            target = 2 + (index + 1) % k;
            creditors.push_back(target);
            sender = true;
        } else if (w.kind == Broadcast && index == 0) {
            target = Everybody;
            for (int j = 1; j < k; ++j) creditors.push_back(2 + j);
            sender = true;
        } else if ((w.kind == RoundTrip || w.kind == Frozen) && index == 0) {
            target = 3;
            sender = true;
        }
        // W6: client 2 reads nothing while the run lasts; client 3 broadcasts
        // as fast as its queue lets it, to the frozen one among others.
        frozen = w.kind == Frozen && index == 2;
        noisy = w.kind == Frozen && index == 3;
        if (w.kind == RoundTrip) rtt.reserve(1 << 20);
    }
};

// A workload message: counted, checked, echoed (W3's second client) or
// timed (W3's first), and owed a credit under a window.
void takeData(ClientPart &cl, Endpoint &ep, const Message &m) {
    ++cl.delivered;
    const size_t size = cl.size;
    if (m.length != size ||
        (size > 0 && (m.text[0] != fillFor(m.from) || m.text[size - 1] != fillFor(m.from))))
        ++cl.bad;
    if (cl.w.kind == RoundTrip) {
        if (cl.index == 1) {
            ep.send(m.from, DataId, cl.text.data(), size); // the echo
            ++cl.sent;
        } else if (cl.pingOut) {
            if (gControl->measuring.load(std::memory_order_relaxed))
                cl.rtt.push_back(nowNs() - cl.pingAt);
            cl.pingOut = false;
        }
    }
    const int from = m.from & 255;
    if (cl.w.window && ++cl.got[from] - cl.creditSent[from] >= cl.creditEvery)
        cl.creditOwed[from] = true;
}

// Everything that arrived; true when anything did.
bool takeAll(ClientPart &cl, Endpoint &ep) {
    bool did = false;
    Message m;
    while (ep.next(&m)) {
        did = true;
        if (m.id == DataId) {
            takeData(cl, ep, m);
        } else if (m.id == CreditId) {
            uint64_t n = std::strtoull(std::string(m.text, m.length).c_str(), nullptr, 10);
            cl.credited[m.from & 255] = std::max(cl.credited[m.from & 255], n);
        } else if (m.id == LeaveId) {
            ++cl.dropped;
        } else if (m.id == ErrorId && m.from == 0) {
            ++cl.lost;
        }
    }
    return did;
}

// The credits owed, while they fit; true when any went.
bool sendCredits(ClientPart &cl, Endpoint &ep) {
    bool did = false;
    for (int from = 2; from < 2 + cl.w.clients; ++from) {
        if (!cl.creditOwed[from]) continue;
        std::string n = std::to_string(cl.got[from]);
        if (!ep.fits(n.size())) break;
        ep.send(from, CreditId, n.data(), n.size());
        cl.creditSent[from] = cl.got[from];
        cl.creditOwed[from] = false;
        did = true;
    }
    return did;
}

// The workload's messages: W3's one ping at a time, else as many as the
// window and the queue let through; true when any went.
bool sendData(ClientPart &cl, Endpoint &ep) {
    const size_t size = cl.size;
    if (cl.w.kind == RoundTrip) {
        if (cl.pingOut) return false;
        cl.pingAt = nowNs();
        ep.send(cl.target, DataId, cl.text.data(), size);
        ++cl.sent;
        cl.pingOut = true;
        return true;
    }
    bool did = false;
    uint64_t least = UINT64_MAX;
    for (int r : cl.creditors) least = std::min(least, cl.credited[r]);
    if (!cl.w.window) least = 0;
    while (cl.sent - least < cl.window && ep.fits(size)) {
        ep.send(cl.target, DataId, cl.text.data(), size);
        ++cl.sent;
        did = true;
    }
    return did;
}

void publish(const ClientPart &cl, Counters &me) {
    me.sent.store(cl.sent, std::memory_order_relaxed);
    me.delivered.store(cl.delivered, std::memory_order_relaxed);
    me.bad.store(cl.bad, std::memory_order_relaxed);
    me.dropped.store(cl.dropped, std::memory_order_relaxed);
    me.lostConnection.store(cl.lost, std::memory_order_relaxed);
}

// At the drain: W3's round trip percentiles, then word that `sent` is final.
void publishDrain(ClientPart &cl, Counters &me) {
    std::vector<int64_t> &rtt = cl.rtt;
    if (!rtt.empty()) {
        std::sort(rtt.begin(), rtt.end());
        me.rttP50ns.store(rtt[rtt.size() / 2]);
        me.rttP99ns.store(rtt[std::min(rtt.size() - 1, rtt.size() * 99 / 100)]);
        me.rttSamples.store(static_cast<int64_t>(rtt.size()));
    }
    me.ready.store(2, std::memory_order_release); // seen the drain; `sent` is final
}

// A client as a game runs it: one update, everything that arrived, then
// whatever it may send; an iteration that took nothing and sent nothing ends
// with sched_yield().
void clientLoop(Endpoint &ep, const Workload &w, int index, Counters &me) {
    ClientPart cl(w, index);
    bool drained = false;
    for (;;) {
        int phase = gControl->phase.load(std::memory_order_acquire);
        if (phase == Exit) break;
        if (cl.frozen && phase == Run) {
            usleep(1000);
            continue;
        }
        ep.update();
        bool did = takeAll(cl, ep);
        // Credits first: they are what keeps the other side going.
        if (w.window) did |= sendCredits(cl, ep);
        if (cl.sender && phase == Run) did |= sendData(cl, ep);
        if (cl.noisy && phase == Run)
            while (ep.fits(cl.size)) {
                ep.send(Everybody, NoiseId, cl.text.data(), cl.size);
                did = true;
            }
        publish(cl, me);
        if (phase == Drain && !drained) {
            drained = true;
            publishDrain(cl, me);
        }
        if (!did) sched_yield();
    }
}

// Moves this process into the relay network's namespace PREFIX-SIDE before
// it makes a socket; true on the loopback path, where it stays.
bool enterSide(const Backend &b, const char *side) {
    if (b.path == Loopback) return true;
    std::string path = "/run/netns/" + gOpt.relayNet + "-" + side;
    int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool in = ns >= 0 && setns(ns, CLONE_NEWNET) == 0;
    if (!in) std::fprintf(stderr, "ll_sidebyside: cannot enter %s\n", path.c_str());
    if (ns >= 0) close(ns);
    return in;
}

void clientProcess(const Backend &b, const Workload &w, int index) {
    Counters &me = gControl->client[index];
    // Every other client joins from behind a NAT of its own.
    if (!enterSide(b, index % 2 ? "behind" : "peer")) {
        me.failed.store(1);
        return;
    }
    std::unique_ptr<Endpoint> ep = makeClient(b);
    if (!waitSeat(gControl, index) || !ep->connect(index)) {
        me.failed.store(1);
        return;
    }
    me.ready.store(1);
    clientLoop(*ep, w, index, me);
}

// W4: times `update` in batches of 64 calls for `seconds`; the mean in ps.
int64_t timeUpdates(Hub &hub) {
    int64_t total = 0, calls = 0, end = nowNs() + static_cast<int64_t>(gOpt.seconds * 1e9);
    Message m;
    while (nowNs() < end) {
        int64_t t0 = nowNs();
        for (int i = 0; i < 64; ++i) hub.update();
        total += nowNs() - t0;
        calls += 64;
        while (hub.next(&m)) {
        }
        sched_yield();
    }
    return calls ? total * 1000 / calls : 0;
}

void hubProcess(const Backend &b, const Workload &w) {
    Control *c = gControl;
    Counters &me = c->hub;
    if (!enterSide(b, b.path == RelayedHub ? "host" : "inet")) {
        me.failed.store(1);
        return;
    }
    std::unique_ptr<Hub> hub = makeHub(b, w.kind == Idle ? MaxMembers : w.clients);
    if (!hub->open()) {
        me.failed.store(1);
        return;
    }
    me.ready.store(1);
    uint64_t copies = 0, dropped = 0;
    for (;;) {
        if (c->phase.load(std::memory_order_acquire) == Exit) break;
        int target = c->admitTarget.load();
        if (target > c->admitted.load()) {
            if (!hub->admit(target, c)) {
                me.failed.store(1);
                return;
            }
            c->admitted.store(target);
        }
        int request = c->measureRequest.load();
        if (request != c->measureDone.load()) {
            c->updatePs.store(timeUpdates(*hub));
            c->measureDone.store(request);
        }
        bool did = hub->update();
        Message m;
        while (hub->next(&m)) {
            did = true;
            if (m.id == DataId) ++copies;
            if (m.id == LeaveId) ++dropped;
        }
        me.hubCopies.store(copies, std::memory_order_relaxed);
        me.dropped.store(dropped, std::memory_order_relaxed);
        if (!did && !gOpt.hubAlwaysBusy) sched_yield();
    }
}

void membersProcess(const Backend &b) {
    Control *c = gControl;
    std::unique_ptr<Members> members = b.kind == Enet ? enetMembers() : tcpMembers();
    int have = 0;
    while (c->phase.load() != Exit) {
        int target = c->admitTarget.load();
        if (target > have) {
            if (!members->add(target, c)) {
                c->members.failed.store(1);
                return;
            }
            have = target;
        }
        members->idle();
    }
}

// ---- The parent ------------------------------------------------------------

struct Children {
    std::vector<pid_t> pids;
    template <typename F> void start(F f) {
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            f();
            _exit(0);
        }
        pids.push_back(pid);
    }
    // Asks every child to end and collects them; a child that does not end
    // within 10 s is killed (by its own pid).
    void finish() {
        gControl->phase.store(Exit);
        int64_t end = nowNs() + 10 * 1000000000LL;
        for (pid_t pid : pids) {
            int status;
            while (waitpid(pid, &status, WNOHANG) == 0) {
                if (nowNs() > end) {
                    kill(pid, SIGKILL);
                    waitpid(pid, &status, 0);
                    break;
                }
                usleep(2000);
            }
        }
        pids.clear();
    }
};

void resetControl() { std::memset(static_cast<void *>(gControl), 0, sizeof(Control)); }

void sleepSeconds(double s) { usleep(static_cast<useconds_t>(s * 1e6)); }

// Waits until `done()` or `seconds` pass, or a child reports failure.
template <typename F> bool waitFor(F done, double seconds, int clients) {
    int64_t end = nowNs() + static_cast<int64_t>(seconds * 1e9);
    while (!done()) {
        if (nowNs() > end || gControl->hub.failed.load() || gControl->members.failed.load())
            return false;
        for (int i = 0; i < clients; ++i)
            if (gControl->client[i].failed.load()) return false;
        usleep(1000);
    }
    return true;
}

struct Result {
    std::string row; // the table's row
    std::string unit;
    bool higherIsBetter;
    std::string backend; // label
    double value;
};
std::vector<Result> gResults;
int gRuns = 0;
std::vector<std::string> gProblems; // runs with a drop, a loss, a damaged message or a failure

uint64_t sumOf(int k, std::atomic<uint64_t> Counters::*field) {
    uint64_t s = 0;
    for (int i = 0; i < k; ++i) s += (gControl->client[i].*field).load();
    return s;
}

std::string sizeLabel(int size) {
    return size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
}

bool allReady(int k, int level) {
    for (int i = 0; i < k; ++i)
        if (gControl->client[i].ready.load() < level) return false;
    return true;
}

// What one traffic run measured.
struct Traffic {
    std::string error;
    double rate = 0;
    uint64_t expected = 0, delivered = 0, copiesExpected = 0, copies = 0, sent = 0;
};

// The run itself, once everybody is seated: the warm-up, the measured
// seconds, the drain, and the wait for everything sent to arrive.
void measureTraffic(const Workload &w, Traffic *t) {
    const int k = w.clients;
    gControl->phase.store(Run);
    sleepSeconds(gOpt.warmup);
    uint64_t d0 = sumOf(k, &Counters::delivered);
    int64_t t0 = nowNs();
    gControl->measuring.store(1);
    sleepSeconds(gOpt.seconds);
    gControl->measuring.store(0);
    uint64_t d1 = sumOf(k, &Counters::delivered);
    int64_t t1 = nowNs();
    t->rate = static_cast<double>(d1 - d0) / (static_cast<double>(t1 - t0) / 1e9);
    gControl->phase.store(Drain);
    if (!waitFor([&] { return allReady(k, 2); }, 10, k)) t->error = "clients did not stop";
    t->sent = sumOf(k, &Counters::sent);
    uint64_t sent0 = gControl->client[0].sent.load();
    t->expected = w.kind == Broadcast ? sent0 * static_cast<uint64_t>(k - 1) : t->sent;
    t->copiesExpected = w.kind == Broadcast ? sent0 : 0;
    waitFor(
        [&] {
            return sumOf(k, &Counters::delivered) >= t->expected &&
                   gControl->hub.hubCopies.load() >= t->copiesExpected;
        },
        15, k);
    t->delivered = sumOf(k, &Counters::delivered);
    t->copies = gControl->hub.hubCopies.load();
}

// W3's part of the run line, and its figures when the run was clean.
void reportRoundTrip(const Backend &b, bool clean) {
    const Counters &first = gControl->client[0];
    double p50 = static_cast<double>(first.rttP50ns.load()) / 1e3;
    double p99 = static_cast<double>(first.rttP99ns.load()) / 1e3;
    std::printf(" p50_us=%.1f p99_us=%.1f samples=%lld", p50, p99,
                static_cast<long long>(first.rttSamples.load()));
    if (clean && first.rttSamples.load() > 0) {
        gResults.push_back({"W3 round trip p50", "us", false, b.label, p50});
        gResults.push_back({"W3 round trip p99", "us", false, b.label, p99});
    }
}

// The table's row of a workload measured as a rate.
std::string rateRow(const Workload &w) {
    if (w.name == "W1p") return "W1 ring of 4, paced";
    if (w.name == "W1w") return "W1 ring of 4, window";
    if (w.name == "W2w") return "W2 broadcast to 7, window";
    if (w.name == "W6") return "W6 unicast beside a frozen member, paced";
    return "W5 ring of 4, paced, " + sizeLabel(w.size);
}

// A rate's part of the run line, and its figure when the run was clean.
void reportRate(const Backend &b, const Workload &w, double rate, bool clean) {
    const char *unit = w.kind == Broadcast ? "deliveries/s" : "msg/s";
    std::printf(" rate=%.0f unit=%s", rate, unit);
    if (!clean) return;
    gResults.push_back({rateRow(w), unit, true, b.label, rate});
    if (w.name == "W1p") // W5's 64 B point
        gResults.push_back({"W5 ring of 4, paced, 64 B", "msg/s", true, b.label, rate});
}

// Prints the run's line and records its figures when it was clean.
void reportTraffic(const Backend &b, const Workload &w, int run, const Traffic &t) {
    const int k = w.clients;
    uint64_t dropped = gControl->hub.dropped.load(); // the hub hears of every departure
    uint64_t lostConn = sumOf(k, &Counters::lostConnection);
    uint64_t bad = sumOf(k, &Counters::bad);
    int64_t lost = static_cast<int64_t>(t.expected + t.copiesExpected) -
                   static_cast<int64_t>(t.delivered + t.copies);
    bool clean = t.error.empty() && dropped == 0 && lostConn == 0 && bad == 0 && lost == 0;
    ++gRuns;
    if (!clean)
        gProblems.push_back(w.name + " " + b.label + " size " + std::to_string(w.size) + " run " +
                            std::to_string(run));

    std::printf("run workload=%s backend=%s size=%d clients=%d run=%d", w.name.c_str(),
                b.label.c_str(), w.size, k, run);
    if (w.kind == RoundTrip)
        reportRoundTrip(b, clean);
    else
        reportRate(b, w, t.rate, clean);
    std::printf(" sent=%llu delivered=%llu hub_copies=%llu lost=%lld dropped=%llu "
                "lost_connections=%llu bad=%llu%s%s\n",
                static_cast<unsigned long long>(t.sent),
                static_cast<unsigned long long>(t.delivered),
                static_cast<unsigned long long>(t.copies), static_cast<long long>(lost),
                static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(lostConn),
                static_cast<unsigned long long>(bad),
                t.error.empty() ? "" : " error=", t.error.empty() ? "" : t.error.c_str());
    std::fflush(stdout);
}

// One run of a traffic workload; prints its line and records its figures.
void runTraffic(const Backend &b, const Workload &w, int run) {
    resetControl();
    // A hub on the Internet is joined at its address there; a relayed one
    // writes the relay's address itself.
    if (b.path == PublicHub)
        std::snprintf(gControl->joinAt, sizeof gControl->joinAt, "%s", RelayServer);
    Children kids;
    const int k = w.clients;
    kids.start([&] { hubProcess(b, w); });
    for (int i = 0; i < k; ++i) kids.start([&, i] { clientProcess(b, w, i); });
    gControl->admitTarget.store(k);
    Traffic t;
    if (waitFor([&] { return gControl->admitted.load() == k && allReady(k, 1); }, 120, k))
        measureTraffic(w, &t);
    else
        t.error = "setup failed";
    reportTraffic(b, w, run, t);
    kids.finish();
}

// One run of W4: the hub's update timed with 0, then each count of idle members.
void runIdle(const Backend &b, int run) {
    resetControl();
    Children kids;
    Workload w{"W4", Idle, 0, 0, false};
    kids.start([&] { hubProcess(b, w); });
    kids.start([&] { membersProcess(b); });
    bool ok = waitFor([] { return gControl->hub.ready.load() == 1; }, 30, 0);
    double baseNs = -1;
    std::vector<int> counts{0};
    counts.insert(counts.end(), gOpt.idleCounts.begin(), gOpt.idleCounts.end());
    for (int n : counts) {
        if (!ok) break;
        gControl->admitTarget.store(n);
        // The lobby hub takes one member per search, at least 0.1 s each.
        ok = waitFor([&] { return gControl->admitted.load() == n; }, 30 + n * 0.5, 0);
        if (!ok) break;
        sleepSeconds(0.3); // the joins' notices leave the queues
        int request = gControl->measureRequest.load() + 1;
        gControl->measureRequest.store(request);
        ok = waitFor([&] { return gControl->measureDone.load() == request; }, gOpt.seconds + 30, 0);
        if (!ok) break;
        double ns = static_cast<double>(gControl->updatePs.load()) / 1e3;
        if (n == 0) {
            baseNs = ns;
            continue;
        }
        bool clean = gControl->hub.dropped.load() == 0;
        ++gRuns;
        if (!clean)
            gProblems.push_back("W4 " + b.label + " members " + std::to_string(n) + " run " +
                                std::to_string(run));
        std::printf(
            "run workload=W4 backend=%s members=%d run=%d update_ns=%.1f ns_per_member=%.2f "
            "empty_update_ns=%.1f dropped=%llu\n",
            b.label.c_str(), n, run, ns, ns / n, baseNs,
            static_cast<unsigned long long>(gControl->hub.dropped.load()));
        std::fflush(stdout);
        if (clean)
            gResults.push_back(
                {"W4 idle update per member, " + std::to_string(n), "ns", false, b.label, ns / n});
    }
    if (!ok) {
        ++gRuns;
        gProblems.push_back("W4 " + b.label + " run " + std::to_string(run));
        std::printf("run workload=W4 backend=%s run=%d error=setup-or-measure-failed\n",
                    b.label.c_str(), run);
        std::fflush(stdout);
    }
    kids.finish();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string human(double v, const std::string &unit) {
    char b[64];
    if (unit == "us" || unit == "ns")
        std::snprintf(b, sizeof b, "%.1f %s", v, unit.c_str());
    else if (v >= 1e6)
        std::snprintf(b, sizeof b, "%.2f M", v / 1e6);
    else if (v >= 1e4)
        std::snprintf(b, sizeof b, "%.0f k", v / 1e3);
    else
        std::snprintf(b, sizeof b, "%.0f", v);
    return b;
}

void printChecks() {
    std::printf(
        "checks: %d of %d runs clean (no receiver dropped, every message arrived, intact)%s\n",
        gRuns - static_cast<int>(gProblems.size()), gRuns, gProblems.empty() ? "" : "; not clean:");
    for (const std::string &p : gProblems) std::printf("  %s\n", p.c_str());
}

// Rows by name, except that W4 and W5 rows go by their number.
bool rowBefore(const std::string &a, const std::string &b) {
    if ((a.rfind("W4", 0) == 0 && b.rfind("W4", 0) == 0) ||
        (a.rfind("W5", 0) == 0 && b.rfind("W5", 0) == 0)) {
        auto number = [](const std::string &s) {
            size_t at = s.find_last_of(',');
            double n = std::atof(s.c_str() + at + 1);
            return s.find("KiB") != std::string::npos ? n * 1024 : n;
        };
        return number(a) < number(b);
    }
    return a < b;
}

// The results by row and backend, and which comparisons the table has.
struct Table {
    std::vector<std::string> rows;
    std::map<std::string, const Result *> rowInfo;
    std::map<std::pair<std::string, std::string>, std::vector<double>> values;
    std::vector<std::string> libs; // this library's builds
    bool haveEnet = false, haveRaw = false;
};

Table tableOf(const std::vector<Result> &results) {
    Table t;
    for (const Result &r : results) {
        if (!t.rowInfo.count(r.row)) {
            t.rows.push_back(r.row);
            t.rowInfo[r.row] = &r;
        }
        t.values[{r.row, r.backend}].push_back(r.value);
    }
    std::sort(t.rows.begin(), t.rows.end(), rowBefore);
    for (const Backend &b : gOpt.backends)
        if (b.kind == Lobbylink) t.libs.push_back(b.label);
    for (const Backend &b : gOpt.backends) t.haveEnet |= b.kind == Enet, t.haveRaw |= b.kind == Raw;
    return t;
}

void printMedians(Table &t) {
    std::vector<Backend> all = gOpt.backends;
    all.insert(all.end(), gOpt.privateBackends.begin(), gOpt.privateBackends.end());
    all.insert(all.end(), gOpt.relayBackends.begin(), gOpt.relayBackends.end());
    for (const std::string &row : t.rows) {
        for (const Backend &b : all) {
            auto it = t.values.find({row, b.label});
            if (it == t.values.end()) continue;
            std::printf("median row=\"%s\" backend=%s value=%.3f unit=%s runs=%zu\n", row.c_str(),
                        b.label.c_str(), median(it->second), t.rowInfo[row]->unit.c_str(),
                        it->second.size());
        }
    }
}

void printHead(const Table &t) {
    std::printf("\n| workload | unit |");
    for (const Backend &b : gOpt.backends) std::printf(" %s |", b.label.c_str());
    for (const std::string &l : t.libs) {
        if (t.haveEnet) std::printf(" %s / ENet |", l.c_str());
        if (t.haveRaw) std::printf(" %s / raw |", l.c_str());
    }
    std::printf("\n|---|---|");
    for (size_t i = 0;
         i < gOpt.backends.size() + t.libs.size() * ((t.haveEnet ? 1 : 0) + (t.haveRaw ? 1 : 0));
         ++i)
        std::printf("---|");
    std::printf("\n");
}

// One row: each backend's median, then each build's ratio to the others.
void printRow(Table &t, const std::string &row) {
    const Result *info = t.rowInfo[row];
    std::printf("| %s | %s%s |", row.c_str(), info->unit.c_str(),
                info->higherIsBetter ? "" : " (lower is better)");
    std::map<std::string, double> med;
    for (const Backend &b : gOpt.backends) {
        auto it = t.values.find({row, b.label});
        if (it == t.values.end()) {
            std::printf(" - |");
            continue;
        }
        med[b.label] = median(it->second);
        std::printf(" %s |", human(med[b.label], info->unit).c_str());
    }
    for (const std::string &l : t.libs) {
        for (BackendKind other : {Enet, Raw}) {
            if ((other == Enet && !t.haveEnet) || (other == Raw && !t.haveRaw)) continue;
            std::string o = backendName(other);
            if (med.count(l) && med.count(o) && med[o] > 0)
                std::printf(" %.2f× |", med[l] / med[o]);
            else
                std::printf(" - |");
        }
    }
    std::printf("\n");
}

void printTable() {
    Table t = tableOf(gResults);
    printMedians(t);
    printHead(t);
    for (const std::string &row : t.rows) printRow(t, row);
}

// The median of a row's runs of one backend; -1 when it has none.
double medianOf(const std::string &row, const std::string &label) {
    std::vector<double> v;
    for (const Result &r : gResults)
        if (r.row == row && r.backend == label) v.push_back(r.value);
    return v.empty() ? -1.0 : median(v);
}

std::string ratioText(double a, double b) {
    char s[32];
    std::snprintf(s, sizeof s, a > 0 && b > 0 ? "%.2f×" : "-", a / b);
    return s;
}

std::string humanOr(double v, const std::string &unit) { return v < 0 ? "-" : human(v, unit); }

// The rows (with their units) that a backend labelled ...`suffix` measured.
std::vector<std::pair<std::string, std::string>> rowsWith(const char *suffix) {
    std::vector<std::pair<std::string, std::string>> rows;
    for (const Result &r : gResults) {
        std::pair<std::string, std::string> row{r.row, r.unit};
        if (r.backend.find(suffix) != std::string::npos &&
            std::find(rows.begin(), rows.end(), row) == rows.end())
            rows.push_back(row);
    }
    return rows;
}

std::string withoutSuffix(const std::string &label, const char *suffix) {
    return label.substr(0, label.size() - std::strlen(suffix));
}

// Each library's private lobby beside its open lobby and ENet (which seals
// nothing), with the goals: at least 0.6 times the open lobby, at least
// twice ENet.
void printPrivateTable() {
    auto rows = rowsWith(PrivateSuffix);
    if (rows.empty()) return;
    for (const Backend &p : gOpt.privateBackends) {
        std::string open = withoutSuffix(p.label, PrivateSuffix);
        std::printf("\n| private lobby | unit | %s | %s | ENet | %s / %s (goal 0.6×) | %s / ENet "
                    "(goal 2×) |\n"
                    "|---|---|---|---|---|---|---|\n",
                    p.label.c_str(), open.c_str(), p.label.c_str(), open.c_str(), p.label.c_str());
        for (const auto &row : rows) {
            double v = medianOf(row.first, p.label), o = medianOf(row.first, open),
                   e = medianOf(row.first, "ENet");
            if (v < 0) continue;
            std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", row.first.c_str(),
                        row.second.c_str(), human(v, row.second).c_str(),
                        humanOr(o, row.second).c_str(), humanOr(e, row.second).c_str(),
                        ratioText(v, o).c_str(), ratioText(v, e).c_str());
        }
    }
}

// Each library hosting through the relay beside the same hub joined
// directly, the clients in the same places, and beside its loopback runs.
void printRelayTable() {
    auto rows = rowsWith(RelaySuffix);
    if (rows.empty()) return;
    for (const Backend &r : gOpt.relayBackends) {
        if (r.path != RelayedHub) continue;
        std::string lib = withoutSuffix(r.label, RelaySuffix), direct = lib + DirectSuffix;
        std::printf("\n| through a relay | unit | %s | %s | %s (loopback) | %s / %s |\n"
                    "|---|---|---|---|---|---|\n",
                    r.label.c_str(), direct.c_str(), lib.c_str(), r.label.c_str(), direct.c_str());
        for (const auto &row : rows) {
            double v = medianOf(row.first, r.label), d = medianOf(row.first, direct);
            if (v < 0) continue;
            std::printf("| %s | %s | %s | %s | %s | %s |\n", row.first.c_str(), row.second.c_str(),
                        human(v, row.second).c_str(), humanOr(d, row.second).c_str(),
                        humanOr(medianOf(row.first, lib), row.second).c_str(),
                        ratioText(v, d).c_str());
        }
    }
}

// The backends a workload runs on: each library's private lobby after its
// open one, for the workloads that also run in a private lobby.
std::vector<Backend> backendsFor(const Workload &w) {
    bool alsoPrivate = std::find(gOpt.privateWorkloads.begin(), gOpt.privateWorkloads.end(),
                                 w.name) != gOpt.privateWorkloads.end();
    bool alsoRelayed = std::find(gOpt.relayWorkloads.begin(), gOpt.relayWorkloads.end(), w.name) !=
                       gOpt.relayWorkloads.end();
    std::vector<Backend> out;
    for (const Backend &b : gOpt.backends) {
        out.push_back(b);
        if (b.kind != Lobbylink || w.kind == Idle) continue;
        for (const Backend &p : gOpt.privateBackends)
            if (alsoPrivate && p.library == b.library) out.push_back(p);
        for (const Backend &r : gOpt.relayBackends)
            if (alsoRelayed && r.library == b.library) out.push_back(r);
    }
    return out;
}

std::string machine() {
    std::string model = "unknown CPU";
    std::ifstream cpu("/proc/cpuinfo");
    for (std::string line; std::getline(cpu, line);)
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    double memGiB = static_cast<double>(sysconf(_SC_PHYS_PAGES)) *
                    static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024 * 1024);
    utsname u;
    uname(&u);
    double load[1] = {0};
    getloadavg(load, 1);
    char b[512];
    std::snprintf(b, sizeof b, "%s, %ld cores, %.0f GiB, Linux %s, load %.2f at start",
                  model.c_str(), cores, memGiB, u.release, load[0]);
    return b;
}

void usage() {
    std::printf(
        "usage: ll_sidebyside --lib [LABEL=]PATH ... [options]\n"
        "  --lib [LABEL=]PATH     this library's shared object (repeat to compare builds;\n"
        "                         default label lobbylink)\n"
        "  --backends LIST        lobbylink,enet,raw (default: all built in)\n"
        "  --workloads LIST       W1p,W1w,W2w,W3,W4,W5,W6 (default: all)\n"
        "  --private LIST         workloads also run in a private lobby (default W1w,W2w;\n"
        "                         none: no private lobby)\n"
        "  --relay-net PREFIX     the relay network of tests/turn/turn.sh, up under PREFIX:\n"
        "                         also run workloads with the hub there on the Internet and\n"
        "                         behind a NAT through coturn (its REST user: --relay-user,\n"
        "                         the password in the variable LL_BENCH_RELAY_PASSWORD)\n"
        "  --relay-user USER      the relay server's user\n"
        "  --relayed LIST         workloads also run in the relay network (default W1w,W3)\n"
        "  --runs N               runs of each figure, the median is reported (default 3)\n"
        "  --seconds S            measured time of each run (default 2)\n"
        "  --sizes LIST           W5 text sizes besides 64 (default 16,256,1024,4096,16384)\n"
        "  --idle LIST            W4 member counts (default 50,200)\n"
        "  --hub-always-busy      hubs never yield (to see what yielding costs them)\n"
        "  --shared-network       stay in this network namespace (default: a private one)\n");
}

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= s.size()) {
        size_t comma = s.find(',', at);
        if (comma == std::string::npos) comma = s.size();
        if (comma > at) out.push_back(s.substr(at, comma - at));
        at = comma + 1;
    }
    return out;
}

std::vector<int> numbers(const std::string &s, int most) {
    std::vector<int> out;
    for (const std::string &v : split(s)) out.push_back(std::min(most, std::atoi(v.c_str())));
    return out;
}

// The command line: options into gOpt, the libraries and the backends asked
// for. -1 to go on, else the exit code.
int parseArgs(int argc, char **argv, std::vector<std::string> *libs,
              std::vector<std::string> *kinds, bool *sharedNetwork) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--lib")
            libs->push_back(value());
        else if (a == "--backends")
            *kinds = split(value());
        else if (a == "--workloads")
            gOpt.workloads = split(value());
        else if (a == "--private")
            gOpt.privateWorkloads = split(value());
        else if (a == "--relay-net")
            gOpt.relayNet = value();
        else if (a == "--relay-user")
            gOpt.relay.user = value();
        else if (a == "--relayed")
            gOpt.relayWorkloads = split(value());
        else if (a == "--runs")
            gOpt.runs = std::max(1, std::atoi(value().c_str()));
        else if (a == "--seconds")
            gOpt.seconds = std::max(0.1, std::atof(value().c_str()));
        else if (a == "--sizes")
            gOpt.sizes = numbers(value(), std::numeric_limits<int>::max());
        else if (a == "--idle")
            gOpt.idleCounts = numbers(value(), MaxMembers);
        else if (a == "--hub-always-busy")
            gOpt.hubAlwaysBusy = true;
        else if (a == "--shared-network")
            *sharedNetwork = true;
        else {
            usage();
            return a == "--help" ? 0 : 2;
        }
    }
    return -1;
}

// This library's builds, each [LABEL=]PATH; 0, or the exit code of a mistake.
int addLibraries(const std::vector<std::string> &libs) {
    if (libs.empty()) {
        std::fprintf(stderr, "ll_sidebyside: --lib PATH is needed for the lobbylink backend\n");
        return 2;
    }
    for (const std::string &l : libs) {
        size_t eq = l.find('=');
        std::string label = eq == std::string::npos ? "lobbylink" : l.substr(0, eq);
        std::string path = eq == std::string::npos ? l : l.substr(eq + 1);
        if (access(path.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "ll_sidebyside: cannot read %s\n", path.c_str());
            return 2;
        }
        gOpt.backends.push_back({Lobbylink, label, path, "", Loopback});
        gOpt.privateBackends.push_back(
            {Lobbylink, label + PrivateSuffix, path, BenchSecret, Loopback});
        if (gOpt.relayNet.empty()) continue;
        gOpt.relayBackends.push_back({Lobbylink, label + DirectSuffix, path, "", PublicHub});
        gOpt.relayBackends.push_back({Lobbylink, label + RelaySuffix, path, "", RelayedHub});
    }
    return 0;
}

// The backends asked for, into gOpt; 0, or the exit code of a mistake.
int addBackends(const std::vector<std::string> &kinds, const std::vector<std::string> &libs) {
    for (const std::string &k : kinds) {
        if (k == "lobbylink") {
            if (int code = addLibraries(libs)) return code;
        } else if (k == "enet") {
            if (enetAvailable())
                gOpt.backends.push_back({Enet, "ENet", "", "", Loopback});
            else
                std::printf("note: ENet skipped: built without libenet-dev (apt-get install "
                            "libenet-dev, then rebuild)\n");
        } else if (k == "raw") {
            gOpt.backends.push_back({Raw, "raw", "", "", Loopback});
        } else {
            std::fprintf(stderr, "ll_sidebyside: unknown backend %s\n", k.c_str());
            return 2;
        }
    }
    return 0;
}

// The workloads asked for, in their order; false for an unknown one.
bool planOf(std::vector<Workload> *plan) {
    for (const std::string &name : gOpt.workloads) {
        if (name == "W1p")
            plan->push_back({"W1p", Ring, 4, 64, false});
        else if (name == "W1w")
            plan->push_back({"W1w", Ring, 4, 64, true});
        else if (name == "W2w")
            plan->push_back({"W2w", Broadcast, 8, 64, true});
        else if (name == "W3")
            plan->push_back({"W3", RoundTrip, 2, 64, false});
        else if (name == "W4")
            plan->push_back({"W4", Idle, 0, 0, false});
        else if (name == "W6")
            plan->push_back({"W6", Frozen, 4, 64, false});
        else if (name == "W5")
            for (int s : gOpt.sizes) plan->push_back({"W5", Ring, 4, s, false});
        else {
            std::fprintf(stderr, "ll_sidebyside: unknown workload %s\n", name.c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> libs, kinds{"lobbylink", "enet", "raw"};
    bool sharedNetwork = false;
    int exitCode = parseArgs(argc, argv, &libs, &kinds, &sharedNetwork);
    if (exitCode >= 0) return exitCode;
    if (!gOpt.relayNet.empty()) {
        const char *password = std::getenv(RelayPasswordVariable);
        gOpt.relay = {RelayServer, gOpt.relay.user, password ? password : ""};
    } else {
        std::printf("note: no runs through a relay: give --relay-net (scripts/bench.sh does, as "
                    "root with coturn installed)\n");
    }
    if (int code = addBackends(kinds, libs)) return code;
    if (!sharedNetwork) {
        std::string why;
        if (!enterPrivateNetwork(&why)) {
            std::fprintf(stderr,
                         "ll_sidebyside: no private network namespace (%s); run as root, or pass "
                         "--shared-network to use this machine's loopback and port %d\n",
                         why.c_str(), Port);
            return 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    void *shared =
        mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return 1;
    gControl = static_cast<Control *>(shared);

    std::printf("machine: %s\n", machine().c_str());
    std::printf("settings: runs=%d seconds=%.1f warmup=%.1f hub_yield=%s\n", gOpt.runs,
                gOpt.seconds, gOpt.warmup, gOpt.hubAlwaysBusy ? "never" : "when idle");
    std::fflush(stdout);

    std::vector<Workload> plan;
    if (!planOf(&plan)) return 2;
    // Runs interleave the backends, so a change in the machine's load falls
    // on all of them alike.
    for (const Workload &w : plan)
        for (int run = 1; run <= gOpt.runs; ++run)
            for (const Backend &b : backendsFor(w)) {
                if (w.kind == Idle)
                    runIdle(b, run);
                else
                    runTraffic(b, w, run);
            }
    printTable();
    printPrivateTable();
    printRelayTable();
    printChecks();
    return gProblems.empty() ? 0 : 3;
}
