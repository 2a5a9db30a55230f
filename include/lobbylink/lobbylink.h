/*
 * lobbylink: a peer-to-peer lobby over TCP for a host application.
 *
 * One participant hosts a lobby and admits clients one at a time; members
 * exchange short tagged text messages addressed to one member or to all; the
 * lobby host relays between clients. Joins, departures and failures arrive as
 * notices in the same inbox as messages. All traffic of an established lobby
 * moves inside p2pUpdate, which the host calls from its main loop.
 *
 * Every networking call that has arguments or results takes one pointer to a
 * dictionary owned by the host (an ArgNode trie, see below). Arguments are read
 * from it by key, results are written into it, and everything the library adds
 * is allocated with malloc from the C runtime the host shares, so the host can
 * free it. A null dictionary reads as empty and receives no results.
 * Every p2p function takes the dictionary pointer; those that read and write
 * nothing ignore it, so a host may pass NULL.
 *
 * What each call returns (besides what it writes into the dictionary):
 *   1 on success, 0 on failure (with "error" written):
 *                        p2pInit, p2pCreateLobby, p2pConnect (with "async":
 *                        1 when the join started), p2pFindLobbies,
 *                        p2pSearchClient (also 0, without "error", while a
 *                        search already runs)
 *   1 when an entry was taken, 0 when the inbox is empty: p2pRecv
 *   the value also written as "result" (or "res"):
 *                        p2pIsSearching, p2pSearchClientError, p2pNumClients,
 *                        p2pBuffer
 *   the socket library's cleanup result: p2pTerminate, nlTerminate
 *   always 0, the outcome showing in the inbox or the dictionary:
 *                        p2pDisconnect, p2pCancelSearch, p2pUncancelSearch,
 *                        p2pUpdate, p2pKick, p2pClientName, p2pSend (0 also
 *                        when it queued the message: a send that cannot be
 *                        made shows as a notice, see p2pSend)
 *   the pointer given: the nine callback slots (nl*Func)
 *
 * Every "error" text a call can write, with the calls that write it:
 *   "WSAStartup"          p2pInit
 *   "already connected"   p2pCreateLobby, p2pConnect, p2pFindLobbies
 *   "no user"             p2pCreateLobby, p2pConnect
 *   "user too long"       p2pCreateLobby, p2pConnect
 *   "0 byte in user"      p2pCreateLobby, p2pConnect
 *   "0 byte in address"   p2pConnect
 *   "bind"                p2pSearchClient
 *   "thread"              p2pSearchClient, p2pConnect
 *   "getaddrinfo"         p2pConnect, and a join's failure notice
 *   "socket"              p2pConnect, p2pFindLobbies
 *   "couldn't connect"    p2pConnect, and a join's failure notice
 *   "failed to send user" p2pConnect
 *   "secret too long"     p2pCreateLobby, p2pConnect
 *   "wrong secret"        p2pConnect, and a join's failure notice
 *   "not a private lobby" p2pConnect, and a join's failure notice
 *   "lobby busy"          p2pConnect, and a join's failure notice
 *   "private lobby"       p2pConnect, and a join's failure notice
 *   "refused"             a join's failure notice
 *   "bad relay"           p2pCreateLobby
 *   "relay user too long" p2pCreateLobby
 *   "relay password too long" p2pCreateLobby
 *   "0 byte in relay"     p2pCreateLobby
 * A join's failure notice is the one (0, MsgError, REASON) that ends a
 * p2pConnect made with "async" = 1 (see there); the notice texts of a
 * connection, "error" and "overflow", are at MsgError.
 *
 * Memory: every buffer the library holds is bounded. Should the C runtime's
 * heap be exhausted all the same, the library ends the process (abort)
 * rather than go on with a half-built record.
 */
#ifndef LOBBYLINK_H
#define LOBBYLINK_H

#include <stdint.h>

#include "lobbylink/version.h" /* LOBBYLINK_VERSION_* */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define LOBBYLINK_CALL __cdecl
#else
#define LOBBYLINK_CALL
#endif

/* The ELF build hides every symbol but the exports (the Windows build lists
 * them in its module definition file). */
#if defined(__GNUC__) && !defined(_WIN32)
#define LOBBYLINK_API __attribute__((visibility("default")))
#else
#define LOBBYLINK_API
#endif

/* ---- The host's dictionary -------------------------------------------------
 * A character trie in first-child/next-sibling form. A key of n characters is
 * a path of n nodes, one per character; the key's value hangs on the node of
 * its last character (value null on the nodes that only lead on).
 *
 * The dictionary pointer is its root node: ch = 0, standing for no key. The
 * first characters of the keys stand in the root's sibling chain (root->sibling,
 * then their siblings), not under root->child. A node's child heads the chain
 * of the characters that follow it. Within every chain the nodes stand in the
 * order in which they were added: the library appends a new node at the end
 * of the chain and never reorders or removes one. A chain holds each
 * character once; a key is found by walking the chain for its first
 * character, going to that node's child chain for the next, and so on.
 * Writing "id" = 7, then "msg" = "hi", then "ip" (a String) into an empty
 * dictionary makes this ("->" sibling, "|" child):
 *
 *     root(0) -> 'i' -------------------------> 'm'
 *                 |                              |
 *                'd' [Integer 7] -> 'p' [String] 's'
 *                                                |
 *                                               'g' [String "hi"]
 *
 * An empty dictionary is the root alone: ch = 0 and its three pointers null.
 * A value of kind ValueInteger holds payload.integer; one of kind ValueString
 * holds payload.string, a CharList whose count is the string's length (count
 * cells from head, linked by next; tail the last; a count of 0 owns no cells;
 * no terminating cell). Any other kind reads as absent.
 *
 * Who frees what: every node, value, CharList and CharCell is a separate block
 * from malloc of the C runtime the host shares with the library. The library
 * adds nodes, values and strings for the results it writes and, when it
 * replaces a String by a String, reuses that list and its cells (allocating or
 * freeing only the difference); when it replaces a String by an Integer it
 * frees the list and its cells. It never frees a node or a value, and never
 * keeps a pointer into the dictionary after the call returns. Everything else
 * is the host's: it frees the whole trie, including what the library added,
 * when it is done with it (llMapFree in lobbylink/hostmap.h does exactly that).
 * On the 32-bit Windows build the records have the host's exact layout (16, 8,
 * 12 and 8 bytes). */

typedef enum ValueKind { ValueInteger = 1, ValueString = 3 } ValueKind;

typedef struct CharCell {
    char ch;
    struct CharCell *next;
} CharCell;

typedef struct CharList {
    CharCell *head;
    CharCell *tail;
    uint32_t count; /* authoritative length of the string */
} CharList;

typedef struct ArgValue {
    int32_t kind; /* ValueKind; any other kind reads as absent */
    union {
        int32_t integer;
        CharList *string;
    } payload;
} ArgValue;

typedef struct ArgNode {
    struct ArgNode *sibling;
    struct ArgNode *child;
    char ch;
    ArgValue *value;
} ArgNode;

/* ---- Protocol constants a host needs ----------------------------------------
 * Fixed: every peer relies on the same numbers. */
enum {
    LobbyPort = 31903,            /* TCP port of the lobby host */
    LobbyMaxNameLength = 63,      /* longest "user" name, in bytes (not characters) */
    LobbyMaxSecretLength = 255,   /* longest "secret" of a private lobby, in bytes */
    LobbyMaxClients = 253,        /* most clients in one lobby (ids 2..254) */
    LobbyQueueBytes = 65536,      /* size of a send queue: p2pBuffer's "res" when it is empty */
    LobbyClientFrameOverhead = 3, /* queue bytes a client's text takes beyond its own bytes */
    LobbyHostFrameOverhead = 4,   /* the same for the lobby host's text, in a client's queue */
    HostId = 1,                   /* id of the lobby host */
    BroadcastId = 255,            /* receiver meaning everybody but the sender */
    MsgRelay = 122,               /* lobby host that gave a "relay": sender 0, text the
                                     relayed address "ADDRESS:PORT" ("[ADDRESS]:PORT" for
                                     IPv6), "no relay", "refused", or later "lost" (see
                                     p2pCreateLobby); members may send 122 too: theirs never
                                     has sender 0 */
    MsgLobbyFound = 123,          /* a lobby that answered p2pFindLobbies: sender 0, text
                                     "ADDRESS MEMBERS open|private NAME" (members may send
                                     123 too: theirs never has sender 0) */
    MsgPortmap = 124,             /* lobby host that asked for "portmap": sender 0, text the
                                     router's external IPv4 address, "no router", "refused",
                                     or later "lost" (see p2pCreateLobby); members may send
                                     124 too: theirs never has sender 0 */
    MsgError = 125,               /* local failure notice: sender 0, text "error" or "overflow",
                                     or why a join with "async" failed (see p2pConnect) */
    MsgJoin = 126,                /* a member joined: sender = its id, text = its name */
    MsgLeave = 127                /* a member left: sender = its id, text = its name */
};

/* Outcome of the last admission, as p2pSearchClientError reports it. */
enum {
    SearchOk = 0,
    SearchListenFailed = 1,
    SearchHandshakeLost = 2,
    SearchHandshakeTooLong = 3,
    SearchLobbyFull = 4 /* LobbyMaxClients present: the newcomer was turned away */
};

/* ---- Lifecycle ---------------------------------------------------------------
 * p2pInit(map): starts the socket library. "result" 1, or "error" =
 *   "WSAStartup" then "result" 0.
 * p2pTerminate(map) / nlTerminate(map): ends all networking, stops any admission
 *   (it does not outlive the call) and returns the socket library's cleanup
 *   result (0 where there is none). On Windows it releases only a WSAStartup
 *   that p2pInit made: with none outstanding it returns SOCKET_ERROR (-1) and
 *   leaves Winsock to the host and its other libraries.
 * p2pDisconnect(map): ends the lobby or connection and returns to idle.
 *   Both end every connection in order, without waiting: what p2pSend has
 *   queued goes out as far as the connection takes it at once, and the peer
 *   reads it before the end of the connection.
 * p2pCreateLobby(map): reads "user" (String, at most LobbyMaxNameLength
 *   bytes); becomes the lobby host. Failures: "error" = "already
 *   connected", "no user", "user too long", "0 byte in user", "secret too
 *   long", or for "relay" (below) "bad relay" (not HOST or HOST:PORT),
 *   "relay user too long", "relay password too long" (more than 512 bytes
 *   each) or "0 byte in relay" (in any of the three), then "result" = 0,
 *   with nothing changed.
 *   Private lobbies: with the optional String "secret" (a passphrase or an
 *   invite code, 1 to LobbyMaxSecretLength bytes, every one of which counts,
 *   a 0 byte as any other) only players who give
 *   p2pConnect the same secret get in, and every byte of the lobby travels
 *   authenticated and encrypted: the Noise Protocol Framework's handshake
 *   NNpsk0 (25519, ChaChaPoly, SHA256), its pre-shared key stretched from the
 *   secret with Argon2id and a random salt per lobby, the member's name
 *   inside the handshake, and then sealed records both ways. A connection
 *   that fails the handshake (no secret, a wrong one, garbage, a replayed
 *   message) is closed without a slot, a notice or an inbox entry, and the
 *   search goes on: strangers can neither end it nor hold up a player, since
 *   many handshakes run at once, each with its own deadline. A record that
 *   fails to open, is replayed, reordered or cut short ends that connection
 *   at once (a member leaves with its leave notice; a client gets its loss
 *   notice). The secret protects who may join, and the confidentiality and
 *   integrity of the messages against anyone outside the lobby. It does not
 *   protect against the lobby host, which opens and reseals everything it
 *   relays: members trust it, as in an open lobby. Someone who records a
 *   handshake can test guesses of the secret offline, at Argon2id's cost per
 *   guess (two passes over 32 MiB), so players should use an invite code of
 *   at least 10 random characters rather than a word. A missing or empty
 *   "secret" is an open lobby, on the wire as it always was. Flow control,
 *   p2pBuffer and the queue sizes count what the application sends; records
 *   cost the library, not the queues.
 *   With the optional Integer "portmap" = 1 the library also asks the home
 *   router to forward TCP LobbyPort to this machine while the lobby is open.
 *   The call does not wait for the router: one notice (0, MsgPortmap, text)
 *   arrives later with the outcome, as text either the router's external
 *   IPv4 address (players outside the home network join by it), "no router"
 *   (nothing answered within about 3 seconds) or "refused" (the router
 *   declined: the port is another machine's, or not allowed). Without
 *   "portmap" no packet goes to any router. The library itself speaks both
 *   protocols home routers offer, NAT-PMP (RFC 6886) to the default gateway
 *   and UPnP-IGD (SSDP search to the multicast group and to the gateway), the
 *   same way on Linux and Windows. The mapping takes a 20-minute lease,
 *   renewed at half-life (a permanent one where the router grants no other),
 *   and is deleted by p2pDisconnect and p2pTerminate, which wait for the
 *   router at most about a second for it. A mapping that points at another
 *   machine is never taken over.
 *   After the address, one more notice (0, MsgPortmap, "lost") comes when
 *   the mapping cannot be kept: the router refuses to renew it, another
 *   machine now holds the port, or the router has not answered for a whole
 *   lease (renewals it does not answer are asked again quietly while the
 *   lease lasts). Players outside can no longer join then; nothing more is
 *   asked of the router until the lobby closes.
 *   With the optional Integer "announce" = 1 the lobby answers players'
 *   p2pFindLobbies on UDP port LobbyPort while it is open, during p2pUpdate:
 *   its name (the "user"), its member count (the lobby host included),
 *   whether it is private, and the protocol version; nothing else. Only
 *   queries from an address on a network this machine is directly connected
 *   to are answered, at most 20 per second. Without "announce" the library
 *   opens no UDP socket; if the port cannot be bound the lobby opens all the
 *   same, unannounced. p2pDisconnect and p2pTerminate close it.
 *   Hosting through a relay: with the optional String "relay" ("HOST" or
 *   "HOST:PORT" of a TURN server over TCP, default port 3478, an IPv6
 *   address in brackets) and the credentials "relayUser" and
 *   "relayPassword" (long-term ones, such as a TURN server's REST
 *   credentials), the lobby also takes players through a TCP relay (RFC
 *   6062) that the server allocates for it: players who cannot reach this
 *   machine join the relayed address with an ordinary p2pConnect. The call
 *   does not wait for the server: one notice (0, MsgRelay, text) arrives
 *   later, as text either the relayed address "ADDRESS:PORT" ("[ADDRESS]:PORT"
 *   for IPv6), "no relay" (nothing answered within about 5 seconds) or
 *   "refused" (the server declined: bad credentials, quota, a relay it will
 *   not make). After the address, one more notice (0, MsgRelay, "lost")
 *   comes when the allocation cannot be kept: the server is gone or refuses
 *   a refresh. Members who joined through the relay then get their usual
 *   loss or leave notices. A player who connects through the relay comes
 *   to the lobby's door as one on LobbyPort does: only while a search or its
 *   grace holds the lobby open, through the same admission, open or private,
 *   with the same limits and notices (a private lobby's limit per address
 *   counts the player's own address, as the server reports it). The server
 *   must take plain TCP players on its relayed addresses (coturn:
 *   --server-relay). Anyone can connect to a relayed port: a lobby on a
 *   relay should have a "secret". Through a relay, a connection's end may
 *   cut what was sent just before it (the server resets both sides when one
 *   closes): last words before p2pDisconnect or p2pKick are not guaranteed
 *   to arrive there. The allocation is refreshed while the lobby lives and
 *   released by p2pDisconnect and p2pTerminate, which wait for the server
 *   at most about a second for it. "relay" works alone and together with
 *   "portmap", "secret" and "announce". */
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pInit(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pTerminate(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL nlTerminate(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pDisconnect(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pCreateLobby(ArgNode *map);

/* ---- Inbox ---------------------------------------------------------------------
 * p2pRecv(map): takes the oldest entry. Writes "result" = 0 when empty; else
 *   "result" = 1, "usr" (sender, signed 8-bit), "id" (message id, signed
 *   8-bit), "msg" (String, whole). Signed means that ids and senders 128 to
 *   255 come back as -128 to -1 (a message sent with id 200 arrives with
 *   "id" -56): read them as (value & 0xff). */
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pRecv(ArgNode *map);

/* ---- Admission (lobby host) -------------------------------------------------------
 * p2pSearchClient(map): listens on LobbyPort for one client, over IPv6 and
 *   IPv4 alike (IPv4 alone where the machine has no IPv6). Once the search
 *   has taken its connection (admitted or turned away) the port stays open
 *   for about two seconds: players who connected meanwhile wait there, and a
 *   p2pSearchClient called within that time admits the next of them. Without
 *   one the port closes and they are refused; p2pDisconnect and p2pTerminate
 *   close it at once. "result" 1; 0
 *   without "error" while a search runs; "error" = "bind" then "result" 0 when
 *   the port cannot be bound (taken on either family); "error" = "thread" then "result" 0 when the
 *   admission thread cannot be started.
 * p2pIsSearching(map) / p2pSearchClientError(map): "result" = the flag / the
 *   outcome of the last search (Search* above); with a null map the value is
 *   returned instead.
 * p2pCancelSearch() / p2pUncancelSearch(): turn away / admit again the next
 *   client that completes its handshake. */
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pSearchClient(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pIsSearching(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pCancelSearch(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pUncancelSearch(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pSearchClientError(ArgNode *map);

/* ---- The pump and the members ---------------------------------------------------
 * p2pUpdate(map): moves all traffic; call it from the main loop. Never blocks.
 * p2pKick(map): lobby host; removes the client whose id (signed 8-bit) is "id".
 * p2pNumClients(map): "result" = number of admitted clients (also returned
 *   when map is null).
 * p2pClientName(map): "result" = the name (String) of client "id", or "". */
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pUpdate(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pKick(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pNumClients(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pClientName(ArgNode *map);

/* ---- Client connection -------------------------------------------------------------
 * p2pConnect(map): reads "address" (String, optional: the local machine; a
 *   name, an IPv4 or an IPv6 address) and "user" (String, at most
 *   LobbyMaxNameLength bytes); blocks while it connects and sends the handshake. The
 *   addresses a name resolves to are tried staggered (RFC 8305: the next one
 *   250 ms after the previous while none has answered, alternating IPv6 and
 *   IPv4, each for at most 10 s); the first to connect is used. "pkg" = sends
 *   that carried the handshake; "result" 1 on success, then "addr" (String)
 *   = the address joined as numeric text ("::1", "192.168.1.20").
 *   Failures: "error" = "already connected", "no user", "user too long",
 *   "0 byte in user" or "0 byte in address" (then "result" 0; nothing is
 *   tried); "result" 0 then "error" = "getaddrinfo", "socket" (no
 *   socket could be made for any of the addresses), "couldn't connect" (also
 *   when the connection cannot be made non-blocking) or "failed to send
 *   user".
 *   With the optional String "secret" it joins a private lobby (see
 *   p2pCreateLobby): it blocks until the private handshake is done, at most
 *   about 10 seconds after the connection is made. Failures then: "error" =
 *   "secret too long" (before anything is tried), or "result" 0 then
 *   "error" = "wrong secret" (the lobby host does not take the secret),
 *   "lobby busy" (the lobby host let it go for another reason: its door is
 *   full, the handshake's deadline passed, the lobby closed; try again) or
 *   "not a private lobby" (no private lobby host answered within that time:
 *   an open lobby, or a lobby host that is not admitting). Without a
 *   secret, a private lobby's greeting is "result" 0 then "error" =
 *   "private lobby": the connection is closed, the inbox holds nothing.
 *   A later loss of the connection arrives as the notice (0, MsgError,
 *   "error").
 *   With the optional Integer "async" = 1 it does not wait. The checks that
 *   need no network stay as above ("error" = "already connected", "no
 *   user", "user too long", "0 byte in user", "0 byte in address" or
 *   "secret too long", then "result" 0); else it
 *   returns at once with "result" 1, meaning only that the join started,
 *   and writes neither "pkg" nor "addr" ("result" 0 then "error" = "thread"
 *   when no thread could be started for it). The library is then a client
 *   that is connecting. A thread of the library's own does the waiting:
 *   the name resolution, the staggered connects, the handshake with its
 *   pause and a private lobby's whole handshake, the secret's stretch
 *   included. It touches nothing of the host application's (no dictionary,
 *   no callback); it works on sockets of its own and reaches the library's
 *   state only under its lock, once, to hand the connection to p2pUpdate
 *   or to post its failure. Nothing on the caller's thread waits, and
 *   p2pUpdate stays as quick as ever. The outcome arrives in the inbox:
 *     admitted: the lobby host's join notice (HostId, MsgJoin, its name)
 *       first, as after a blocking p2pConnect; a later loss of the
 *       connection is (0, MsgError, "error") as always;
 *     failed: exactly one notice (0, MsgError, REASON), REASON one of
 *       "getaddrinfo", "couldn't connect", "refused" (the lobby host closed
 *       the connection before admitting: the lobby is full, it is not
 *       searching, its search was cancelled, or the name is too long),
 *       "wrong secret", "not a private lobby", "private lobby" (a private
 *       lobby host answered and no secret was given) or "lobby busy" (a
 *       private lobby let the player go for another reason than the
 *       secret: try again in a moment). The library is then a client without a
 *       connection, as after a lost one: p2pConnect answers "already
 *       connected" until p2pDisconnect.
 *   While it connects, p2pSend queues as usual (p2pBuffer counts it), and
 *   the queue goes out once the handshake is done (in an open lobby, after
 *   its pause). p2pDisconnect and p2pTerminate cancel the join at once and
 *   leave no notice, thread or socket behind; a new p2pConnect may follow.
 *   Two steps cannot be cut short: the secret's stretch under way is
 *   waited for (tens of milliseconds, a few hundred under Wine), and a
 *   name resolution under way is left to end on the join's thread, which
 *   then ends without touching the library's state. A host may unload the
 *   library while a join runs: the thread keeps the library's code loaded
 *   until it ends. */
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pConnect(ArgNode *map);

/* ---- Finding lobbies on the local network ---------------------------------------
 * p2pFindLobbies(map): while idle, sends one query to the directed broadcast
 *   address of every IPv4 network this machine is on (its address with the host
 *   bits set; never 255.255.255.255) and returns at once: "result" 1; "error" =
 *   "already connected" then "result" 0 in a lobby or connection; "result" 0
 *   then "error" = "socket" when no UDP socket can be made. For about two
 *   seconds after, p2pUpdate puts one notice per lobby that answers in the
 *   inbox: sender 0, id MsgLobbyFound, text "ADDRESS MEMBERS open|private NAME",
 *   e.g. "192.168.1.20 3 open gold": the IPv4 address to pass to p2pConnect, the
 *   members, and the name last (it may hold spaces; only its printable ASCII
 *   characters are kept). A lobby is listed once per call, and only lobbies
 *   whose host created them with "announce" = 1 and that speak this library's
 *   protocol version are found. p2pConnect, p2pCreateLobby, p2pDisconnect,
 *   p2pTerminate and a new p2pFindLobbies end the listing. */
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pFindLobbies(ArgNode *map);

/* ---- Sending --------------------------------------------------------------------------
 * p2pSend(map): "msg" (String), "id" (message id, low 8 bits), "rcv" (receiver,
 *   low 8 bits: 255 everybody, 1 the lobby host, else that member). Queues the
 *   message for the next p2pUpdate; an empty or missing "msg" sends nothing,
 *   and so does a message id whose low 8 bits are 0 (or, from a client, such
 *   a receiver), or a "msg" holding a 0 byte: a 0 byte ends a frame, so those
 *   cannot be sent. Message ids
 *   125 to 127 are the library's notices (MsgError, MsgJoin, MsgLeave): they
 *   are not sent either, and the lobby host drops a client's message that
 *   carries one, so a member may use 1 to 124 and 128 to 255.
 *   A client whose queue cannot take the message loses its connection and gets
 *   the notice (0, MsgError, "overflow"); at the lobby host, a client whose
 *   queue cannot take it is dropped.
 * p2pBuffer(map): "res" = room left in a send queue of LobbyQueueBytes: the
 *   client role's own, or, at the lobby host, that of client "id"; 0 when idle
 *   or for an unknown id. A text of L bytes fits when
 *   L + LobbyClientFrameOverhead < res (client) or
 *   L + LobbyHostFrameOverhead < res (lobby host).
 *
 *   Flow control at the lobby host, per sender: besides what p2pSend queues,
 *   a client's queue takes the notices and relayed frames of other members
 *   up to four times LobbyQueueBytes, so p2pBuffer answers 0 (never less)
 *   while relayed traffic holds LobbyQueueBytes or more. A client's message
 *   is relayed when every member it is addressed to has room for it and,
 *   when it is for the lobby host or everybody, the inbox is not full;
 *   otherwise that client alone waits: nothing more is read from it until
 *   the message goes (its own queue fills and its p2pBuffer slows it down),
 *   while every other member keeps flowing. A broadcast waits for the
 *   slowest member. Nothing is lost, repeated or reordered, and every queue
 *   stays bounded. A client whose queue stays at twice LobbyQueueBytes or
 *   more while its connection takes no byte for 10 seconds is dropped, so
 *   one frozen member holds back those sending to it for no longer. Relayed
 *   traffic drops nobody else: only this rule and a lobby host's p2pSend
 *   that does not fit (above) do. */
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pSend(ArgNode *map);
LOBBYLINK_API int32_t LOBBYLINK_CALL p2pBuffer(ArgNode *map);

/* ---- Host callback slots -----------------------------------------------------------------
 * Nine slots where a host that binds every export of a networking library by
 * name registers its own functions (dictionary access, key and mouse input).
 * They exist so that such a host finds every name it binds; this library
 * needs none of them: it reads and writes the dictionary through the layout
 * above and takes no input events. Each stores its pointer, replacing the
 * earlier one, and returns it; the library keeps them and calls none of them.
 * A host may ignore them entirely. */
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlPointerFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlIntegerFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlStringFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlKeyCharFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlKeyDownFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlKeyUpFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlMouseDownFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlMouseUpFunc(void *fn);
LOBBYLINK_API intptr_t LOBBYLINK_CALL nlMouseMoveFunc(void *fn);

#ifdef __cplusplus
}
#endif

#endif /* LOBBYLINK_H */
