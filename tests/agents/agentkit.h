// Driving lobby agents (agents/agent) from a test: each agent is a process
// that loads the library by file name, natively or as the 32-bit or the
// 64-bit Windows build under Wine, and answers one line per request.
#pragma once

#include "support/testkit.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace agents {

enum class Build { Linux, Windows, Windows64 };
const char *buildName(Build b);
// False where the Windows builds were not configured (LL_WINDOWS off).
bool haveWindows();
// The builds to run a suite against: Linux, and Windows where configured.
std::vector<Build> builds();
// Test names for a suite instantiated over builds().
struct BuildName {
    std::string operator()(const ::testing::TestParamInfo<Build> &i) const {
        return buildName(i.param);
    }
};

// An entry of a request's dictionary: an integer or a text.
struct Arg {
    std::string key, value;
    Arg(const char *k, int v) : key(k), value(std::to_string(v)) {}
    Arg(const char *k, const std::string &text);
    Arg(const char *k, const char *text) : Arg(k, std::string(text)) {}
};

// One answer line: "ok" or "err", then KEY=VALUE fields.
struct Reply {
    std::string line;
    bool ok = false;
    std::vector<std::pair<std::string, std::string>> fields;
    bool has(const std::string &key) const;
    int i(const std::string &key) const;           // an integer field (0 if absent)
    std::string s(const std::string &key) const;   // a text field ("<none>" if absent)
    std::string raw(const std::string &key) const; // a field as written
    std::vector<std::string> all(const std::string &key) const;
    std::vector<kit::Msg> msgs() const; // the m= fields of take
};
std::ostream &operator<<(std::ostream &os, const Reply &r);

std::string hexText(const std::string &text); // "x" and the hex of the text

// Runs a shell command; what it printed, stderr included.
std::string run(const std::string &command);

class Agent {
  public:
    // Starts an agent of the given build; `who` names it in failure messages.
    Agent(Build build, std::string who);
    ~Agent();
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    Build build() const { return build_; }
    const std::string &who() const { return who_; }
    bool alive() const { return up_; }
    pid_t pid() const { return pid_; } // the agent's process (under Wine: wine's)

    // A request and its answer (a failed Reply when none came within `ms`).
    Reply req(const std::string &line, int ms = 20000);
    // The two halves, to keep several agents busy at once.
    void send(const std::string &line);
    Reply answer(int ms = 20000);

    Reply call(const std::string &name, const std::vector<Arg> &args = {}, int ms = 20000);
    int null(const std::string &name); // the export with a null dictionary; its return value
    // Inbox entries: at least n within ms, and whatever else is there.
    std::vector<kit::Msg> take(int n, int ms = 15000);
    // The export (null dictionary) until it returns `value`; true when it did.
    bool poll(const std::string &name, int value, int ms = 15000);
    void update(bool on);
    // p2pSend of one text.
    void say(int id, int rcv, const std::string &text);
    // Asks the agent to quit and waits for it: its exit status (128 + signal
    // when killed by one, -1 when it had to be killed).
    int quit(int ms = 10000);

  private:
    Build build_;
    std::string who_;
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    bool up_ = false;
    std::string buffered_;
    int status_ = -1;
    int reap(int ms);
};

// An agent started inside the named network namespace (/run/netns/NAME):
// this process enters it for the start and comes back. Null, with a test
// failure, when it cannot.
std::unique_ptr<Agent> agentIn(const std::string &netns, Build build, const std::string &who);

} // namespace agents
