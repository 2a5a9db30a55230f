// The private lobby's door under a flood of strangers: a stress tool that
// prints figures, never run by the test command.
//
// A lobby host agent (tests/agents: the Linux build, and the Windows DLL
// under Wine where it is built) opens a private lobby and keeps searching.
// Strangers (tests/agents/agent/strangers.h) connect from one address or from 50 (127.0.0.x),
// each sending one byte and holding its connection, or sending garbage, at
// 100 and at 500 a second. After a warm-up that fills the door, a player
// who knows the secret (a Linux agent) joins and leaves, again and again,
// each join timed from p2pConnect to its answer. Each row gives the joins
// that worked within 2 s, the median and the slowest join, each as a ratio
// to the same joins without a flood (the first row, in the same run), the
// errors of the joins that failed, and the lobby host's CPU over the flood
// (share of one core; under Wine its process and, after "+", its
// wineserver, which carries Wine's sockets).
//
// It moves into a network namespace of its own (as root), where its
// wineserver is the only one:
//   build/bench/ll_door_stress [--joins N] [--warmup S] [--builds linux,windows]
#include "agent/strangers.h"
#include "agents/agentkit.h"
#include "netns_here.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using agents::Agent;
using agents::Build;
using Clock = std::chrono::steady_clock;

int joins = 8;
int warmupS = 3;
std::vector<Build> builds;
const std::string Secret = "q7R-pX2m-Kd9w";

// CPU time of a process so far, in clock ticks; 0 when it is not there.
long cpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(in, line)) return 0;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip; // state .. cmajflt
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
}

// The wineserver of this network namespace (0 when none runs).
pid_t wineserverHere() {
    char self[64] = {}, other[64] = {};
    if (readlink("/proc/self/ns/net", self, sizeof self - 1) < 0) return 0;
    DIR *proc = opendir("/proc");
    pid_t found = 0;
    while (dirent *e = proc ? readdir(proc) : nullptr) {
        pid_t pid = std::atoi(e->d_name);
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        std::memset(other, 0, sizeof other);
        std::string ns = "/proc/" + std::to_string(pid) + "/ns/net";
        if (pid > 0 && std::getline(comm, name) && name.compare(0, 10, "wineserver") == 0 &&
            readlink(ns.c_str(), other, sizeof other - 1) > 0 && std::strcmp(self, other) == 0)
            found = pid;
    }
    if (proc) closedir(proc);
    return found;
}

struct Row {
    std::string strangers, sources, rate;
    int worked = 0, within = 0;
    std::vector<long> ms;
    std::map<std::string, int> errors;
    double hostCpu = 0, serverCpu = -1;
    long median() const {
        std::vector<long> m = ms;
        std::sort(m.begin(), m.end());
        return m.empty() ? 0 : m[m.size() / 2];
    }
    long slowest() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

// The player's joins, one after another, each admitted by a new search of
// the lobby host and left again; the lobby host's CPU over the whole row.
void measure(Agent &host, Agent &player, Row *row) {
    pid_t server = host.build() == Build::Windows ? wineserverHere() : 0;
    long hostStart = cpuTicks(host.pid()), serverStart = cpuTicks(server);
    auto start = Clock::now();
    host.call("p2pSearchClient"); // the door is open to the strangers from the start
    std::this_thread::sleep_for(std::chrono::seconds(warmupS));
    for (int j = 0; j < joins; ++j) {
        host.call("p2pSearchClient"); // 0 while the last one still runs
        auto asked = Clock::now();
        agents::Reply r = player.call(
            "p2pConnect", {{"address", "127.0.0.1"}, {"user", "ann"}, {"secret", Secret}});
        long ms = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count());
        bool ok = r.i("result") == 1 && host.poll("p2pNumClients", 1, 5000);
        row->ms.push_back(ms);
        row->worked += ok ? 1 : 0;
        row->within += ok && ms <= 2000 ? 1 : 0;
        if (!ok) ++row->errors[r.i("result") == 1 ? "not admitted" : r.s("error")];
        player.null("p2pDisconnect");
        host.poll("p2pNumClients", 0, 5000);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    auto share = [&](long ticks) { return 100.0 * static_cast<double>(ticks) / tick / seconds; };
    row->hostCpu = share(cpuTicks(host.pid()) - hostStart);
    if (server) row->serverCpu = share(cpuTicks(server) - serverStart);
}

std::string ratio(long value, long reference) {
    char out[32];
    std::snprintf(out, sizeof out, "%.1f×",
                  reference ? static_cast<double>(value) / static_cast<double>(reference) : 0);
    return out;
}

void print(Build build, const std::vector<Row> &rows) {
    std::printf("\n%s lobby host, %d joins per row after a %d s warm-up\n\n",
                agents::buildName(build), joins, warmupS);
    std::printf("| strangers | from | per second (made) | joined within 2 s | median join | "
                "slowest join | lobby host CPU | joins that failed |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const Row &ref = rows.front();
    for (const Row &r : rows) {
        std::string failed, cpu;
        for (const auto &e : r.errors) failed += e.first + " ×" + std::to_string(e.second) + " ";
        char c[48];
        std::snprintf(c, sizeof c, r.serverCpu >= 0 ? "%.0f%% + %.0f%%" : "%.0f%%", r.hostCpu,
                      r.serverCpu);
        std::printf("| %s | %s | %s | %d/%d | %ld ms (%s) | %ld ms (%s) | %s | %s |\n",
                    r.strangers.c_str(), r.sources.c_str(), r.rate.c_str(), r.within, joins,
                    r.median(), ratio(r.median(), ref.median()).c_str(), r.slowest(),
                    ratio(r.slowest(), ref.slowest()).c_str(), c,
                    failed.empty() ? "-" : failed.c_str());
    }
    std::fflush(stdout);
}

bool runBuild(Build build) {
    Agent host(build, "lobby host"), player(Build::Linux, "player");
    host.call("p2pInit");
    player.call("p2pInit");
    if (!host.alive() || !player.alive() ||
        host.call("p2pCreateLobby", {{"user", "gold"}, {"secret", Secret}}).i("result") != 1) {
        std::fprintf(stderr, "the %s lobby host or the player did not start\n",
                     agents::buildName(build));
        return false;
    }
    host.update(true);
    std::vector<Row> rows(1);
    rows[0].strangers = "none (reference)";
    measure(host, player, &rows[0]);
    int source = 200; // a fresh address for each one-address flood
    for (bool garbage : {false, true})
        for (int sources : {1, 50})
            for (int rate : {100, 500}) {
                flood::StrangerPlan plan;
                plan.perSecond = rate;
                plan.sources = sources;
                plan.firstSource = sources == 1 ? source++ : 10;
                plan.say = {garbage ? std::string(40, '\x01') : std::string("\x16")};
                Row row;
                row.strangers = garbage ? "40 bytes of garbage" : "1 byte, then silent";
                row.sources = sources == 1 ? "1 address" : "50 addresses";
                {
                    flood::Strangers strangers(plan);
                    measure(host, player, &row);
                    strangers.stop();
                    char made[48];
                    std::snprintf(made, sizeof made, "%d (%.0f)", rate, strangers.perSecond());
                    row.rate = made;
                }
                rows.push_back(row);
                std::this_thread::sleep_for(std::chrono::seconds(1)); // the door empties
            }
    print(build, rows);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    std::string why;
    if (!enterPrivateNetwork(&why)) {
        std::fprintf(stderr, "ll_door_stress: %s (run it as root)\n", why.c_str());
        return 2;
    }
    builds = agents::builds();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--joins") joins = std::max(1, std::atoi(v.c_str()));
        if (a == "--warmup") warmupS = std::max(0, std::atoi(v.c_str()));
        if (a == "--builds") {
            builds.clear();
            if (v.find("linux") != std::string::npos) builds.push_back(Build::Linux);
            if (v.find("windows") != std::string::npos && agents::haveWindows())
                builds.push_back(Build::Windows);
        }
    }
    bool ok = true;
    for (Build b : builds) ok = runBuild(b) && ok;
    return ok ? 0 : 1;
}
