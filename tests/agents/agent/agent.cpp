// The lobby agent: a host application in miniature, steered by a test driver
// over stdin and stdout. It loads the library by file name the way a host
// does (dlopen or LoadLibrary, then the export names), builds its
// dictionaries with the host helpers, and executes one request per line,
// answering each with exactly one line, flushed at once. One source for the
// Linux executable and the 32-bit and 64-bit Windows ones.
//
// Usage: llagent LIBRARY
//
// Requests are words separated by single spaces. A VALUE is a decimal
// integer, or 'x' followed by the bytes of a text in hex ("x" alone is the
// empty text), so texts may hold any byte but 0 and be of any length.
//   call NAME [KEY=VALUE ...]   the export NAME on a fresh dictionary holding the
//                               given entries
//   null NAME                   the export NAME with a null dictionary
//   update on|off               with on, p2pUpdate runs about every millisecond while
//                               the agent waits for the next request and inside take
//                               and poll (off at start)
//   pump MS                     p2pUpdate about every millisecond for MS milliseconds
//   take N MS                   p2pRecv until N entries have come (or MS have passed),
//                               then everything else already in the inbox ("take 0 0":
//                               all that is there now)
//   poll NAME VALUE MS          NAME with a null dictionary until it returns VALUE (or
//                               MS have passed)
//   flood self=S count=N odd=R peers=P room=I,J,...
//                               the paced flood: N numbered texts (FloodData) as fast
//                               as p2pBuffer of each listed id allows (ms=T instead:
//                               for T ms, and at least number 0), even numbers to
//                               everybody and odd ones to R; then the
//                               count (FloodEnd) to everybody; then receives until P
//                               counts have come
//   unload                      FreeLibrary / dlclose, without terminating
//   wsastartup                  the host's own WSAStartup (elsewhere: nothing to do)
//   hostsocket                  opens and closes a TCP socket through the host's own
//                               socket library
//   slots                       each of the nine callback slots with a pointer of the
//                               agent's width whose every byte is set
//   sleep MS | ping
//   quit                        ends the process at once (exit status 0), without
//                               terminating the library
// Answers:
//   ok ret=R chain=C [KEY=VALUE ...]   call and null: the return value, the characters
//                                      of the root chain, and every key the request did
//                                      not give, in dictionary order
//   ok n=K [m=USR,ID,xHEX ...]         take: the entries in inbox order
//   ok ret=R                           poll: the last return value
//   ok bits=B bad=K                    slots: the pointer width, and how many slots did
//                                      not give that pointer back whole
//   ok sent=N bad=K [first=USR,ID,xHEX] [from=S:COUNT:q,q,...]   flood: what this member
//                                      sent, entries that were no expected flood text,
//                                      and per sender its count and the numbers that
//                                      arrived, in arrival order
//   err TEXT                           the request could not be carried out
// End of input ends the process like quit.
#include "common/hex.h"
#include "common/loader.h"
#include "common/platform.h"
#include "flood.h"
#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

using tools::MapCall;
using tools::sleepMs;

// ---- What the agent adds to the tools' shim ----------------------------------
// A thread that reads the requests with blocking reads (their pipe comes from
// the Linux test driver, which the shim's polling read cannot watch under
// Wine), and the host's own Winsock.

#ifdef _WIN32
struct Lock {
    CRITICAL_SECTION cs;
    CONDITION_VARIABLE cv;
    Lock() {
        InitializeCriticalSection(&cs);
        InitializeConditionVariable(&cv);
    }
    void lock() { EnterCriticalSection(&cs); }
    void unlock() { LeaveCriticalSection(&cs); }
    void signal() { WakeAllConditionVariable(&cv); }
    void wait(int ms) {
        SleepConditionVariableCS(&cv, &cs, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
    }
};

int readInput(char *buf, int size) {
    DWORD n = 0;
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, static_cast<DWORD>(size), &n, nullptr))
        return 0;
    return static_cast<int>(n);
}

DWORD WINAPI readerMain(LPVOID);
void startReader() { CloseHandle(CreateThread(nullptr, 0, readerMain, nullptr, 0, nullptr)); }

[[noreturn]] void quitNow() {
    std::fflush(stdout);
    ExitProcess(0);
}

int hostStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

// 0 when the host's own socket library opens a socket, else its error code.
int hostSocket() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    closesocket(s);
    return 0;
}
#else
struct Lock {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    void lock() { pthread_mutex_lock(&m); }
    void unlock() { pthread_mutex_unlock(&m); }
    void signal() { pthread_cond_broadcast(&cv); }
    void wait(int ms) {
        if (ms < 0) {
            pthread_cond_wait(&cv, &m);
            return;
        }
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        t.tv_nsec += static_cast<long>(ms) * 1000000L;
        t.tv_sec += t.tv_nsec / 1000000000L;
        t.tv_nsec %= 1000000000L;
        pthread_cond_timedwait(&cv, &m, &t);
    }
};

int readInput(char *buf, int size) {
    for (;;) {
        ssize_t n = read(0, buf, static_cast<size_t>(size));
        if (n >= 0) return static_cast<int>(n);
        if (errno != EINTR) return 0;
    }
}

void *readerMain(void *);
void startReader() {
    pthread_t t;
    pthread_create(&t, nullptr, readerMain, nullptr);
    pthread_detach(t);
}

[[noreturn]] void quitNow() {
    std::fflush(stdout);
    _exit(0);
}

int hostStartup() { return 0; }

int hostSocket() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return errno;
    close(s);
    return 0;
}
#endif

using Clock = std::chrono::steady_clock;

// ---- Requests from stdin, read by a thread of their own -----------------------

Lock inputLock;
std::deque<std::string> lines;
bool inputEnded = false;

void readLines() {
    std::string partial;
    static char buf[65536];
    for (;;) {
        int n = readInput(buf, sizeof buf);
        inputLock.lock();
        if (n <= 0) {
            inputEnded = true;
            inputLock.signal();
            inputLock.unlock();
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (buf[i] == '\n') {
                if (!partial.empty() && partial.back() == '\r') partial.pop_back();
                lines.push_back(partial);
                partial.clear();
            } else {
                partial.push_back(buf[i]);
            }
        }
        inputLock.signal();
        inputLock.unlock();
    }
}

#ifdef _WIN32
DWORD WINAPI readerMain(LPVOID) {
    readLines();
    return 0;
}
#else
void *readerMain(void *) {
    readLines();
    return nullptr;
}
#endif

// The next request; false when none came within `ms` (< 0: no limit) or input ended.
bool nextLine(std::string *out, int ms) {
    inputLock.lock();
    if (lines.empty() && !inputEnded) inputLock.wait(ms);
    bool got = !lines.empty();
    if (got) {
        *out = lines.front();
        lines.pop_front();
    } else if (inputEnded) {
        inputLock.unlock();
        quitNow();
    }
    inputLock.unlock();
    return got;
}

void answer(const std::string &line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// ---- Texts and dictionaries --------------------------------------------------------

// A text as a request or answer carries it: 'x' and its bytes in hex.
std::string hex(const std::string &s) { return "x" + tools::toHex(s); }

// The text of a hex value; false for anything else, and for a 0 byte.
bool unhex(const std::string &h, std::string *out) {
    return !h.empty() && h[0] == 'x' && tools::fromHex(h.substr(1), out) &&
           out->find('\0') == std::string::npos;
}

bool parseInt(const std::string &s, long *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    *out = std::strtol(s.c_str(), &end, 10);
    return *end == '\0';
}

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= line.size()) {
        size_t sp = line.find(' ', at);
        if (sp == std::string::npos) sp = line.size();
        if (sp > at) out.push_back(line.substr(at, sp - at));
        at = sp + 1;
    }
    return out;
}

std::string valueText(const ArgValue *v) {
    if (v->kind == ValueInteger) return std::to_string(v->payload.integer);
    if (v->kind != ValueString) return "?" + std::to_string(v->kind);
    std::string s;
    const CharList *list = v->payload.string;
    const CharCell *cell = list ? list->head : nullptr;
    for (uint32_t i = 0; list && i < list->count && cell; ++i, cell = cell->next)
        s.push_back(cell->ch);
    return hex(s);
}

// Every key with a value below `node` (a sibling chain), in dictionary order.
void dump(const ArgNode *node, const std::string &prefix, const std::map<std::string, bool> &given,
          std::string *out) {
    for (; node; node = node->sibling) {
        std::string key = prefix + node->ch;
        if (node->value && !given.count(key)) *out += " " + key + "=" + valueText(node->value);
        dump(node->child, key, given, out);
    }
}

// ---- The library ---------------------------------------------------------------------

tools::Library lib;
bool updating = false;

MapCall fn(const std::string &name) { return lib.handle ? lib.byName(name) : nullptr; }

void update() {
    if (lib.handle) lib.update(nullptr);
}

struct Entry {
    int usr, id;
    std::string msg;
};

bool recvOne(Entry *e) {
    ArgNode *m = llMapNew();
    lib.recv(m);
    bool got = llMapGetInt(m, "result") == 1;
    if (got) {
        e->usr = llMapGetInt(m, "usr");
        e->id = llMapGetInt(m, "id");
        char *text = llMapGetString(m, "msg");
        e->msg = text ? text : "";
        std::free(text);
    }
    llMapFree(m);
    return got;
}

std::string entryText(const Entry &e) {
    return std::to_string(e.usr) + "," + std::to_string(e.id) + "," + hex(e.msg);
}

long msSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Sleeps about a millisecond, pumping first when update is on.
void tick() {
    if (updating) update();
    sleepMs(1);
}

// ---- Requests -----------------------------------------------------------------------------

std::string doCall(const std::vector<std::string> &w, bool withMap) {
    if (w.size() < 2) return "err usage";
    MapCall f = fn(w[1]);
    if (!f) return "err no export " + w[1];
    if (!withMap) return "ok ret=" + std::to_string(f(nullptr)) + " chain=";
    ArgNode *m = llMapNew();
    std::map<std::string, bool> given;
    for (size_t i = 2; i < w.size(); ++i) {
        size_t eq = w[i].find('=');
        if (eq == std::string::npos || eq == 0) {
            llMapFree(m);
            return "err bad entry " + w[i];
        }
        std::string key = w[i].substr(0, eq), value = w[i].substr(eq + 1), text;
        long n;
        if (unhex(value, &text)) {
            llMapSetString(m, key.c_str(), text.c_str());
        } else if (parseInt(value, &n)) {
            llMapSetInt(m, key.c_str(), static_cast<int32_t>(n));
        } else {
            llMapFree(m);
            return "err bad value " + w[i];
        }
        given[key] = true;
    }
    int32_t ret = f(m);
    char chain[256];
    llMapRootChain(m, chain, sizeof chain);
    std::string out = "ok ret=" + std::to_string(ret) + " chain=" + chain;
    dump(m->sibling, "", given, &out);
    llMapFree(m);
    return out;
}

std::string doTake(long n, long ms) {
    std::string out;
    long got = 0;
    auto start = Clock::now();
    Entry e;
    for (;;) {
        while (recvOne(&e)) {
            out += " m=" + entryText(e);
            ++got;
        }
        if (got >= n || msSince(start) >= ms) break;
        tick();
    }
    return "ok n=" + std::to_string(got) + out;
}

std::string doPoll(const std::string &name, long value, long ms) {
    MapCall f = fn(name);
    if (!f) return "err no export " + name;
    auto start = Clock::now();
    int32_t r;
    while ((r = f(nullptr)) != value && msSince(start) < ms) tick();
    return "ok ret=" + std::to_string(r);
}

// The paced flood (see the header; its texts in flood.h).
const int FloodData = flood::DataId, FloodEnd = flood::EndId;

// What one flood was asked to do, and what it received.
struct Flood {
    long self = 0, ms = 0, count = 0, odd = BroadcastId, peers = 0;
    std::vector<int> roomIds; // the queues p2pBuffer must show room in (0: the client's own)
    std::map<int, std::vector<int>> got;
    std::map<int, int> ends;
    int bad = 0;
    std::string firstBad;
};

std::vector<int> parseIdList(const std::string &value) {
    std::vector<int> ids;
    for (size_t at = 0; at < value.size();) {
        size_t comma = value.find(',', at);
        if (comma == std::string::npos) comma = value.size();
        ids.push_back(std::atoi(value.substr(at, comma - at).c_str()));
        at = comma + 1;
    }
    return ids;
}

// "room=A,B,..." and the numeric arguments; an error text, or "".
std::string parseFlood(const std::vector<std::string> &w, Flood *f) {
    const std::map<std::string, long *> numbers = {{"self", &f->self},
                                                   {"ms", &f->ms},
                                                   {"count", &f->count},
                                                   {"odd", &f->odd},
                                                   {"peers", &f->peers}};
    for (size_t i = 1; i < w.size(); ++i) {
        size_t eq = w[i].find('=');
        std::string key = w[i].substr(0, eq),
                    value = eq == std::string::npos ? "" : w[i].substr(eq + 1);
        if (key == "room") {
            f->roomIds = parseIdList(value);
            continue;
        }
        auto slot = numbers.find(key);
        long v;
        if (slot == numbers.end() || !parseInt(value, &v)) return "err bad flood argument " + w[i];
        *slot->second = v;
    }
    return "";
}

void floodDrain(Flood *f) {
    Entry e;
    while (recvOne(&e)) {
        int seq = std::atoi(e.msg.c_str());
        if (e.id == FloodData && e.msg == flood::text(e.usr, seq))
            f->got[e.usr].push_back(seq);
        else if (e.id == FloodEnd)
            f->ends[e.usr] = seq;
        else if (!f->bad++)
            f->firstBad = entryText(e);
    }
}

// Whether a text of `length` characters fits every queue the flood watches.
bool floodFits(const Flood &f, size_t length) {
    for (int id : f.roomIds) {
        ArgNode *m = llMapNew();
        llMapSetInt(m, "id", id);
        lib.buffer(m);
        int32_t res = llMapGetInt(m, "res");
        llMapFree(m);
        size_t overhead = id ? LobbyHostFrameOverhead : LobbyClientFrameOverhead;
        if (length + overhead >= static_cast<size_t>(res)) return false;
    }
    return true;
}

void floodSend(int id, int rcv, const std::string &text) {
    ArgNode *m = llMapNew();
    llMapSetString(m, "msg", text.c_str());
    llMapSetInt(m, "id", id);
    llMapSetInt(m, "rcv", rcv);
    lib.send(m);
    llMapFree(m);
}

// One pass of the pump while the flood waits for room or for the others.
void floodWait(Flood *f) {
    update();
    floodDrain(f);
    sleepMs(1);
}

std::string floodReport(const Flood &f, int sent) {
    std::string out = "ok sent=" + std::to_string(sent) + " bad=" + std::to_string(f.bad);
    if (f.bad) out += " first=" + f.firstBad;
    for (auto &e : f.ends) {
        out += " from=" + std::to_string(e.first) + ":" + std::to_string(e.second) + ":";
        auto seqs = f.got.find(e.first);
        if (seqs == f.got.end()) continue;
        for (size_t i = 0; i < seqs->second.size(); ++i)
            out += (i ? "," : "") + std::to_string(seqs->second[i]);
    }
    return out;
}

std::string doFlood(const std::vector<std::string> &w) {
    Flood f;
    std::string refused = parseFlood(w, &f);
    if (!refused.empty()) return refused;
    // Number 0, the longest text, needs every queue it goes to nearly empty,
    // which a lobby host may not see while the clients flood: it is sent
    // even when that takes longer than T. A count ends the flood by the work
    // done, not by the clock, which the deadline still bounds.
    int sent = 0;
    auto start = Clock::now();
    auto more = [&] { return f.count ? sent < f.count : msSince(start) < f.ms || sent == 0; };
    while (more() && msSince(start) < f.ms + 30000) {
        std::string text = flood::text(static_cast<int>(f.self), sent);
        if (!floodFits(f, text.size())) {
            floodWait(&f);
            continue;
        }
        floodSend(FloodData, sent % 2 == 0 ? BroadcastId : static_cast<int>(f.odd), text);
        ++sent;
    }
    while (!floodFits(f, 8) && msSince(start) < f.ms + 30000) floodWait(&f);
    floodSend(FloodEnd, BroadcastId, std::to_string(sent));
    // Receive until every other member's count has come; pumping on lets
    // the others finish too.
    while (static_cast<long>(f.ends.size()) < f.peers && msSince(start) < f.ms + 60000)
        floodWait(&f);
    return floodReport(f, sent);
}

std::string doSlots() {
    void *pointer = reinterpret_cast<void *>(static_cast<uintptr_t>(0x8877665544332211ull));
    const tools::SlotCall slots[] = {lib.nlPointerFunc,   lib.nlIntegerFunc, lib.nlStringFunc,
                                     lib.nlKeyCharFunc,   lib.nlKeyDownFunc, lib.nlKeyUpFunc,
                                     lib.nlMouseDownFunc, lib.nlMouseUpFunc, lib.nlMouseMoveFunc};
    int bad = 0;
    for (tools::SlotCall slot : slots)
        if (slot(pointer) != reinterpret_cast<intptr_t>(pointer)) ++bad;
    return "ok bits=" + std::to_string(8 * sizeof pointer) + " bad=" + std::to_string(bad);
}

std::string handle(const std::string &line) {
    std::vector<std::string> w = words(line);
    if (w.empty()) return "err empty request";
    const std::string &c = w[0];
    long a = 0, b = 0, d = 0;
    if (c == "ping") return "ok";
    if (c == "quit") quitNow();
    if (c == "sleep" && w.size() == 2 && parseInt(w[1], &a)) {
        sleepMs(static_cast<int>(a));
        return "ok";
    }
    if (c == "wsastartup") return "ok ret=" + std::to_string(hostStartup());
    if (c == "hostsocket") return "ok ret=" + std::to_string(hostSocket());
    if (!lib.handle) return "err no library";
    if (c == "call" || c == "null") return doCall(w, c == "call");
    if (c == "update" && w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
        updating = w[1] == "on";
        return "ok";
    }
    if (c == "pump" && w.size() == 2 && parseInt(w[1], &a)) {
        auto start = Clock::now();
        while (msSince(start) < a) {
            update();
            sleepMs(1);
        }
        return "ok";
    }
    if (c == "take" && w.size() == 3 && parseInt(w[1], &a) && parseInt(w[2], &b))
        return doTake(a, b);
    if (c == "poll" && w.size() == 4 && parseInt(w[2], &d) && parseInt(w[3], &b))
        return doPoll(w[1], d, b);
    if (c == "flood") return doFlood(w);
    if (c == "slots") return doSlots();
    if (c == "unload") {
        tools::libraryUnload(&lib);
        updating = false;
        return "ok";
    }
    return "err unknown request " + c;
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (argc != 2) {
        std::fprintf(stderr, "usage: llagent LIBRARY\n");
        return 2;
    }
    std::string error;
    if (!tools::libraryLoad(argv[1], &lib, &error)) {
        answer("err cannot load " + error);
        return 1;
    }
    answer("ok ready");
    startReader();
    for (;;) {
        std::string line;
        if (updating) {
            update();
            if (!nextLine(&line, 1)) continue;
        } else if (!nextLine(&line, -1)) {
            continue;
        }
        answer(handle(line));
    }
}
