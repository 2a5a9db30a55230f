// lobbylink-chat demo: a lobby host and three clients, each a process of this
// same program talking over this machine's loopback, with their input and
// output on pipes. The demo types a short conversation into them step by
// step; each step waits until every line it should cause has appeared, in
// order, and anything else counts as unexpected. Then a private lobby: its
// secret, an invite code, goes to the processes in the variable scripts use.
// At the end it prints every participant's transcript.
#include "demo.h"

#include "lobbylink/lobbylink.h"
#include "platform.h"
#include "secret.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace chat {

namespace {

// Generous: under Wine every process takes a while to start.
const int StepDeadlineMs = 30000;

struct Participant {
    std::string label; // in the transcripts
    std::string name;  // in the lobby
    int id = 0;        // member id the lobby host gives it
    Child child;
    std::string partial; // output not yet ended by "\n"
    bool outputEnded = false;
    std::vector<std::string> transcript;
    std::vector<std::string> awaited; // lines the current step waits for, in order
    bool awaitExit = false;
    int expectedStatus = 0;
};

struct Demo {
    std::vector<std::string> command; // this program, with --lib if given
    std::vector<std::unique_ptr<Participant>> people;
    std::vector<std::string> failures;
    int linesChecked = 0;
};

std::string member(const Participant *p) { return p->name + " [" + std::to_string(p->id) + "]"; }

void step(Demo &d, const char *what) {
    if (d.failures.empty()) std::printf("demo: %s\n", what);
    std::fflush(stdout);
}

Participant *start(Demo &d, const std::string &label, const std::string &name, int id,
                   const std::vector<std::string> &args) {
    d.people.emplace_back(new Participant);
    Participant *p = d.people.back().get();
    p->label = label;
    p->name = name;
    p->id = id;
    std::vector<std::string> argv = d.command;
    std::string shown = "$ lobbylink-chat";
    for (const std::string &a : args) {
        argv.push_back(a);
        shown += " " + a;
    }
    p->transcript.push_back(shown);
    if (!d.failures.empty()) return p;
    std::string error;
    if (!childStart(&p->child, argv, &error)) {
        d.failures.push_back(label + ": cannot start: " + error);
        p->outputEnded = true;
    }
    return p;
}

void type(Demo &d, Participant *p, const std::string &line) {
    if (!d.failures.empty()) return;
    p->transcript.push_back("> " + line);
    if (!childWrite(&p->child, line + "\n"))
        d.failures.push_back(p->label + ": cannot type into it");
}

void expect(Participant *p, const std::string &line) { p->awaited.push_back(line); }

void expectExit(Participant *p, int status) {
    p->awaitExit = true;
    p->expectedStatus = status;
}

void takeLine(Demo &d, Participant *p, std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    p->transcript.push_back(line);
    if (!p->awaited.empty() && p->awaited.front() == line) {
        p->awaited.erase(p->awaited.begin());
        ++d.linesChecked;
    } else {
        d.failures.push_back(p->label + ": unexpected line: " + line);
    }
}

// Reads what the participant has written; true when anything came.
bool collect(Demo &d, Participant *p) {
    if (p->outputEnded) return false;
    char bytes[4096];
    int n = childRead(&p->child, bytes, sizeof bytes);
    if (n < 0) {
        p->outputEnded = true;
        if (!p->partial.empty()) takeLine(d, p, p->partial);
        p->partial.clear();
        return true;
    }
    p->partial.append(bytes, static_cast<size_t>(n));
    for (size_t nl; (nl = p->partial.find('\n')) != std::string::npos;) {
        takeLine(d, p, p->partial.substr(0, nl));
        p->partial.erase(0, nl + 1);
    }
    return n > 0;
}

bool waiting(Participant *p) {
    if (!p->awaited.empty()) return true;
    return p->awaitExit && (!p->outputEnded || !childEnded(&p->child));
}

// The step's deadline passed: every line and exit still awaited is a failure.
void reportMissing(Demo &d) {
    for (auto &p : d.people) {
        for (const std::string &line : p->awaited)
            d.failures.push_back(p->label + ": missing line: " + line);
        if (p->awaitExit && p->child.running) d.failures.push_back(p->label + ": did not end");
    }
}

// Each participant that ended as awaited: its exit status checked and noted.
void takeExits(Demo &d) {
    for (auto &p : d.people) {
        if (!p->awaitExit || p->child.running) continue;
        if (p->child.status != p->expectedStatus)
            d.failures.push_back(p->label + ": exit status " + std::to_string(p->child.status) +
                                 ", expected " + std::to_string(p->expectedStatus));
        p->transcript.push_back("[exit status " + std::to_string(p->child.status) + "]");
        p->awaitExit = false;
    }
}

// Runs the step: waits until every awaited line and exit has come, or the
// deadline passes.
void settle(Demo &d) {
    if (!d.failures.empty()) return;
    uint64_t deadline = monotonicMs() + StepDeadlineMs;
    for (;;) {
        bool any = false, pending = false;
        for (auto &p : d.people) {
            any = collect(d, p.get()) || any;
            pending = waiting(p.get()) || pending;
        }
        if (!d.failures.empty() || interruptRequested() || !pending) break;
        if (monotonicMs() >= deadline) {
            reportMissing(d);
            break;
        }
        if (!any) sleepMs(5);
    }
    if (interruptRequested()) d.failures.push_back("interrupted");
    takeExits(d);
}

// A client joins: it sees its join start and end, then the lobby host and
// every member already there, each of whom sees it join.
Participant *join(Demo &d, const std::string &label, const std::string &name, int id,
                  const std::vector<Participant *> &present, bool secret = false) {
    Participant *p = secret ? start(d, label, name, id, {"join", "--private", name, "127.0.0.1"})
                            : start(d, label, name, id, {"join", name, "127.0.0.1"});
    const std::string lobby = secret ? " the private lobby" : " the lobby";
    expect(p, "* joining" + lobby + " at 127.0.0.1 as " + name);
    expect(p, "* joined" + lobby + " at 127.0.0.1 as " + name);
    for (Participant *o : present) {
        expect(p, "* " + member(o) + " joined");
        expect(o, "* " + member(p) + " joined");
    }
    return p;
}

// A broadcast: the sender sees it go, everybody else gets it.
void sayToAll(Demo &d, Participant *from, const std::string &text,
              const std::vector<Participant *> &to) {
    type(d, from, text);
    expect(from, "you -> everybody (id 1): " + text);
    for (Participant *p : to) expect(p, member(from) + " (id 1): " + text);
}

void leaves(Participant *who, const std::vector<Participant *> &remaining) {
    for (Participant *p : remaining) expect(p, "* " + member(who) + " left");
}

// `who` types /quit, exits 0, and the others see it leave.
void quits(Demo &d, Participant *who, const std::vector<Participant *> &remaining) {
    type(d, who, "/quit");
    expect(who, "* leaving the lobby");
    expectExit(who, 0);
    leaves(who, remaining);
    settle(d);
}

// gold hosts a private lobby with a fresh invite code in the variable; blue,
// with a wrong code, is refused; red, with the right one, joins and talks.
void privateLobby(Demo &d) {
    step(d, "gold opens a private lobby; blue brings a wrong secret, red the right one");
    std::string code;
    if (!makeInviteCode(&code)) d.failures.push_back("no invite code: the random source failed");
    setEnvironment(SecretVariable, code);
    Participant *gold = start(d, "gold, a private lobby", "gold", 1, {"host", "--private", "gold"});
    expect(gold, "* private lobby open on port " + std::to_string(LobbyPort) + " as gold");
    settle(d);
    setEnvironment(SecretVariable, "x" + code);
    Participant *blue =
        start(d, "blue, a wrong secret", "blue", 0, {"join", "--private", "blue", "127.0.0.1"});
    expect(blue, "* joining the private lobby at 127.0.0.1 as blue");
    expect(blue, "! cannot join the lobby at 127.0.0.1: the secret is wrong");
    expectExit(blue, 1);
    settle(d);
    setEnvironment(SecretVariable, code);
    Participant *red = join(d, "red, the secret known", "red", 2, {gold}, true);
    setEnvironment(SecretVariable, "");
    settle(d);
    type(d, red, "/who");
    expect(red, "* a private lobby: only players who know its secret join");
    expect(red, "- gold [1] lobby host");
    expect(red, "- red (you)");
    sayToAll(d, gold, "only we two can read this", {red});
    settle(d);
    quits(d, red, {gold});
    type(d, gold, "/quit");
    expect(gold, "* closing the lobby");
    expectExit(gold, 0);
    settle(d);
}

int report(Demo &d) {
    for (auto &p : d.people) {
        std::printf("\n=== %s\n", p->label.c_str());
        for (const std::string &line : p->transcript) std::printf("%s\n", line.c_str());
    }
    std::printf("\n");
    for (auto &p : d.people)
        if (p->child.running) childKill(&p->child);
    for (auto &p : d.people) childClose(&p->child);
    if (d.failures.empty()) {
        std::printf("demo: all %d expected lines arrived, nothing unexpected\n", d.linesChecked);
        return 0;
    }
    for (const std::string &f : d.failures) std::printf("demo FAILED: %s\n", f.c_str());
    return 1;
}

} // namespace

int runDemo(const std::string &library) {
    catchSignals();
    Demo d;
    d.command.push_back(executablePath());
    if (!library.empty()) {
        d.command.push_back("--lib");
        d.command.push_back(library);
    }

    step(d, "gold opens a lobby");
    Participant *gold = start(d, "gold, the lobby host", "gold", 1, {"host", "gold"});
    expect(gold, "* lobby open on port " + std::to_string(LobbyPort) + " as gold");
    settle(d);

    step(d, "red, blue and green join, one after the other");
    Participant *red = join(d, "red", "red", 2, {gold});
    settle(d);
    Participant *blue = join(d, "blue", "blue", 3, {gold, red});
    settle(d);
    Participant *green = join(d, "green", "green", 4, {gold, red, blue});
    settle(d);

    step(d, "red greets everybody");
    sayToAll(d, red, "hello everybody", {gold, blue, green});
    settle(d);

    step(d, "blue whispers to green alone, with message id 7");
    type(d, blue, "/id 7");
    expect(blue, "* message id is now 7");
    settle(d);
    type(d, blue, "/msg 4 psst, green: meet me at the well");
    expect(blue, "you -> green [4] (id 7): psst, green: meet me at the well");
    expect(green, "blue [3] (id 7): psst, green: meet me at the well");
    settle(d);

    step(d, "green writes to the lobby host only");
    type(d, green, "/host gold, may I take the gate?");
    expect(green, "you -> gold [1] (id 1): gold, may I take the gate?");
    expect(gold, "green [4] (id 1): gold, may I take the gate?");
    settle(d);

    step(d, "gold answers everybody and kicks green");
    sayToAll(d, gold, "no plotting at the well", {red, blue, green});
    settle(d);
    type(d, gold, "/kick 4");
    expect(gold, "* you kicked green [4]");
    leaves(green, {gold, red, blue});
    expect(green, "! lost the connection to the lobby host");
    expectExit(green, 1);
    settle(d);

    step(d, "blue leaves");
    quits(d, blue, {gold, red});

    step(d, "blue comes back and gets a new id");
    Participant *blueAgain = join(d, "blue, back again", "blue", 5, {gold, red});
    settle(d);
    sayToAll(d, blueAgain, "back again", {gold, red});
    settle(d);

    step(d, "everybody leaves");
    quits(d, red, {gold, blueAgain});
    quits(d, blueAgain, {gold});
    type(d, gold, "/quit");
    expect(gold, "* closing the lobby");
    expectExit(gold, 0);
    settle(d);

    privateLobby(d);
    return report(d);
}

} // namespace chat
