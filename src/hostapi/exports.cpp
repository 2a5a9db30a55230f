// Every export of the library. Each one reads its arguments from the host
// application's dictionary, calls the lobby core with plain values, and
// writes its results in their documented order: the application sees that
// order as the order of keys in its dictionary, so it is part of the
// contract. Every error text a call can
// write is here. The table of names is lobbylink.def (Windows) and
// exports.map (ELF).
#include "hostapi/argmap.h"
#include "lobbylink/lobbylink.h"
#include "net/core/lobby.h"
#include "platform/heap.h"

#include <cstring>

using namespace ll;

namespace {

// The error texts, exactly as the public header lists them.
const char ErrStartup[] = "WSAStartup";
const char ErrAlreadyConnected[] = "already connected";
const char ErrNoUser[] = "no user";
const char ErrUserTooLong[] = "user too long";
const char ErrBind[] = "bind";
const char ErrThread[] = "thread";
const char ErrResolve[] = "getaddrinfo";
const char ErrSocket[] = "socket";
const char ErrConnect[] = "couldn't connect";
const char ErrSendUser[] = "failed to send user";
const char ErrSecretTooLong[] = "secret too long";
const char ErrWrongSecret[] = "wrong secret";
const char ErrNotPrivate[] = "not a private lobby";
const char ErrBusy[] = "lobby busy";
const char ErrPrivateLobby[] = "private lobby";
const char ErrUserZero[] = "0 byte in user";
const char ErrAddressZero[] = "0 byte in address";
const char ErrRefused[] = "refused";
const char ErrBadRelay[] = "bad relay";
const char ErrRelayUserTooLong[] = "relay user too long";
const char ErrRelayPasswordTooLong[] = "relay password too long";
const char ErrRelayZero[] = "0 byte in relay";

// Failures found before anything is tried: "error" first, then "result" 0.
int32_t refuse(ArgNode *map, const char *error) {
    writeString(map, "error", error);
    writeInt(map, "result", 0);
    return 0;
}

// Failures of a step that was tried: "result" 0 first, then "error".
int32_t fail(ArgNode *map, const char *error) {
    writeInt(map, "result", 0);
    writeString(map, "error", error);
    return 0;
}

int32_t succeed(ArgNode *map) {
    writeInt(map, "result", 1);
    return 1;
}

// A value asked for: written as "result" and also returned, so that an
// application passing no dictionary still gets it.
int32_t answer(ArgNode *map, int32_t value) {
    writeInt(map, "result", value);
    return value;
}

const char *refusalText(OpenRefusal refusal) {
    switch (refusal) {
    case OpenAlreadyConnected:
        return ErrAlreadyConnected;
    case OpenNoUser:
        return ErrNoUser;
    case OpenUserTooLong:
        return ErrUserTooLong;
    case OpenAllowed:
        break;
    }
    return nullptr;
}

// The "error" of a blocking p2pConnect that failed at `step`.
const char *connectError(ConnectStep step) {
    switch (step) {
    case ConnectResolveFailed:
        return ErrResolve;
    case ConnectSocketFailed:
        return ErrSocket;
    case ConnectFailed:
        return ErrConnect;
    case ConnectHandshakeFailed:
        return ErrSendUser;
    case ConnectWrongSecret:
        return ErrWrongSecret;
    case ConnectNotPrivate:
        return ErrNotPrivate;
    case ConnectBusy:
        return ErrBusy;
    case ConnectPrivateLobby:
        return ErrPrivateLobby;
    case ConnectThreadFailed:
        return ErrThread;
    case ConnectRefused: // a blocking call is never told
    case Connected:
    case ConnectNotAllowed:
        break;
    }
    return ErrConnect;
}

// The reason in the one notice (0, MsgError, reason) that ends a join with
// "async" that failed at `step`; called on the join's thread. A lobby host
// that ends the connection during the handshake or before admitting
// refused the player, whichever side noticed first; no socket is as good
// as no connection.
const char *joinNotice(ConnectStep step) {
    switch (step) {
    case ConnectHandshakeFailed:
    case ConnectRefused:
        return ErrRefused;
    case ConnectSocketFailed:
        return ErrConnect;
    default:
        return connectError(step);
    }
}

// The host application's nine callback slots, kept for it and never called.
enum CallbackSlot {
    SlotPointer,
    SlotInteger,
    SlotString,
    SlotKeyChar,
    SlotKeyDown,
    SlotKeyUp,
    SlotMouseDown,
    SlotMouseUp,
    SlotMouseMove,
    CallbackSlotCount
};
void *callbackSlots[CallbackSlotCount]; // the application's thread only

intptr_t storeCallback(CallbackSlot slot, void *fn) {
    callbackSlots[slot] = fn;
    return reinterpret_cast<intptr_t>(fn);
}

// A String argument, every byte of it: `length` bytes, then a 0 (null when
// absent). Where a 0 byte among them would change what the application
// asked for (a name cut short, another address), the call is refused.
struct Text {
    char *text;
    size_t length;
};

Text readText(ArgNode *map, const char *key) {
    Text t;
    t.text = mapGetText(map, key, &t.length);
    return t;
}

bool holdsZero(const Text &t) { return t.text && std::memchr(t.text, 0, t.length); }

// The optional "secret" of a private lobby: bytes, a 0 byte as good as any
// other; missing or "" is an open lobby.
JoinSecret readSecret(ArgNode *map) {
    Text t = readText(map, "secret");
    return JoinSecret{t.text, t.length};
}

// Arguments refused before anything changes: an error text, or null.
const char *argumentRefusal(const JoinSecret &secret, const Text &user) {
    if (secret.length > MaxSecretLength) return ErrSecretTooLong;
    return holdsZero(user) ? ErrUserZero : nullptr;
}

// The optional "relay" of p2pCreateLobby and its credentials.
struct RelayArgs {
    Text server, user, password;
};

RelayArgs readRelay(ArgNode *map) {
    return RelayArgs{readText(map, "relay"), readText(map, "relayUser"),
                     readText(map, "relayPassword")};
}

void relayRelease(const RelayArgs &r) {
    heapFree(r.server.text);
    heapFree(r.user.text);
    secretRelease(JoinSecret{r.password.text, r.password.length}); // wiped, then freed
}

// A relay's arguments refused before anything changes: an error text, or
// null (also without "relay").
const char *relayRefusal(const RelayArgs &r) {
    if (!r.server.text) return nullptr;
    if (holdsZero(r.server) || holdsZero(r.user) || holdsZero(r.password)) return ErrRelayZero;
    switch (relayCheck(RelayServer{r.server.text, r.user.text, r.password.text})) {
    case RelayBadServer:
        return ErrBadRelay;
    case RelayUserTooLong:
        return ErrRelayUserTooLong;
    case RelayPasswordTooLong:
        return ErrRelayPasswordTooLong;
    case RelayAllowed:
        break;
    }
    return nullptr;
}

// What p2pConnect writes for an outcome of the core's connect; with
// "async", Connected means that the join started.
int32_t connectAnswer(ArgNode *map, const ConnectOutcome &out, bool async) {
    if (out.handshakeTried) writeInt(map, "pkg", out.handshakeSends);
    if (out.step == ConnectNotAllowed) return refuse(map, refusalText(out.refusal));
    if (out.step != Connected) return fail(map, connectError(out.step));
    succeed(map);
    if (!async) writeString(map, "addr", out.address); // a join that started has none yet
    return 1;
}

// p2pSend copies a text of up to this many characters on the stack: any
// chat line fits, and the call stays small on the application's thread,
// whose stack the library does not know; a longer text is allocated.
const size_t StackTextSize = 4096;

} // namespace

extern "C" {

// ---- Lifecycle ----

int32_t p2pInit(ArgNode *map) {
    if (!lobbyStartup()) return refuse(map, ErrStartup);
    return succeed(map);
}

int32_t p2pTerminate(ArgNode *) { return lobbyTerminate(); }

#ifndef _WIN32
// The same function under a second name; the Windows build aliases it in
// lobbylink.def.
int32_t nlTerminate(ArgNode *map) __attribute__((alias("p2pTerminate")));
#endif

int32_t p2pDisconnect(ArgNode *) {
    lobbyDisconnect();
    return 0;
}

int32_t p2pCreateLobby(ArgNode *map) {
    JoinSecret secret = readSecret(map);
    Text user = readText(map, "user");
    RelayArgs relay = readRelay(map);
    const char *refusal = argumentRefusal(secret, user);
    if (!refusal) refusal = relayRefusal(relay);
    if (!refusal) {
        listingStop();
        refusal = refusalText(lobbyCreate(user.text, secret));
    }
    heapFree(user.text);
    secretRelease(secret);
    if (!refusal && relay.server.text)
        lobbyRelay(RelayServer{relay.server.text, relay.user.text, relay.password.text});
    relayRelease(relay);
    if (refusal) return refuse(map, refusal);
    if (mapGetInt(map, "portmap") == 1) lobbyMapPort();
    if (mapGetInt(map, "announce") == 1) announceStart();
    return succeed(map);
}

// ---- Inbox ----

int32_t p2pRecv(ArgNode *map) {
    InboxMessage m;
    if (!inboxTake(&m)) return answer(map, 0);
    writeInt(map, "result", 1);
    writeInt(map, "usr", static_cast<int8_t>(m.sender));
    writeInt(map, "id", static_cast<int8_t>(m.msgId));
    writeString(map, "msg", m.text);
    return 1;
}

// ---- Admission ----

int32_t p2pSearchClient(ArgNode *map) {
    switch (searchStart()) {
    case SearchStarted:
        return succeed(map);
    case SearchAlreadyRunning:
        return answer(map, 0);
    case SearchPortTaken:
        return refuse(map, ErrBind);
    case SearchThreadFailed:
        return refuse(map, ErrThread);
    }
    return 0;
}

int32_t p2pIsSearching(ArgNode *map) { return answer(map, searchRunning()); }

int32_t p2pSearchClientError(ArgNode *map) { return answer(map, searchOutcome()); }

int32_t p2pCancelSearch(ArgNode *) {
    searchSetCancelled(true);
    return 0;
}

int32_t p2pUncancelSearch(ArgNode *) {
    searchSetCancelled(false);
    return 0;
}

// ---- The pump and the members ----

int32_t p2pUpdate(ArgNode *) {
    lobbyUpdate();
    return 0;
}

int32_t p2pKick(ArgNode *map) {
    memberKick(mapGetInt(map, "id"));
    return 0;
}

int32_t p2pNumClients(ArgNode *map) { return answer(map, memberCount()); }

int32_t p2pClientName(ArgNode *map) {
    char name[HandshakeLimit];
    memberName(mapGetInt(map, "id"), name);
    writeString(map, "result", name);
    return 0;
}

// ---- Client connection ----

// With "async" = 1 the join goes on on a thread of the library's own and
// "result" 1 means that it started: its outcome comes as notices.
int32_t p2pConnect(ArgNode *map) {
    JoinSecret secret = readSecret(map);
    Text user = readText(map, "user"), address = readText(map, "address");
    const char *refusal = argumentRefusal(secret, user);
    if (!refusal && holdsZero(address)) refusal = ErrAddressZero;
    bool async = mapGetInt(map, "async") == 1;
    ConnectOutcome out = {};
    if (!refusal) {
        listingStop();
        out = clientConnect(address.text, user.text, secret, async ? joinNotice : nullptr);
    }
    heapFree(address.text);
    heapFree(user.text);
    secretRelease(secret);
    return refusal ? refuse(map, refusal) : connectAnswer(map, out, async);
}

// ---- LAN discovery ----

int32_t p2pFindLobbies(ArgNode *map) {
    switch (lobbiesFind()) {
    case FindStarted:
        return succeed(map);
    case FindNotIdle:
        return refuse(map, ErrAlreadyConnected);
    case FindNoSocket:
        return fail(map, ErrSocket);
    }
    return 0;
}

// ---- Sending ----

int32_t p2pSend(ArgNode *map) {
    const CharList *msg = mapGetList(map, "msg");
    if (!msg) return 0;
    // One walk over the host application's cells; a chat-sized text needs no
    // allocation.
    char shortText[StackTextSize];
    char *text =
        msg->count <= sizeof shortText ? shortText : static_cast<char *>(heapAlloc(msg->count));
    size_t length = listCopyText(msg, text);
    uint8_t msgId = static_cast<uint8_t>(mapGetInt(map, "id"));
    uint8_t receiver = static_cast<uint8_t>(mapGetInt(map, "rcv"));
    // A 0 byte would end the frame inside the text: the receiver would get
    // less than was sent. Such a text is not sent, as one that is empty.
    if (!std::memchr(text, 0, length)) messageSend(msgId, receiver, text, length);
    if (text != shortText) heapFree(text);
    return 0;
}

int32_t p2pBuffer(ArgNode *map) {
    int32_t res = messageRoom(mapGetInt(map, "id"));
    writeInt(map, "res", res);
    return res;
}

// ---- The host application's callback slots ----

intptr_t nlPointerFunc(void *fn) { return storeCallback(SlotPointer, fn); }
intptr_t nlIntegerFunc(void *fn) { return storeCallback(SlotInteger, fn); }
intptr_t nlStringFunc(void *fn) { return storeCallback(SlotString, fn); }
intptr_t nlKeyCharFunc(void *fn) { return storeCallback(SlotKeyChar, fn); }
intptr_t nlKeyDownFunc(void *fn) { return storeCallback(SlotKeyDown, fn); }
intptr_t nlKeyUpFunc(void *fn) { return storeCallback(SlotKeyUp, fn); }
intptr_t nlMouseDownFunc(void *fn) { return storeCallback(SlotMouseDown, fn); }
intptr_t nlMouseUpFunc(void *fn) { return storeCallback(SlotMouseUp, fn); }
intptr_t nlMouseMoveFunc(void *fn) { return storeCallback(SlotMouseMove, fn); }

} // extern "C"
