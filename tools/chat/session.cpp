// The lobby session: a host application's main loop around lobbylink.
//
// Every frame, 100 times a second, the loop
//   1. calls p2pUpdate, which moves all of the lobby's traffic,
//   2. empties the inbox with p2pRecv,
//   3. as the lobby host, starts the next search for a client when the last
//      one has ended (a search admits one client); as a client whose join
//      found nobody listening, tries again for a moment,
//   4. shows what the inbox held: messages, joins, departures, a join that
//      failed and why, a lost connection,
//   5. reads the keyboard without blocking until the next frame is due and
//      acts on every finished line.
// A client joins with p2pConnect's "async": the call returns at once and
// the loop runs while the library connects, so the screen stays live; the
// lobby host's join notice says it is in, one MsgError notice why not.
//
// A call that takes arguments or gives results gets a dictionary of its own:
// llMapNew, llMapSet..., the call, llMapGet..., llMapFree. What the library
// writes into it is freed with it.
#include "session.h"

#include "events.h"
#include "library.h"
#include "lobbylink/hostmap.h"
#include "net/base/hostport.h"
#include "platform.h"
#include "terminal.h"

#include <cstdlib>
#include <map>
#include <vector>

namespace chat {

namespace {

const int FrameMs = 10;
const int QueueSize = LobbyQueueBytes; // p2pBuffer's answer for an empty send queue
const int PortTakenAfterMs = 1000;     // the lobby port stays taken this long: say so
const int BindRetryMs = 20;            // until then, try again this often
const int SearchRetryMs = 1000;        // then this often
const int ConnectTryMs = 2000;         // a lobby host between two searches refuses for a
                                       // moment, a private one whose door is full is busy
const int ConnectRetryMs = 200;        // meanwhile, try again this often
const int FlushMs = 2000;              // on /quit, for what is still queued to go out
const int FindMs = 2500;               // p2pFindLobbies' answers arrive within about two seconds

struct Session {
    bool lobbyHost = false;
    bool trace = false;
    bool portmap = false;
    bool announce = false;
    bool isPrivate = false; // only players who know its secret join
    std::string relay;      // the relay server hosted through, if any
    std::string relayed;    // the address it gave players to join at
    std::string name;
    std::map<int, std::string> members; // everybody else, by id, from the join notices
    bool admitted = false;              // a client: the lobby host's join notice came
    bool inputEnded = false; // a client's input ended while it joined: leave once it is in
    // A client's join: where to (as typed, and in words), its secret, and
    // until when a lobby host that refuses the connection is tried again.
    std::string address, where;
    const std::string *secret = nullptr;
    uint64_t joinRetryUntil = 0;
    uint64_t joinRetryAt = 0; // 0: no new attempt due
    int msgId = 1;            // message id of what we send (/id)
    bool running = true;
    int exitStatus = 0;
    // The lobby host's admission.
    bool searchStarted = false; // started, and its end not yet looked at
    bool sayOpen = true;        // "lobby open" is due once a search listens
    bool portTakenSaid = false;
    uint64_t bindFailingSince = 0;
    uint64_t nextSearchAt = 0;
};

struct Entry {
    int usr; // sender: 1 the lobby host, 0 a local notice
    int id;  // message id, or MsgJoin / MsgLeave / MsgError
    std::string msg;
};

// A String result as a std::string. llMapGetString returns a malloc'd copy.
std::string getString(ArgNode *map, const char *key) {
    char *text = llMapGetString(map, key);
    std::string s = text ? text : "";
    std::free(text);
    return s;
}

// The port a join tries: the one the address names, else the lobby port
// (read as the library reads it).
uint16_t portTried(const std::string &address) {
    const uint16_t lobbyPort = LobbyPort;
    ll::HostPort at;
    return ll::hostportParse(address.data(), address.size(), lobbyPort, &at) ? at.port : lobbyPort;
}

// The library's "error" texts in words; `address`, where a join went.
std::string explain(const std::string &error, const std::string &address = "") {
    if (error == "user too long")
        return "the name is longer than " + std::to_string(LobbyMaxNameLength) + " bytes";
    if (error == "no user") return "no name given";
    if (error == "already connected") return "already in a lobby";
    if (error == "WSAStartup") return "the socket library did not start";
    if (error == "getaddrinfo") return "the address cannot be resolved";
    if (error == "socket") return "no socket could be opened";
    if (error == "couldn't connect")
        return "no lobby host answers there (port " + std::to_string(portTried(address)) + ")";
    if (error == "failed to send user") return "the connection broke during the handshake";
    if (error == "secret too long")
        return "the secret is longer than " + std::to_string(LobbyMaxSecretLength) + " bytes";
    if (error == "wrong secret") return "the secret is wrong";
    if (error == "not a private lobby")
        return "no private lobby answers there (an open lobby is joined without --private)";
    if (error == "refused") return "the lobby is full or not taking players";
    if (error == "private lobby") return "a private lobby answers there (join it with --private)";
    if (error == "lobby busy") return "the lobby host could not take you now; try again";
    if (error == "thread") return "the library could not start its work";
    if (error == "bad relay") return "the relay server is not given as HOST or HOST:PORT";
    return error;
}

bool startLibrary() {
    ArgNode *map = llMapNew();
    lib.init(map); // starts the socket library
    bool ok = llMapGetInt(map, "result") == 1;
    if (!ok) complain("cannot start networking: " + explain(getString(map, "error")));
    llMapFree(map);
    return ok;
}

// A short secret falls to guesses tested offline against a recorded handshake.
const size_t ShortSecret = 10;

bool openLobby(Session &s, const Options &options) {
    const std::string &secret = options.secret;
    ArgNode *map = llMapNew();
    llMapSetString(map, "user", s.name.c_str());
    if (s.isPrivate) llMapSetString(map, "secret", secret.c_str());
    if (s.portmap) llMapSetInt(map, "portmap", 1);
    if (s.announce) llMapSetInt(map, "announce", 1);
    if (!s.relay.empty()) llMapSetString(map, "relay", s.relay.c_str());
    if (!options.relayUser.empty()) {
        llMapSetString(map, "relayUser", options.relayUser.c_str());
        llMapSetString(map, "relayPassword", options.relayPassword.c_str());
    }
    lib.createLobby(map);
    bool ok = llMapGetInt(map, "result") == 1;
    if (!ok) complain("cannot open a lobby: " + explain(getString(map, "error")));
    llMapFree(map);
    if (ok && s.isPrivate && secret.size() < ShortSecret)
        complain("a secret this short can be guessed from a recorded handshake: "
                 "give players an invite code (lobbylink-chat invite) instead");
    return ok;
}

std::string lobbyWords(const Session &s) { return s.isPrivate ? "the private lobby" : "the lobby"; }

// Starts a join without waiting ("async"): the outcome arrives in the inbox.
// False when the library refused it at once (a bad name, ...).
bool startJoin(Session &s) {
    ArgNode *map = llMapNew();
    if (!s.address.empty()) llMapSetString(map, "address", s.address.c_str());
    llMapSetString(map, "user", s.name.c_str());
    if (s.isPrivate) llMapSetString(map, "secret", s.secret->c_str());
    llMapSetInt(map, "async", 1);
    lib.connect(map); // returns at once
    bool started = llMapGetInt(map, "result") == 1;
    if (!started)
        complain("cannot join the lobby at " + s.where + ": " +
                 explain(getString(map, "error"), s.address));
    llMapFree(map);
    return started;
}

bool joinLobby(Session &s, std::string address, const std::string &secret) {
    // An IPv6 address may come in brackets, as in a URL: [::1].
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    s.address = address;
    s.where = address.empty() ? "this machine" : address;
    s.secret = &secret;
    s.joinRetryUntil = monotonicMs() + ConnectTryMs;
    if (!startJoin(s)) return false;
    say("joining " + lobbyWords(s) + " at " + s.where + " as " + s.name);
    return true;
}

// The join failed with `reason`: a lobby host between two searches refuses
// connections for a moment, and a private one whose door is full is busy,
// so those are tried again for a while; anything else ends the session.
void joinFailed(Session &s, const std::string &reason) {
    lib.disconnect(nullptr); // a client without a connection until then
    bool again = reason == "couldn't connect" || reason == "lobby busy";
    if (again && monotonicMs() < s.joinRetryUntil) {
        s.joinRetryAt = monotonicMs() + ConnectRetryMs;
        return;
    }
    complain("cannot join the lobby at " + s.where + ": " + explain(reason, s.address));
    s.running = false;
    s.exitStatus = 1;
}

void retryJoin(Session &s) {
    if (s.joinRetryAt == 0 || monotonicMs() < s.joinRetryAt) return;
    s.joinRetryAt = 0;
    if (!startJoin(s)) {
        s.running = false;
        s.exitStatus = 1;
    }
}

std::string searchOutcome(int outcome) {
    switch (outcome) {
    case SearchListenFailed:
        return "the lobby could not listen on port " + std::to_string(LobbyPort) + "; trying again";
    case SearchHandshakeLost:
        return "a client was lost during its handshake";
    case SearchHandshakeTooLong:
        return "a client was turned away: its name is longer than " +
               std::to_string(LobbyMaxNameLength) + " bytes";
    case SearchLobbyFull:
        return "a client was turned away: the lobby is full (" + std::to_string(LobbyMaxClients) +
               " clients)";
    }
    return "a search ended with outcome " + std::to_string(outcome);
}

// The lobby host admits one client per search: whenever the last search has
// ended, say what went wrong with it, if anything, and start the next.
void keepAdmitting(Session &s) {
    if (lib.isSearching(nullptr) == 1) return; // with no dictionary the flag is returned
    uint64_t now = monotonicMs();
    if (s.searchStarted) {
        s.searchStarted = false;
        int outcome = lib.searchClientError(nullptr);
        if (outcome != SearchOk) complain(searchOutcome(outcome));
        if (outcome == SearchListenFailed) s.nextSearchAt = now + SearchRetryMs;
    }
    if (now < s.nextSearchAt) return;

    ArgNode *map = llMapNew();
    lib.searchClient(map); // listens on the lobby port for one client
    if (llMapGetInt(map, "result") == 1) {
        s.searchStarted = true;
        s.bindFailingSince = 0;
        s.portTakenSaid = false;
        if (s.sayOpen)
            say(std::string(s.isPrivate ? "private lobby" : "lobby") + " open on port " +
                std::to_string(LobbyPort) + " as " + s.name);
        s.sayOpen = false;
    } else if (getString(map, "error") == "bind") {
        // Some socket layers keep the port of the search that just ended for
        // a moment: only a port that stays taken is worth a word.
        if (s.bindFailingSince == 0) s.bindFailingSince = now;
        bool taken = now - s.bindFailingSince >= PortTakenAfterMs;
        if (taken && !s.portTakenSaid) {
            complain("port " + std::to_string(LobbyPort) +
                     " is in use (another lobby on this machine?); trying again every second");
            s.portTakenSaid = true;
            s.sayOpen = true; // once it is free again
        }
        s.nextSearchAt = now + (taken ? SearchRetryMs : BindRetryMs);
    }
    llMapFree(map);
}

std::vector<Entry> takeInbox() {
    std::vector<Entry> entries;
    ArgNode *map = llMapNew(); // each p2pRecv overwrites the same keys
    for (;;) {
        lib.recv(map);
        if (llMapGetInt(map, "result") != 1) break; // the inbox is empty
        entries.push_back({llMapGetInt(map, "usr"), llMapGetInt(map, "id"), getString(map, "msg")});
    }
    llMapFree(map);
    return entries;
}

std::string nameOf(const Session &s, int id) {
    auto it = s.members.find(id);
    return it == s.members.end() ? "?" : it->second;
}

// The command that joins a lobby at `address`, for an invitation.
std::string joinCommand(bool isPrivate, const std::string &address) {
    return std::string("lobbylink-chat join ") + (isPrivate ? "--private " : "") + "NAME " +
           address;
}

// What the relay server said: the address players join at, or why there is
// none (any more).
void showRelay(Session &s, const std::string &text) {
    if (text == "no relay") {
        complain("no relay server answered at " + s.relay +
                 ": players outside your network cannot join through it");
    } else if (text == "refused") {
        complain("the relay server at " + s.relay +
                 " refused to relay (a wrong user or password, or no relay for you there)");
    } else if (text == "lost") {
        complain("the relay is lost (its server is gone or refused to keep it): nobody can "
                 "join at " +
                 s.relayed + " any more");
    } else {
        s.relayed = text;
        say("players anywhere join through the relay at " + text);
        say("invite: " + joinCommand(s.isPrivate, text) +
            (s.isPrivate ? " (and the secret you give them)" : ""));
        if (!s.isPrivate)
            complain("anyone who finds this address can join an open lobby: host with "
                     "--private to let in only the players you give its secret");
    }
}

void show(Session &s, const Entry &in) {
    if (s.trace) {
        Event raw;
        raw.kind = EventTrace;
        raw.rawUsr = in.usr;
        raw.rawId = in.id;
        raw.text = in.msg;
        emit(raw);
    }
    Event e;
    e.member = in.usr & 0xff; // "usr" and "id" come as signed 8-bit values
    e.msgId = in.id & 0xff;
    e.name = in.msg;
    if (in.usr == 0 && in.id == MsgPortmap) {
        // What the home router said about opening the lobby port.
        const std::string port = std::to_string(LobbyPort);
        if (in.msg == "no router")
            complain("no router answered: players outside your network cannot join "
                     "unless TCP port " +
                     port + " is forwarded to this machine by hand");
        else if (in.msg == "refused")
            complain("the router refused to open port " + port +
                     " (another machine has it, or it "
                     "is not allowed): players outside your network cannot join");
        else if (in.msg == "lost")
            complain("the router no longer forwards port " + port +
                     ": players outside your network cannot join any more");
        else
            say("players outside your network join with: join NAME " + in.msg);
        return;
    }
    if (in.usr == 0 && in.id == MsgRelay) return showRelay(s, in.msg);
    // Before the lobby host's join notice, a MsgError says why the join failed.
    if (in.usr == 0 && in.id == MsgError && !s.lobbyHost && !s.admitted && in.msg != "overflow")
        return joinFailed(s, in.msg);
    if (in.usr == 0 && in.id == MsgError) {
        // Our connection is gone: "error" when the lobby host went away or
        // dropped us, "overflow" when our own send queue overflowed.
        e.kind = in.msg == "overflow" ? EventOverflow : EventLost;
        s.running = false;
        s.exitStatus = 1;
    } else if (in.id == MsgJoin) {
        if (!s.lobbyHost && !s.admitted)
            say("joined " + lobbyWords(s) + " at " + s.where + " as " + s.name);
        s.admitted = true;
        if (s.inputEnded) s.running = false; // what was typed goes out as it leaves
        s.members[e.member] = in.msg;
        e.kind = EventJoined;
    } else if (in.id == MsgLeave) {
        s.members.erase(e.member);
        e.kind = EventLeft;
    } else {
        e.kind = EventMessage;
        e.name = nameOf(s, e.member);
        e.text = in.msg;
    }
    emit(e);
}

// ---- Sending ------------------------------------------------------------------

// p2pKick and p2pBuffer read a member's id as a signed 8-bit value, as p2pRecv
// writes it: member 200 is -56.
int32_t asSigned(int member) { return static_cast<int8_t>(member); }

// Free space in a send queue: the client's own (member 0), or at the lobby
// host that of one member.
int queueRoom(int member) {
    ArgNode *map = llMapNew();
    if (member != 0) llMapSetInt(map, "id", asSigned(member));
    lib.buffer(map);
    int room = llMapGetInt(map, "res");
    llMapFree(map);
    return room;
}

// A text of L bytes fits a client's queue when L + LobbyClientFrameOverhead
// < room, a member's queue at the lobby host when L + LobbyHostFrameOverhead
// < room. The chat checks before every
// p2pSend, so it never overflows a queue (which would cost the connection).
bool roomFor(const Session &s, int receiver, size_t length) {
    long need = static_cast<long>(length) +
                (s.lobbyHost ? LobbyHostFrameOverhead : LobbyClientFrameOverhead);
    std::string tooLong = "too long to send: " + std::to_string(length) + " bytes, ";
    if (!s.lobbyHost) {
        int room = queueRoom(0);
        if (need < room) return true;
        complain(tooLong + "the send queue has room for " +
                 std::to_string(room > 3 ? room - 4 : 0));
        return false;
    }
    for (const auto &m : s.members) {
        if (receiver != BroadcastId && m.first != receiver) continue;
        int room = queueRoom(m.first);
        if (need >= room) {
            complain(tooLong + "the queue of " + memberLabel(m.first, m.second) + " has room for " +
                     std::to_string(room > 4 ? room - 5 : 0));
            return false;
        }
    }
    return true;
}

void sendText(Session &s, int receiver, const std::string &text) {
    if (s.lobbyHost && s.members.empty()) return complain("nobody else is in the lobby yet");
    if (!roomFor(s, receiver, text.size())) return;
    ArgNode *map = llMapNew();
    llMapSetString(map, "msg", text.c_str());
    llMapSetInt(map, "id", s.msgId);
    llMapSetInt(map, "rcv", receiver); // BroadcastId, HostId or one member's id
    lib.send(map);                     // queued; the next p2pUpdate sends it
    llMapFree(map);

    Event sent;
    sent.kind = EventSent;
    sent.member = receiver;
    sent.name = nameOf(s, receiver);
    sent.msgId = s.msgId;
    sent.text = text;
    emit(sent);
}

bool queuesEmpty(const Session &s) {
    if (!s.lobbyHost) return queueRoom(0) >= QueueSize;
    for (const auto &m : s.members)
        if (queueRoom(m.first) < QueueSize) return false;
    return true;
}

void leave(Session &s) {
    if (s.exitStatus == 0 && !s.lobbyHost && !s.admitted) {
        say("giving up the join"); // p2pDisconnect cancels it at once
    } else if (s.exitStatus == 0) {
        say(s.lobbyHost ? "closing the lobby" : "leaving the lobby");
        // p2pDisconnect drops what is still queued: let it go out first.
        uint64_t deadline = monotonicMs() + FlushMs;
        while (!queuesEmpty(s) && monotonicMs() < deadline) {
            lib.update(nullptr);
            sleepMs(FrameMs);
        }
    }
    lib.disconnect(nullptr);
    lib.terminate(nullptr);
}

// ---- Commands -------------------------------------------------------------------

// A member id or message id typed by the user: digits only, -1 otherwise.
int parseNumber(const std::string &word) {
    bool digits = word.find_first_not_of("0123456789") == std::string::npos;
    if (word.empty() || word.size() > 6 || !digits) return -1;
    return std::atoi(word.c_str());
}

// Splits off the first word; *rest gets what follows the spaces after it.
std::string firstWord(const std::string &line, std::string *rest) {
    size_t space = line.find(' ');
    if (space == std::string::npos) {
        rest->clear();
        return line;
    }
    size_t from = line.find_first_not_of(' ', space);
    *rest = from == std::string::npos ? "" : line.substr(from);
    return line.substr(0, space);
}

// A member to send to or kick; says why not otherwise.
bool isMember(const Session &s, const std::string &word, int *id) {
    *id = parseNumber(word);
    if (*id < 1 || *id > 254) {
        complain("'" + word + "' is not a member id (1 to 254; see /who)");
        return false;
    }
    if (s.lobbyHost && *id == HostId) {
        complain("member 1 is you");
        return false;
    }
    if (!s.members.count(*id)) {
        complain("no member has id " + std::to_string(*id) + " (see /who)");
        return false;
    }
    return true;
}

void who(Session &s) {
    say(s.isPrivate ? "a private lobby: only players who know its secret join"
                    : "an open lobby: anyone who reaches it joins");
    Event e;
    e.kind = EventMember;
    if (s.lobbyHost) {
        e.member = HostId;
        e.name = s.name;
        e.you = true;
        emit(e);
        e.you = false;
    }
    for (const auto &m : s.members) {
        e.member = m.first;
        e.name = m.second;
        if (s.lobbyHost) e.room = queueRoom(m.first);
        emit(e);
    }
    if (!s.lobbyHost) {
        e.member = 0; // a client never learns its own id
        e.name = s.name;
        e.you = true;
        emit(e);
    }
}

void help(const Session &s) {
    say("a line goes to everybody (start it with // to send a text beginning with /)");
    say("/msg ID text   to one member");
    if (!s.lobbyHost) say("/host text     to the lobby host only");
    say("/id N          message id from now on (1-124, 128-255)");
    say(s.lobbyHost ? "/who           members, with their free queue space"
                    : "/who           members");
    if (s.lobbyHost) say("/kick ID       remove a member");
    say("/quit");
}

void privateMessage(Session &s, const std::string &rest) {
    std::string message;
    std::string to = firstWord(rest, &message);
    int id = 0;
    if (to.empty() || message.empty()) return complain("usage: /msg ID text");
    if (isMember(s, to, &id)) sendText(s, id, message);
}

void chooseId(Session &s, const std::string &rest) {
    int id = parseNumber(rest);
    // 0 would end the frame; 125 to 127 are the library's notices.
    if (id < 1 || id > 255 || (id >= MsgError && id <= MsgLeave))
        return complain("'" + rest + "' is not a message id: use 1 to 124 or 128 to 255");
    s.msgId = id;
    say("message id is now " + std::to_string(id));
}

void kickMember(Session &s, const std::string &rest) {
    int id = 0;
    if (!s.lobbyHost) return complain("only the lobby host can kick");
    if (!isMember(s, rest, &id)) return;
    ArgNode *map = llMapNew();
    llMapSetInt(map, "id", asSigned(id));
    lib.kick(map);
    llMapFree(map);
    say("you kicked " + memberLabel(id, nameOf(s, id)));
}

void command(Session &s, const InputLine &line) {
    if (line.tooLong)
        return complain("line too long (more than " + std::to_string(MaxInputLine) +
                        " bytes): nothing sent");
    if (line.hasZero) return complain("a line with a 0 byte cannot be sent");
    const std::string &text = line.text;
    if (text.empty()) return;
    if (text[0] != '/') return sendText(s, BroadcastId, text);
    if (text.compare(0, 2, "//") == 0) return sendText(s, BroadcastId, text.substr(1));

    std::string rest;
    std::string word = firstWord(text, &rest);
    if (word == "/msg") {
        privateMessage(s, rest);
    } else if (word == "/host") {
        if (s.lobbyHost) return complain("you are the lobby host: /host is for clients");
        if (rest.empty()) return complain("usage: /host text");
        sendText(s, HostId, rest);
    } else if (word == "/id") {
        chooseId(s, rest);
    } else if (word == "/who") {
        who(s);
    } else if (word == "/kick") {
        kickMember(s, rest);
    } else if (word == "/quit") {
        s.running = false;
    } else if (word == "/help") {
        help(s);
    } else {
        complain("unknown command " + word + " (try /help)");
    }
}

void readInput(Session &s, int waitMs) {
    std::vector<InputLine> lines;
    bool open = terminalPoll(waitMs, &lines);
    for (const InputLine &line : lines)
        if (s.running) command(s, line);
    // Input that ends while a join runs (a script's) leaves once the join
    // has its outcome, so that what it typed still goes out.
    if (!open && !interruptRequested() && !s.lobbyHost && !s.admitted)
        s.inputEnded = true;
    else if (!open || interruptRequested())
        s.running = false;
}

void mainLoop(Session &s) {
    uint64_t nextFrame = monotonicMs();
    while (s.running) {
        lib.update(nullptr); // all traffic moves here
        // The inbox is emptied before the admission step: a join notice
        // appears together with the end of its search, so by the time the
        // notice is shown the next search is listening.
        std::vector<Entry> entries = takeInbox();
        if (s.lobbyHost) keepAdmitting(s);
        for (const Entry &e : entries) show(s, e);
        if (!s.lobbyHost) retryJoin(s);

        nextFrame += FrameMs;
        uint64_t now = monotonicMs();
        if (nextFrame < now) nextFrame = now; // fell behind: no burst to catch up
        if (s.inputEnded && now < nextFrame) sleepMs(static_cast<int>(nextFrame - now));
        for (; s.running && !s.inputEnded && now < nextFrame; now = monotonicMs())
            readInput(s, static_cast<int>(nextFrame - now));
    }
}

} // namespace

// One lobby as a notice text "ADDRESS MEMBERS open|private NAME" tells it.
void showLobby(const std::string &text) {
    size_t a = text.find(' '), m = a == std::string::npos ? a : text.find(' ', a + 1);
    size_t k = m == std::string::npos ? m : text.find(' ', m + 1);
    if (k == std::string::npos) return;
    std::string address = text.substr(0, a), members = text.substr(a + 1, m - a - 1);
    std::string kind = text.substr(m + 1, k - m - 1), name = text.substr(k + 1);
    // A private lobby lets in only who knows its secret, asked for by --private.
    bool secret = kind == "private";
    say("lobby \"" + name + "\" at " + address + ", " + members +
        (members == "1" ? " member, " : " members, ") + kind + ": join with: " +
        joinCommand(secret, address) + (secret ? " (and the secret its lobby host gave you)" : ""));
}

int runFind(const Options &options) {
    setJsonOutput(options.json);
    std::string error;
    if (!loadLobbyLink(options.library, &error)) {
        complain(error);
        return 1;
    }
    if (!startLibrary()) return 1;
    if (loopbackOnly()) {
        say("no lobby can be found from here: this machine is on loopback only (no network "
            "with a broadcast address); join a lobby on it by address instead");
        lib.terminate(nullptr);
        return 0;
    }
    ArgNode *map = llMapNew();
    lib.findLobbies(map); // sends the queries and returns at once
    bool ok = llMapGetInt(map, "result") == 1;
    if (!ok) complain("cannot look for lobbies: " + explain(getString(map, "error")));
    llMapFree(map);
    int found = 0;
    for (uint64_t end = monotonicMs() + FindMs;
         ok && monotonicMs() < end && !interruptRequested();) {
        lib.update(nullptr); // the answers arrive here
        for (const Entry &e : takeInbox())
            if (e.usr == 0 && e.id == MsgLobbyFound) {
                showLobby(e.msg);
                ++found;
            }
        sleepMs(FrameMs);
    }
    if (ok && found == 0)
        say("no lobby answered on your networks (only lobbies opened with host --announce do)");
    lib.terminate(nullptr);
    return ok ? 0 : 1;
}

int runSession(const Options &options) {
    setJsonOutput(options.json);
    std::string error;
    if (!loadLobbyLink(options.library, &error)) {
        complain(error);
        return 1;
    }
    Session s;
    s.lobbyHost = options.lobbyHost;
    s.trace = options.trace;
    s.portmap = options.portmap;
    s.announce = options.announce;
    s.isPrivate = options.secretAsked;
    s.relay = options.relay;
    s.name = options.name;
    if (!startLibrary()) return 1;
    terminalStart();
    bool in = s.lobbyHost ? openLobby(s, options) : joinLobby(s, options.address, options.secret);
    if (in) {
        mainLoop(s);
        leave(s);
    } else {
        lib.terminate(nullptr);
        s.exitStatus = 1;
    }
    terminalStop();
    return s.exitStatus;
}

} // namespace chat
