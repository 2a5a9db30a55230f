// LAN discovery over the platform layer's UDP sockets: the announcing lobby
// host's answers and the player's listing (discovery.h).
#include "net/outside/discovery.h"

#include "net/base/clock.h"
#include "net/outside/discovery_wire.h"

#include <cstring>

namespace ll {

namespace {

void closeSocket(Socket *s) {
    if (*s != InvalidSocket) sockClose(*s);
    *s = InvalidSocket;
}

// Only players on a network this machine is directly connected to are
// answered: a sender elsewhere would be a forged address or a query routed
// from afar.
bool onLocalNet(DiscoveryState &d, uint32_t sender) {
    uint64_t now = nowMs();
    if (!d.netsRead || now - d.netsReadMs >= DiscoveryNetsRefreshMs) {
        int n = localNets4(d.nets, MaxLocalNets);
        d.netCount = n < 0 ? 0 : n;
        d.netsRead = true;
        d.netsReadMs = now;
    }
    for (int i = 0; i < d.netCount; ++i)
        if (d.nets[i].netmask != 0 && ((sender ^ d.nets[i].address) & d.nets[i].netmask) == 0)
            return true;
    return false;
}

bool withinBudget(DiscoveryState &d) {
    uint64_t now = nowMs();
    if (now - d.windowStartMs >= 1000) {
        d.windowStartMs = now;
        d.answersInWindow = 0;
    }
    if (d.answersInWindow >= DiscoveryAnswersPerSecond) return false;
    ++d.answersInWindow;
    return true;
}

void answerQueries(DiscoveryState &d, const DiscoveryFacts &facts) {
    uint8_t datagram[DiscoveryAnswerMax + 1]; // a longer one arrives cut, and is refused
    for (int i = 0; i < DiscoveryReadsPerUpdate; ++i) {
        uint32_t from = 0;
        uint16_t port = 0;
        int n = sockRecvFrom4(d.announcer, datagram, sizeof datagram, &from, &port);
        if (n == IoAgain || n == IoFailed) return;
        if (port == 0 || !discoveryQueryParse(datagram, static_cast<size_t>(n))) continue;
        if (!onLocalNet(d, from) || !withinBudget(d)) continue;
        uint8_t answer[DiscoveryAnswerMax];
        size_t length = discoveryAnswer(answer, static_cast<uint8_t>(facts.members),
                                        facts.isPrivate, facts.name, std::strlen(facts.name));
        if (length > 0) sockSendTo4(d.announcer, from, port, answer, static_cast<int>(length));
    }
}

// Records an answering address; false when it answered before in this
// listing, or when the listing has reported as many lobbies as it may.
bool firstAnswerFrom(DiscoveryState &d, uint32_t address) {
    for (int i = 0; i < d.foundCount; ++i)
        if (d.found[i] == address) return false;
    if (d.foundCount >= MaxListedLobbies) return false;
    d.found[d.foundCount++] = address;
    return true;
}

void takeAnswers(DiscoveryState &d, bool room, DiscoveryPost post) {
    uint8_t datagram[DiscoveryAnswerMax + 1];
    for (int i = 0; i < DiscoveryReadsPerUpdate && room; ++i) {
        uint32_t from = 0;
        uint16_t port = 0;
        int n = sockRecvFrom4(d.listing, datagram, sizeof datagram, &from, &port);
        if (n == IoAgain || n == IoFailed) break;
        DiscoveryAnswer answer;
        if (port != LobbyPort || !discoveryAnswerParse(datagram, static_cast<size_t>(n), &answer))
            continue;
        if (answer.version != DiscoveryVersion || !firstAnswerFrom(d, from)) continue;
        char text[DiscoveryNoticeMax];
        size_t length = discoveryNotice(from, answer, text);
        room = post(text, length);
    }
    // What arrived in time has been read: past the end, the listing closes.
    if (nowMs() >= d.listingEndMs) closeSocket(&d.listing);
}

} // namespace

void discoveryPump(DiscoveryState *d, const DiscoveryFacts &facts, DiscoveryPost post) {
    if (d->announcer != InvalidSocket) answerQueries(*d, facts);
    if (d->listing != InvalidSocket) takeAnswers(*d, !facts.inboxFull, post);
}

void listingClose(DiscoveryState *d) {
    closeSocket(&d->listing);
    d->foundCount = 0;
}

void discoveryClose(DiscoveryState *d) {
    closeSocket(&d->announcer);
    listingClose(d);
}

void announceOpen(DiscoveryState *d) {
    if (d->announcer != InvalidSocket) return;
    d->announcer = udpBind4(LobbyPort);
    d->netsRead = false;
    d->answersInWindow = 0;
}

bool listingOpen(DiscoveryState *d) {
    listingClose(d);
    Socket s = udpBind4(0);
    if (s == InvalidSocket) return false;
    LocalNet4 nets[MaxLocalNets];
    int count = localNets4(nets, MaxLocalNets);
    uint8_t query[DiscoveryQuerySize];
    size_t length = discoveryQuery(query);
    for (int i = 0; i < count; ++i) {
        uint32_t hostBits = ~nets[i].netmask;
        // A network with room for hosts besides its own and its broadcast
        // address: not a point-to-point /31 or /32, and never 255.255.255.255.
        if (hostBits < 3 || hostBits == ~0u) continue;
        uint32_t broadcast = nets[i].address | hostBits;
        bool sent = false; // two addresses on one network: one query
        for (int j = 0; j < i && !sent; ++j)
            sent = (nets[j].address | ~nets[j].netmask) == broadcast;
        if (!sent) sockSendTo4(s, broadcast, LobbyPort, query, static_cast<int>(length));
    }
    d->listing = s;
    d->listingEndMs = nowMs() + DiscoveryListenMs;
    return true;
}

} // namespace ll
