// The conversation with the home router, on a thread of its own (portmap.h).
// One implementation for both builds: the platform layer gives it the
// default gateway, UDP datagrams and TCP connections, portmap_wire the
// messages. Every wait has a deadline and is cut into PortmapSliceMs slices,
// between which the thread checks whether the lobby has closed.
#include "net/outside/portmap.h"

#include "net/base/address.h"
#include "net/base/clock.h"
#include "net/base/limits.h"
#include "net/outside/portmap_wire.h"
#include "net/outside/sendall.h"
#include "platform/heap.h"

#include <cstring>

namespace ll {

const char PortmapNoRouter[] = "no router";
const char PortmapRefused[] = "refused";
const char PortmapLost[] = "lost";

namespace {

enum Protocol { ByNone, ByNatPmp, ByUpnp };

// UPnP error codes (IGD WANIPConnection): the port is mapped by nobody; the
// router takes permanent leases only.
const int UpnpNoSuchEntry = 714;
const int UpnpOnlyPermanentLeases = 725;
// Connection services a description may list that are tried in turn.
const int MaxServices = 4;

// The thread's own record of the conversation.
struct Conversation {
    PortmapTask *task; // the stop flag and the notice callback
    bool closing;      // the lobby has closed: only the deletion is left
    bool haveGateway;
    uint32_t gateway;
    uint32_t local; // this machine's address towards the router
    Socket natpmp;  // connected to the gateway's NAT-PMP port
    bool haveLocation;
    HttpUrl location;   // the UPnP description, from the SSDP answer
    IgdService service; // the connection service in use
    Protocol protocol;  // how the mapping was asked for
    bool mayBeMapped;   // a mapping request went out: delete it at the end
    bool mapped;        // the router confirmed it
    uint32_t leaseS;    // the lease it granted; 0: a permanent one
    uint64_t grantedAt; // when the request that it granted went out
    char external[16];  // the external address, dotted
    char *http;         // PortmapHttpCapacity bytes for one HTTP answer
};

bool cut(const Conversation &c) { return !c.closing && c.task->stop.load() != 0; }

int sliceUntil(uint64_t deadline) { return clockSlice(deadline, PortmapSliceMs); }

void announce(const Conversation &c, const char *text) { c.task->post(text); }

// ---- NAT-PMP ----

// Sends a request to the gateway, resent on RFC 6886's schedule, until its
// answer comes; false at the deadline, when the gateway refuses datagrams
// (nobody listens on the port) or when the lobby closes.
bool natpmpAsk(Conversation &c, const uint8_t *request, size_t length, uint8_t opcode,
               NatPmpAnswer *answer, uint64_t deadline) {
    if (c.natpmp == InvalidSocket) return false;
    int wait = NatPmpFirstResendMs;
    uint64_t resend = 0;
    for (;;) {
        uint64_t now = nowMs();
        if (now >= deadline || cut(c)) return false;
        if (now >= resend) {
            if (sockSend(c.natpmp, request, static_cast<int>(length)) == IoFailed) return false;
            resend = now + static_cast<uint64_t>(wait);
            wait *= 2;
        }
        int r = sockWaitReadable(c.natpmp, sliceUntil(resend < deadline ? resend : deadline));
        if (r < 0) return false;
        if (r == 0) continue;
        uint8_t data[64];
        int n = sockRecv(c.natpmp, data, sizeof data);
        if (n == IoFailed) return false;
        if (n > 0 && natpmpParse(data, static_cast<size_t>(n), answer) &&
            answer->opcode == 128 + opcode)
            return true;
    }
}

const char *mapByNatPmp(Conversation &c) {
    uint8_t request[12];
    size_t length = natpmpMapRequest(request, LobbyPort, LobbyPort, PortmapLeaseS);
    NatPmpAnswer a;
    c.protocol = ByNatPmp;
    c.mayBeMapped = true;
    c.grantedAt = nowMs();
    if (!natpmpAsk(c, request, length, NatPmpOpMapTcp, &a, nowMs() + PortmapAnswerBudgetMs))
        return cut(c) ? nullptr : PortmapNoRouter;
    if (a.result != 0 || a.lifetimeS == 0) {
        c.mayBeMapped = false; // a refusal maps nothing
        return PortmapRefused;
    }
    // Another external port means the lobby port is another machine's:
    // players could not reach us by the address alone. Ours is given back.
    if (a.externalPort != LobbyPort || a.internalPort != LobbyPort) return PortmapRefused;
    c.mapped = true;
    c.leaseS = a.lifetimeS;
    return c.external;
}

// What a renewal came to: the lease runs on, the router did not answer (it
// is asked again while the lease lasts), or the mapping cannot be kept.
enum Renewal { Renewed, NotAnswered, Lost };

Renewal natpmpRenew(Conversation &c) {
    uint8_t request[12];
    size_t length = natpmpMapRequest(request, LobbyPort, LobbyPort, PortmapLeaseS);
    NatPmpAnswer a;
    if (!natpmpAsk(c, request, length, NatPmpOpMapTcp, &a, nowMs() + PortmapAnswerBudgetMs))
        return NotAnswered;
    // Another port: ours lapsed and the lobby port went to another machine.
    if (a.result != 0 || a.lifetimeS == 0 || a.externalPort != LobbyPort) return Lost;
    c.leaseS = a.lifetimeS;
    return Renewed;
}

void natpmpDelete(Conversation &c) {
    // Lifetime 0 deletes; the suggested external port must then be 0.
    uint8_t request[12];
    size_t length = natpmpMapRequest(request, LobbyPort, 0, 0);
    NatPmpAnswer a;
    natpmpAsk(c, request, length, NatPmpOpMapTcp, &a, nowMs() + PortmapCloseMs);
}

// ---- UPnP ----

// Connects `s` to the URL's server; false when that failed, the deadline
// passed or the lobby closed first.
bool httpConnect(const Conversation &c, Socket s, const HttpUrl &url, uint64_t deadline) {
    int connected = sockConnect4(s, url.address, url.port);
    while (connected == 0 && !cut(c) && nowMs() < deadline) {
        bool made = false;
        if (sockConnectWait(&s, 1, sliceUntil(deadline), &made) == 0) connected = made ? 1 : -1;
    }
    return connected == 1;
}

// What stops a wait of the conversation: the lobby's closing, except while
// the mapping is being deleted.
const std::atomic<int> *stopFlag(const Conversation &c) {
    return c.closing ? nullptr : &c.task->stop;
}

// Reads the answer into c.http until it is whole (or the server closes);
// false for a malformed one or none before the deadline.
bool httpReceive(Conversation &c, Socket s, HttpAnswer *answer, uint64_t deadline) {
    size_t got = 0;
    while (!cut(c) && nowMs() < deadline) {
        HttpRead read = httpParse(c.http, got, got == PortmapHttpCapacity, answer);
        if (read != HttpIncomplete) return read == HttpComplete;
        int r = sockWaitReadable(s, sliceUntil(deadline));
        if (r < 0) return false;
        if (r == 0) continue;
        int n = sockRecv(s, c.http + got, static_cast<int>(PortmapHttpCapacity - got));
        if (n == IoClosed) return httpParse(c.http, got, true, answer) == HttpComplete;
        if (n == IoFailed) return false;
        if (n > 0) got += static_cast<size_t>(n);
    }
    return false;
}

// One HTTP request and its whole answer (in c.http); false when none came.
// Also learns this machine's address towards the router.
bool httpAsk(Conversation &c, const HttpUrl &url, const char *request, size_t length,
             HttpAnswer *answer, uint64_t deadline) {
    Socket s = tcpOpen4();
    if (s == InvalidSocket) return false;
    bool ok = httpConnect(c, s, url, deadline) && sockLocal4(s, &c.local) &&
              sendAllUntil(s, request, length, deadline, PortmapSliceMs, stopFlag(c)) &&
              httpReceive(c, s, answer, deadline);
    sockClose(s);
    return ok;
}

// A SOAP call of c.service; false when no answer came. `status` is the HTTP
// status, `error` the UPnP error code of a fault (-1 otherwise).
bool soapCall(Conversation &c, const char *action, const SoapArg *args, int count,
              HttpAnswer *answer, int *error, uint64_t deadline) {
    char request[2048];
    size_t length = soapRequest(request, sizeof request, c.service, action, args, count);
    if (length == 0 || !httpAsk(c, c.service.control, request, length, answer, deadline))
        return false;
    if (answer->status == 200) {
        *error = -1;
    } else {
        int code = soapErrorCode(answer->body, answer->bodyLength);
        *error = code >= 0 ? code : 0; // 0: a failure without a UPnP code
    }
    return true;
}

// AddPortMapping of the lobby port to this machine for `leaseS` (0: permanent).
bool soapAdd(Conversation &c, uint32_t leaseS, int *error, uint64_t deadline) {
    char local[16], port[8], lease[12];
    ipv4Format(c.local, local);
    std::memcpy(port, LobbyService.text, sizeof LobbyService.text);
    char *p = lease + sizeof lease;
    *--p = '\0';
    do *--p = static_cast<char>('0' + leaseS % 10);
    while ((leaseS /= 10) != 0);
    const SoapArg args[] = {{"NewRemoteHost", ""},
                            {"NewExternalPort", port},
                            {"NewProtocol", "TCP"},
                            {"NewInternalPort", port},
                            {"NewInternalClient", local},
                            {"NewEnabled", "1"},
                            {"NewPortMappingDescription", "lobbylink"},
                            {"NewLeaseDuration", p}};
    HttpAnswer answer;
    return soapCall(c, "AddPortMapping", args, 8, &answer, error, deadline);
}

enum Holder { HeldByNobody, HeldByUs, HeldByOther, HeldUnknown };

// Who the router's mapping of the lobby port points at.
Holder portHolder(Conversation &c, uint64_t deadline) {
    char port[8], holder[64];
    std::memcpy(port, LobbyService.text, sizeof LobbyService.text);
    const SoapArg which[] = {
        {"NewRemoteHost", ""}, {"NewExternalPort", port}, {"NewProtocol", "TCP"}};
    HttpAnswer answer;
    int error;
    if (!soapCall(c, "GetSpecificPortMappingEntry", which, 3, &answer, &error, deadline))
        return HeldUnknown;
    if (error == UpnpNoSuchEntry) return HeldByNobody;
    if (error != -1) return HeldUnknown; // a router that does not know the query
    uint32_t client = 0;
    bool ours =
        xmlText(answer.body, answer.bodyLength, "NewInternalClient", holder, sizeof holder) &&
        ipv4Parse(holder, std::strlen(holder), &client) && client == c.local;
    return ours ? HeldByUs : HeldByOther;
}

// Takes the first of the services that gives a usable external address
// (c.service, c.external); *answered tells whether any of them answered.
bool pickService(Conversation &c, const IgdService *services, int count, bool *answered) {
    HttpAnswer answer;
    bool found = false;
    for (int i = 0; i < count && !found; ++i) {
        c.service = services[i];
        int error;
        char text[64];
        uint32_t address = 0;
        if (!soapCall(c, "GetExternalIPAddress", nullptr, 0, &answer, &error,
                      nowMs() + PortmapHttpMs))
            continue;
        *answered = true;
        found =
            error == -1 &&
            xmlText(answer.body, answer.bodyLength, "NewExternalIPAddress", text, sizeof text) &&
            ipv4Parse(text, std::strlen(text), &address) && address != 0;
        if (found) ipv4Format(address, c.external);
    }
    return found;
}

// AddPortMapping for PortmapLeaseS, or for good (*leaseS 0) from a router
// that takes permanent leases only; false when no answer came.
bool addMapping(Conversation &c, uint32_t *leaseS, int *error) {
    *leaseS = PortmapLeaseS;
    if (!soapAdd(c, *leaseS, error, nowMs() + PortmapHttpMs)) return false;
    if (*error != UpnpOnlyPermanentLeases) return true;
    *leaseS = 0;
    return soapAdd(c, *leaseS, error, nowMs() + PortmapHttpMs);
}

const char *mapByUpnp(Conversation &c) {
    uint64_t deadline = nowMs() + PortmapHttpMs;
    char request[512];
    size_t length = httpGet(request, sizeof request, c.location);
    HttpAnswer answer;
    if (length == 0 || !httpAsk(c, c.location, request, length, &answer, deadline) ||
        answer.status != 200)
        return cut(c) ? nullptr : PortmapNoRouter;
    IgdService services[MaxServices];
    int count = descriptionParse(answer.body, answer.bodyLength, c.location, services, MaxServices);
    bool answered = false;
    bool found = pickService(c, services, count, &answered);
    if (cut(c)) return nullptr;
    if (!found) return answered ? PortmapRefused : PortmapNoRouter;
    c.protocol = ByUpnp;

    // Whoever holds the lobby port now: never take over another machine's
    // mapping (some routers overwrite it on AddPortMapping).
    Holder holder = portHolder(c, nowMs() + PortmapHttpMs);
    if (cut(c)) return nullptr;
    if (holder == HeldByOther) return PortmapRefused;
    bool ours = holder == HeldByUs; // left by an earlier lobby of this machine: renewed below

    c.mayBeMapped = true;
    c.grantedAt = nowMs();
    uint32_t lease = 0;
    int error;
    if (!addMapping(c, &lease, &error)) return cut(c) ? nullptr : PortmapNoRouter;
    if (error != -1) {
        c.mayBeMapped = ours;
        return PortmapRefused;
    }
    c.mapped = true;
    c.leaseS = lease;
    return c.external;
}

Renewal upnpRenew(Conversation &c) {
    uint64_t deadline = nowMs() + PortmapHttpMs;
    if (portHolder(c, deadline) == HeldByOther) return Lost; // ours lapsed and was taken
    int error;
    if (!soapAdd(c, PortmapLeaseS, &error, deadline)) return NotAnswered;
    return error == -1 ? Renewed : Lost;
}

void upnpDelete(Conversation &c) {
    // DeletePortMapping names only the port: first make sure it is still ours.
    uint64_t deadline = nowMs() + PortmapCloseMs;
    Holder holder = portHolder(c, deadline);
    if (holder == HeldByOther || holder == HeldByNobody) return;
    char port[8];
    std::memcpy(port, LobbyService.text, sizeof LobbyService.text);
    const SoapArg args[] = {
        {"NewRemoteHost", ""}, {"NewExternalPort", port}, {"NewProtocol", "TCP"}};
    HttpAnswer answer;
    int error;
    soapCall(c, "DeletePortMapping", args, 3, &answer, &error, deadline);
}

// ---- Finding the router ----

enum Found { FoundNothing, FoundNatPmp, FoundUpnp, FoundRefusal };

enum NatPmpState { NatPending, NatAnswered, NatGone };

// The search for the router under way: NAT-PMP's address request and the
// SSDP search, each with when it is sent again.
struct Search {
    NatPmpState nat;
    bool natRefused; // the NAT-PMP gateway has no external address to give
    uint8_t ask[2];
    size_t askLength;
    char ssdpAsk[256];
    size_t ssdpAskLength;
    Socket ssdp;
    uint64_t natResend, ssdpResend;
    int natWait; // NAT-PMP's next resend interval
};

void searchOpen(const Conversation &c, Search *s, uint64_t now) {
    s->nat = c.natpmp != InvalidSocket ? NatPending : NatGone;
    s->natRefused = false;
    s->askLength = natpmpAddressRequest(s->ask);
    s->ssdpAskLength = ssdpSearch(s->ssdpAsk, sizeof s->ssdpAsk);
    s->ssdp = udpOpen4();
    s->natResend = now;
    s->ssdpResend = now;
    s->natWait = NatPmpFirstResendMs;
}

// Sends what is due: NAT-PMP on RFC 6886's doubling schedule, SSDP every
// SsdpResendMs.
void searchSend(const Conversation &c, Search *s, uint64_t now) {
    if (s->nat == NatPending && now >= s->natResend) {
        if (sockSend(c.natpmp, s->ask, static_cast<int>(s->askLength)) == IoFailed)
            s->nat = NatGone;
        s->natResend = now + static_cast<uint64_t>(s->natWait);
        s->natWait *= 2;
    }
    if (s->ssdp != InvalidSocket && now >= s->ssdpResend) {
        // The gateway first: a network that forbids the multicast send
        // fails it, and the unicast one must have gone all the same.
        int n = static_cast<int>(s->ssdpAskLength);
        if (c.haveGateway) sockSendTo4(s->ssdp, c.gateway, SsdpPort, s->ssdpAsk, n);
        sockSendTo4(s->ssdp, SsdpGroup, SsdpPort, s->ssdpAsk, n);
        s->ssdpResend = now + SsdpResendMs;
    }
}

// The gateway's answer to the NAT-PMP address request, if one came.
void natpmpHear(Conversation &c, Search *s) {
    uint8_t data[64];
    NatPmpAnswer a;
    int n = sockRecv(c.natpmp, data, sizeof data);
    if (n == IoFailed) {
        s->nat = NatGone; // nobody listens on the gateway's NAT-PMP port
        return;
    }
    if (n <= 0 || !natpmpParse(data, static_cast<size_t>(n), &a) ||
        a.opcode != 128 + NatPmpOpAddress)
        return;
    if (a.result == 0 && a.address != 0) {
        ipv4Format(a.address, c.external);
        s->nat = NatAnswered;
    } else {
        s->nat = NatGone; // it has no external address to give
        s->natRefused = true;
    }
}

// The SSDP answers that came: the first usable location is kept.
void ssdpHear(Conversation &c, const Search &s) {
    char data[1500], location[UrlPathCapacity + 32];
    int n;
    while ((n = sockRecv(s.ssdp, data, sizeof data)) > 0) {
        if (!c.haveLocation && ssdpParse(data, static_cast<size_t>(n), location, sizeof location) &&
            urlParse(location, std::strlen(location), &c.location))
            c.haveLocation = true;
    }
}

// NAT-PMP's address request to the gateway and the SSDP search (to the
// multicast group, and to the gateway for networks that drop multicast)
// at once. NAT-PMP is taken when it answers; a UPnP gateway when NAT-PMP
// is gone or has not answered within PortmapPreferNatPmpMs.
Found discover(Conversation &c) {
    uint64_t start = nowMs(), deadline = start + PortmapAnswerBudgetMs;
    Search s;
    searchOpen(c, &s, start);
    Found found = FoundNothing;
    for (;;) {
        uint64_t now = nowMs();
        if (s.nat == NatAnswered) {
            found = FoundNatPmp;
            break;
        }
        if (c.haveLocation &&
            (s.nat == NatGone || now - start >= static_cast<uint64_t>(PortmapPreferNatPmpMs))) {
            found = FoundUpnp;
            break;
        }
        if (now >= deadline || cut(c)) break;
        searchSend(c, &s, now);
        int ready = sockWaitEither(s.nat == NatPending ? c.natpmp : InvalidSocket, s.ssdp,
                                   sliceUntil(deadline));
        if (ready < 0) sleepMs(sliceUntil(deadline));
        if (ready > 0 && (ready & 1)) natpmpHear(c, &s);
        if (ready > 0 && (ready & 2)) ssdpHear(c, s);
    }
    sockClose(s.ssdp);
    if (found == FoundNothing && s.natRefused) found = FoundRefusal;
    return found;
}

// While the lobby lives: renews the lease at its half-life (a permanent one
// needs none). A renewal the router does not answer is asked again after
// half of what is left of the lease, at least PortmapRetryLeastMs apart,
// as long as the lease lasts. A mapping the router refuses to renew, that
// another machine now holds, or whose lease ran out without an answer is
// announced lost, once, and not asked for again.
void renewWhileOpen(Conversation &c) {
    uint64_t leaseMs = static_cast<uint64_t>(c.leaseS) * 1000u;
    uint64_t endsAt = c.grantedAt + leaseMs, renewAt = c.grantedAt + leaseMs / 2;
    bool kept = true;
    while (!cut(c)) {
        sleepMs(PortmapSliceMs);
        uint64_t now = nowMs();
        if (!kept || c.leaseS == 0 || now < renewAt) continue;
        Renewal r = NotAnswered;
        if (now < endsAt) r = c.protocol == ByNatPmp ? natpmpRenew(c) : upnpRenew(c);
        if (cut(c)) break;
        if (r == Renewed) {
            leaseMs = static_cast<uint64_t>(c.leaseS) * 1000u;
            endsAt = now + leaseMs;
            renewAt = now + leaseMs / 2;
            continue;
        }
        uint64_t after = nowMs(), left = endsAt > after ? endsAt - after : 0;
        if (r == Lost || left == 0) {
            announce(c, PortmapLost);
            kept = false;
            continue;
        }
        uint64_t wait = left / 2 > PortmapRetryLeastMs ? left / 2 : PortmapRetryLeastMs;
        renewAt = after + (wait < left ? wait : left);
    }
}

void portmapMain(void *task) {
    Conversation c;
    std::memset(&c, 0, sizeof c);
    c.task = static_cast<PortmapTask *>(task);
    c.natpmp = InvalidSocket;
    c.http = static_cast<char *>(heapAlloc(PortmapHttpCapacity));
    c.haveGateway = defaultGateway4(&c.gateway);
    if (c.haveGateway) {
        c.natpmp = udpOpen4();
        if (c.natpmp != InvalidSocket && (sockConnect4(c.natpmp, c.gateway, NatPmpPort) != 1 ||
                                          !sockLocal4(c.natpmp, &c.local))) {
            sockClose(c.natpmp);
            c.natpmp = InvalidSocket;
        }
    }
    const char *outcome = nullptr;
    switch (discover(c)) {
    case FoundNatPmp:
        outcome = mapByNatPmp(c);
        break;
    case FoundUpnp:
        outcome = mapByUpnp(c);
        break;
    case FoundRefusal:
        outcome = PortmapRefused;
        break;
    case FoundNothing:
        outcome = PortmapNoRouter;
        break;
    }
    if (outcome && !cut(c)) announce(c, outcome);
    if (c.mapped) renewWhileOpen(c);
    if (c.mayBeMapped) {
        c.closing = true;
        if (c.protocol == ByNatPmp)
            natpmpDelete(c);
        else
            upnpDelete(c);
    }
    sockClose(c.natpmp);
    heapFree(c.http);
}

} // namespace

bool portmapStart(PortmapTask *task, PortmapPost post) {
    if (task->started) return true;
    task->stop.store(0);
    task->post = post;
    task->started = threadStart(&task->thread, portmapMain, task);
    return task->started;
}

void portmapStop(PortmapTask *task) {
    if (!task->started) return;
    task->stop.store(1);
    threadJoin(task->thread);
    task->started = false;
}

} // namespace ll
