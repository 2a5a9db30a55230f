// The folder src/net/base/ holds what every room of the library stands on:
// this file, the core's one clock (clock.h), the plain wire's frames
// (protocol.h), byte queues, the inbox, and addresses as text (address.h,
// hostport.h). It includes nothing of the other folders of src/net.
//
// Every limit and timeout of the lobby, each with its reason. None of them is
// configurable: peers on both ends rely on the same numbers.
#pragma once

#include "lobbylink/lobbylink.h"

#include <cstddef>
#include <cstdint>

namespace ll {

// Every send queue and receive buffer of the protocol: a peer that keeps its
// own queue within it never overruns the other side's receive buffer.
const uint32_t QueueCapacity = LobbyQueueBytes;
// Names are at most LobbyMaxNameLength characters; the handshake is a name
// and its terminator.
const uint32_t MaxNameLength = LobbyMaxNameLength;
const uint32_t HandshakeLimit = MaxNameLength + 1;

// Ids a lobby can hand out: 2..254 (0 ends frames, 1 is the lobby host, 255
// means everybody).
const int MaxClients = LobbyMaxClients;
static_assert(MaxClients == BroadcastId - HostId - 1, "one id for every client");
// Longest frame the lobby host takes from a client, its 0 included: relayed,
// with the sender byte in front, it just fits a client's receive buffer.
const uint32_t MaxClientFrame = QueueCapacity - 1;

// Flow control at the lobby host, per sender. The rule, written out here
// once for the code (the public header says it for users; relay.cpp
// carries it out):
// - A client's send queue at the lobby host holds, besides what p2pSend
//   queues (counted against QueueCapacity), notices and relayed frames up to
//   RelayRoom, so a member that pauses reading for a moment is waited for
//   instead of dropped.
// - Relayed frames fill it only up to RelayFrameRoom; the rest, NoticeRoom,
//   is kept for join and leave notices (a join and a leave of as many
//   members as a lobby holds), so members coming and going while another
//   one is slow do not drop it.
// - A client's frame is relayed only when every member it is addressed to
//   has room for it within RelayFrameRoom and, when it is for the lobby host
//   or everybody, the inbox is not full. Otherwise that sender alone is held
//   at the frame: the frame and the rest of its receive are kept with it,
//   nothing more is read from it, and it waits on the list of the one member
//   (or the inbox) that lacked room until its frame fits there. Everybody
//   else flows; a broadcast waits for the slowest member it is addressed to.
//   Nothing is dropped, repeated or reordered.
// - So a sender waits only on a member whose queue holds HighWaterMark bytes
//   or more, and a member that stays there while its connection takes
//   nothing for StallTimeoutMs is dropped: the only reason relayed traffic
//   drops anybody.
const uint32_t RelayRoom = 4 * QueueCapacity;
const uint32_t NoticeRoom = 2 * MaxClients * (HandshakeLimit + 3);
const uint32_t RelayFrameRoom = RelayRoom - NoticeRoom;
const uint32_t HighWaterMark = 2 * QueueCapacity;
static_assert(RelayFrameRoom - MaxClientFrame - 1 >= HighWaterMark,
              "a frame that does not fit must mean a queue above the mark");
// One frozen member holds its senders back for no longer than this.
const uint64_t StallTimeoutMs = 10000;

// The inbox bound. At the lobby host a frame for the inbox waits with its
// sender while the inbox holds this much, so the inbox passes the bound by
// one entry at most. A client reads nothing from its lobby host while the
// inbox is full, and one receive there adds at most 65536 bytes or 21846
// entries on top. Either way the inbox stays bounded whatever the peers
// send and however seldom the host application calls p2pRecv.
const uint32_t InboxMaxBytes = 4u << 20;
const uint32_t InboxMaxEntries = 65536;

// A handshake that has not completed this long after its connection was
// accepted is given up as lost, so a silent connection cannot hold the
// lobby's door shut.
const uint64_t HandshakeDeadlineMs = 10000;
// p2pConnect gives up on one address this long after it started trying it,
// instead of freezing the host application for the system's own timeout.
const int ConnectTimeoutMs = 10000;
// It waits for its attempts in slices (JoinWaitSliceMs) and reads the clock
// between them, so that each attempt's time is measured on the core's clock.
// p2pConnect staggers its attempts (RFC 8305): while none has connected, the
// next address is tried this long after the previous one, alternating
// between IPv6 and IPv4, and the earlier attempts keep running. A working
// path of a lobby within reach answers well within it, so a healthy first
// address wins alone; an address family whose packets vanish (a broken
// IPv6 setup) costs this long instead of ConnectTimeoutMs.
const int ConnectStaggerMs = 250;
// Attempts running at once. Silent addresses overlap ConnectTimeoutMs /
// ConnectStaggerMs at the most (40), a few more when others fail fast; a
// further address waits until one of them ends.
const int ConnectAttemptsAtOnce = 48;
// Room for an address as numeric text, with a scope ("fe80::1%eth0").
const uint32_t AddressTextSize = 64;
// Keep-alive on every lobby connection: after KeepAliveIdleS quiet seconds
// the peer is probed every KeepAliveProbeS seconds, and after
// KeepAliveProbes unanswered probes (about a minute in all) it counts as
// gone. The same limit bounds how long unacknowledged data may wait.
const int KeepAliveIdleS = 30;
const int KeepAliveProbeS = 3;
const int KeepAliveProbes = 10;

// The handshake is paced on both ends: the client pauses after each send
// that carried name bytes, the lobby host after each receive, before it reads
// on or admits. Peers expect this pacing; it is not a tuning knob.
const int ClientHandshakePauseMs = 100;
const int AdmissionHandshakePauseMs = 100;
// After a search that took a connection, the listening socket stays open
// this long: players who connected at the same moment wait in its backlog,
// and a host application that searches again on its next frame, or after a
// slow one, admits them from the same socket instead of having them reset.
// Without a new search the socket closes after it, as before.
const uint64_t SearchGraceMs = 2000;
// The admission thread waits in slices of this length and checks between
// them whether it is asked to stop, so p2pDisconnect never waits longer.
const int AdmissionWaitSliceMs = 25;
// Connections handed over by a way in from outside (a relay server's) that
// wait for the admission at once, as a listening socket's backlog holds
// those that connected: one more is closed. The admission thread takes
// them between its slices, and a private lobby's door takes a burst of
// PrivateAcceptBurst at a time from the listener; this holds as many.
const int HandOverBacklog = 32;

// ---- Private lobbies (noise.cpp) ----
// A lobby's secret, a passphrase or an invite code, is at most this long.
const uint32_t MaxSecretLength = LobbyMaxSecretLength;
// Argon2id stretches the secret into the handshake's pre-shared key, with
// the lobby's own salt. The lobby host pays it once per lobby and a client
// once per p2pConnect; someone who recorded a handshake pays it for every
// guess. Two passes over 32 MiB took 42-62 ms on Linux and 67-231 ms under
// Wine (32-bit) on a busy two-core machine: unnoticed within p2pConnect,
// which waits for a handshake anyway, and 1.7 times the memory per guess of
// the usual minimum (19 MiB, 25-40 ms). Twice that (64 MiB, 91-117 ms on
// Linux) is not taken: a 32-bit game process may not find such a free block.
const unsigned long long SecretStretchPasses = 2;
const size_t SecretStretchBytes = size_t{32} << 20;
// p2pConnect with a secret blocks for the private handshake at most this long
// after its connection is made: a private lobby host answers at once, so
// this is only reached with an open lobby host (which waits for a name and
// says nothing), a lobby host that is not admitting, or a dead path.
const uint64_t PrivateJoinDeadlineMs = 10000;
// A join (p2pConnect) waits for its connects, its handshake pause and the
// lobby host's bytes in slices of this length, and checks between them the
// deadline and whether the application cancelled it: p2pDisconnect ends a
// join under way within about this long (a stretch of the secret under way
// excepted, which cannot be cut short).
const int JoinWaitSliceMs = 25;
// Handshakes the admission of a private lobby serves at once, each with its
// own HandshakeDeadlineMs. One below the poller's array on Winsock, which
// also holds the listener. A newcomer beyond them displaces one that has
// proven less (admission_private.cpp): one whose message 1 has not opened,
// from the source that holds the most handshakes, the oldest of those. A
// player who knows the secret holds one handshake, from its own address, so
// strangers displace each other, whatever they send, and never the player
// for being silent while it stretches the secret; only strangers from as
// many sources as there are slots, each with one handshake, would reach it.
const int PrivateHandshakesAtOnce = 192;
// Handshakes one source (an IPv4 address; an IPv6 /64) has under way at
// once: players behind one home router share its address, and a LAN party
// joining a lobby across the Internet at one moment is rarely more than
// this many; beyond it a source's newcomer displaces its own oldest. A
// flood from one address so holds a twelfth of the slots at most, and the
// others stay free for everybody else without any displacing.
const int PrivateHandshakesPerSource = 16;
// Connections taken from the listener per readiness report, so a flood is
// drained at the rate it comes rather than one per wait.
const int PrivateAcceptBurst = 32;

// ---- Opening the lobby port on the home router (portmap.cpp) ----
// A router answers NAT-PMP in milliseconds and SSDP within a second (MX 1);
// a lobby host with no router learns so after this long, and the host
// application can tell its player without a long wait.
const int PortmapAnswerBudgetMs = 3000;
// NAT-PMP's own retransmission schedule (RFC 6886): the first resend after
// 250 ms, each later one after twice the wait before it.
const int NatPmpFirstResendMs = 250;
// The SSDP search is resent this often within the budget: a datagram may be
// lost, and a router announces nothing we could wait for instead.
const int SsdpResendMs = 1000;
// Where a router answers both, NAT-PMP is preferred (a lease is part of the
// protocol, one exchange maps): an SSDP answer waits this long for it.
const int PortmapPreferNatPmpMs = 500;
// One HTTP exchange with the router's UPnP service, connect to last byte.
const int PortmapHttpMs = 2000;
// The largest HTTP answer read: real device descriptions are a few KiB.
const uint32_t PortmapHttpCapacity = 32768;
// The lease asked for: a game that crashes leaves the port open for at most
// this long. It is renewed at half of what the router granted.
const uint32_t PortmapLeaseS = 20 * 60;
// A renewal the router did not answer is asked again after half of what is
// left of the lease, but no sooner than this (DHCP's rule, RFC 2131 4.4.5,
// which RFC 6886 follows): a router that is away is not flooded.
const uint64_t PortmapRetryLeastMs = 60000;
// Deleting the mapping when the lobby closes waits at most this long for the
// router, so p2pDisconnect and p2pTerminate never hang on it.
const int PortmapCloseMs = 1000;
// The router conversation's waits are cut into slices this long, between
// which it checks whether the lobby has closed.
const int PortmapSliceMs = 25;

// ---- Hosting through a TURN relay (turn.cpp) ----
// The relay server's port when the address names none (RFC 5766's).
const uint16_t TurnDefaultPort = 3478;
// From the start to the relayed address, authentication round included: a
// server answers within milliseconds, so a lobby host whose server is away
// learns so after this long, as with the home router.
const int TurnAnswerBudgetMs = 5000;
// Addresses of the server's name tried at once; the first that connects is
// the server.
const int TurnAddressesAtOnce = 8;
// The largest STUN message read or written: a signed request with a user
// name, realm and nonce of their greatest lengths fits, and servers answer
// in a few hundred bytes.
const size_t TurnMessageCapacity = 2560;
// A Refresh (and a request retried after a stale nonce) waits this long for
// its answer: RFC 5389's transaction timeout over TCP (Ti, 39.5 s), well
// within the half of the lifetime that is left when it goes out.
const int TurnTransactionMs = 39500;
// Answers a request may get before it counts as refused: one 401 that names
// the realm before credentials went out, then stale nonces (438), each with
// a new nonce. A server that keeps finding them stale is declining.
const int TurnAuthTries = 4;
// The lifetime assumed when a server grants one without saying how long
// (RFC 5766's default); the allocation is refreshed at half of it, and at
// least this often, so a tiny lifetime cannot make the thread spin.
const uint32_t TurnDefaultLifetimeS = 600;
const uint64_t TurnLeastRefreshMs = 1000;
// A player connected to the relayed address is bound on a new connection to
// the server at once: the server keeps only the first 64 KiB the player
// sends before the bind and resets a player not bound within 30 s. A bind
// gets this long, connect to answer.
const int TurnBindMs = 10000;
// Binds under way at once, each a connection to the server; connection
// attempts beyond them wait in a queue of TurnAttemptsWaiting, and further
// ones are dropped (the server resets those players after its 30 s). One
// poller holds the control connection and every bind.
const int TurnBindsAtOnce = 16;
// The server drops a player whose bind it refuses, for a stale nonce too (a
// retry finds the player gone), so a bind must never be the request that
// finds the nonce stale: players are bound with a nonce the server took
// within this long, else a Refresh first checks it (and a 438 renews it).
// Players who arrive together share one check.
const uint64_t TurnNonceFreshMs = 250;
const int TurnAttemptsWaiting = 256;
// Releasing the allocation when the lobby closes waits at most this long for
// the server, so p2pDisconnect and p2pTerminate never hang on it.
const int TurnCloseMs = 1000;
// The relay thread's waits are cut into slices this long, between which it
// checks whether the lobby has closed; a bind still connecting is looked at
// every TurnConnectPollMs.
const int TurnSliceMs = 25;
const int TurnConnectPollMs = 5;

// ---- LAN discovery (discovery.cpp) ----
// A player's listing takes answers for this long after its queries went
// out: on a LAN they arrive within milliseconds of the lobby host's next
// p2pUpdate, and this also waits out a host application whose loop pauses
// for a loading screen.
const uint64_t DiscoveryListenMs = 2000;
// Datagrams one update reads from a discovery socket. Whatever arrives, an
// update does this much work at most; a flood beyond it waits in the
// system's receive buffer, which drops what does not fit.
const int DiscoveryReadsPerUpdate = 16;
// Answers a lobby host sends in one second at most. Every player of a LAN
// party that lists at the same moment is answered within a second or two,
// while forged queries make it send no more than this (about 1.4 KB/s).
const int DiscoveryAnswersPerSecond = 20;
// Addresses of this machine that are compared with a query's sender, and how
// often the lobby host reads them again (at most once per this long, and
// only when queries arrive): a machine's addresses change seldom, and
// reading them is a round trip to the system.
const int MaxLocalNets = 32;
const uint64_t DiscoveryNetsRefreshMs = 1000;
// Lobbies one listing reports at most: answers from further addresses are
// dropped, so a flood of forged answers fills no inbox.
const int MaxListedLobbies = 256;

// LobbyPort as the service string name resolution takes, derived from the
// port so the two can never disagree.
struct PortText {
    char text[6];
};
constexpr PortText portText(unsigned port) {
    PortText out{};
    char digits[6] = {};
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + port % 10);
        port /= 10;
    } while (port != 0 && n < 5);
    for (int i = 0; i < n; ++i) out.text[i] = digits[n - 1 - i];
    return out;
}
constexpr PortText LobbyService = portText(LobbyPort);

} // namespace ll
