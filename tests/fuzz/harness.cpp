#include "fuzz/harness.h"

#include "net/base/clock.h"
#include "net/core/relay.h"
#include "net/core/state.h"
#include "support/frames.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <dirent.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fz {

void fail(const char *fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::fputs("fuzz check failed: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

void checkCore(bool texts) {
    ll::Guard g(&ll::net.lock);
    ll::checkInvariants();
    uint32_t n = 0;
    const ll::InboxEntry *last = nullptr;
    for (const ll::InboxEntry *e = ll::net.inbox.head; e; e = e->next) {
        ++n;
        last = e;
        if (texts) checkText(e->text, e->length);
    }
    FZ_CHECK(n == ll::net.inbox.count, "inbox count %u, list %u", ll::net.inbox.count, n);
    FZ_CHECK(last == ll::net.inbox.tail, "inbox tail is not the last entry");
}

void checkText(const char *text, uint32_t length) {
    FZ_CHECK(text[length] == '\0', "an inbox entry lacks its 0");
    FZ_CHECK(!std::memchr(text, 0, length), "an inbox entry holds a 0");
}

namespace {

// The checks below look at frames in place: a copy of every frame for every
// check was most of each input's time.
using View = std::string_view;

// The frames of a stream as views into it; the unfinished tail's length in *tail.
std::vector<View> frameViews(const std::string &stream, size_t *tail = nullptr) {
    std::vector<View> frames;
    size_t start = 0;
    for (;;) {
        const void *zero = std::memchr(stream.data() + start, 0, stream.size() - start);
        if (!zero) break;
        size_t end = static_cast<size_t>(static_cast<const char *>(zero) - stream.data()) + 1;
        frames.push_back(View(stream).substr(start, end - start));
        start = end;
    }
    if (tail) *tail = stream.size() - start;
    return frames;
}

} // namespace

std::vector<std::string> splitFrames(const std::string &stream, std::string *tail) {
    std::vector<std::string> frames;
    size_t rest = 0;
    for (View f : frameViews(stream, &rest)) frames.emplace_back(f);
    if (tail) *tail = stream.substr(stream.size() - rest);
    return frames;
}

// A linear search (Knuth-Morris-Pratt over frames): floods make both lists
// long and alike, where trying every start is quadratic.
bool isSlice(const std::vector<std::string_view> &part,
             const std::vector<std::string_view> &whole) {
    if (part.empty()) return true;
    if (part.size() > whole.size()) return false;
    // back[i]: the longest proper prefix of part[0..i] that also ends it.
    std::vector<size_t> back(part.size(), 0);
    for (size_t i = 1, k = 0; i < part.size(); ++i) {
        while (k > 0 && part[i] != part[k]) k = back[k - 1];
        if (part[i] == part[k]) ++k;
        back[i] = k;
    }
    for (size_t i = 0, k = 0; i < whole.size(); ++i) {
        while (k > 0 && whole[i] != part[k]) k = back[k - 1];
        if (whole[i] == part[k]) ++k;
        if (k == part.size()) return true;
    }
    return false;
}

namespace {

Sent routable(const Lobby::Member &a) {
    Sent s;
    s.frames.reserve(a.zeroAt.size());
    s.at.reserve(a.zeroAt.size());
    const View out(a.out);
    const size_t limit = ll::MaxClientFrame - 1; // non-zero bytes of one frame
    size_t start = 0;
    for (size_t i = 0; i < a.zeroAt.size(); ++i) { // a frame ends at each 0
        size_t end = out.find('\0', start) + 1;
        View f = out.substr(start, end - start);
        start = end;
        if (f.size() - 1 > limit) {
            s.tooLong = true;
            return s;
        }
        // One that would pass for a library notice is dropped at the lobby host.
        if (f.size() >= 3 && ll::isNoticeId(static_cast<uint8_t>(f[0]))) continue;
        s.frames.push_back(f);
        s.at.push_back(a.zeroAt[i]);
    }
    s.tooLong = out.size() - start > limit;
    return s;
}

} // namespace

Lobby::Lobby(bool strict) : strictFlow(strict), descriptors(openDescriptors()) {
    // Time is an input: the clock moves only when the input says so.
    ll::clockHold();
    FZ_CHECK(ll::lobbyStartup(), "startup");
    FZ_CHECK(ll::lobbyCreate("host") == ll::OpenAllowed, "lobbyCreate refused");
}

Lobby::~Lobby() {
    if (!closedDown) close();
}

void Lobby::step() { ++clock; }

const Lobby::Member *Lobby::byId(uint8_t id) const {
    for (const Member &m : members)
        if (m.id == id) return &m;
    return nullptr;
}

int Lobby::seat(uint8_t id, const std::string &name) {
    if (name.empty() || name.size() > ll::MaxNameLength || name.find('\0') != std::string::npos ||
        id == 0 || id == HostId || id == BroadcastId || byId(id) ||
        members.size() >= static_cast<size_t>(ll::MaxClients))
        return -1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) fail("socketpair");
    FZ_CHECK(ll::sockSetNonBlocking(sv[0]), "non-blocking");
    // The least the kernel keeps in flight to a member, so that what a
    // paused member does not read soon waits in the lobby host's queue.
    int least = 1;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &least, sizeof least);
    {
        ll::Guard g(&ll::net.lock);
        ll::addClient(id, name.c_str(), sv[0]);
    }
    Member m;
    m.id = id;
    m.name = name;
    m.fd = sv[1];
    m.seatedAt = clock;
    m.readAt = timeMs;
    members.push_back(m);
    // Moved members keep their bytes but not the place of short ones.
    for (Member &o : members) o.sent.of = SIZE_MAX;
    step();
    return static_cast<int>(members.size() - 1);
}

size_t Lobby::write(size_t k, const std::string &bytes) {
    Member &m = members[k];
    size_t done = 0;
    while (m.fd >= 0 && !m.halfClosed && done < bytes.size()) {
        ssize_t n =
            ::send(m.fd, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    for (const char *z = bytes.data(), *end = z + done;
         (z = static_cast<const char *>(std::memchr(z, 0, static_cast<size_t>(end - z)))); ++z)
        m.zeroAt.push_back(clock);
    m.out.append(bytes, 0, done);
    step();
    return done;
}

size_t Lobby::drain(size_t k) {
    Member &m = members[k];
    size_t total = 0;
    char buf[65536];
    while (m.fd >= 0) {
        ssize_t n = ::recv(m.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        m.in.append(buf, static_cast<size_t>(n));
        total += static_cast<size_t>(n);
        for (size_t at = m.in.size() - static_cast<size_t>(n); at < m.in.size(); ++at) {
            const void *zero = std::memchr(m.in.data() + at, 0, m.in.size() - at);
            if (!zero) break;
            ++m.framesFrom[static_cast<uint8_t>(m.in[m.inFrameAt])];
            at = static_cast<size_t>(static_cast<const char *>(zero) - m.in.data());
            m.inFrameAt = at + 1;
        }
    }
    return total;
}

void Lobby::pause(size_t k, bool on) {
    members[k].paused = on;
    members[k].everPaused |= on;
}

void Lobby::noteDepartures() {
    int present = 0;
    for (Member &m : members) {
        if (!m.present) continue;
        char name[ll::HandshakeLimit];
        ll::memberName(static_cast<int8_t>(m.id), name);
        if (name[0] == '\0' && !m.name.empty()) {
            m.present = false;
            m.departedAt = clock;
        } else {
            FZ_CHECK(m.name == name, "member %u is named \"%s\", seated as \"%s\"", m.id, name,
                     m.name.c_str());
            ++present;
        }
    }
    FZ_CHECK(ll::memberCount() == present, "member count %d, present %d", ll::memberCount(),
             present);
}

size_t Lobby::pump() {
    ll::lobbyUpdate();
    // Each entry's text is checked as it is taken: every one is, by close().
    checkCore(false);
    noteDepartures();
    size_t moved = 0;
    for (size_t k = 0; k < members.size(); ++k) {
        if (members[k].paused) continue;
        moved += drain(k);
        members[k].readAt = timeMs;
    }
    step();
    return moved;
}

void Lobby::pass(uint64_t ms) {
    ll::clockAdvance(ms);
    timeMs += ms;
    // Who read nothing for the stall timeout may be dropped by the stall
    // rule, paused or not: between updates nobody reads.
    for (Member &m : members)
        if (m.present && timeMs - m.readAt >= ll::StallTimeoutMs) m.stallable = true;
    step();
}

void Lobby::update() { pump(); }

size_t Lobby::take(size_t n) {
    size_t taken = 0;
    while (taken < n) {
        ll::InboxMessage e;
        if (!ll::inboxTake(&e)) break;
        checkText(e.text, e.length);
        inbox.push_back({e.sender, e.msgId, inboxText.size(), e.length});
        inboxText.append(e.text, e.length);
        ++taken;
    }
    return taken;
}

void Lobby::kick(size_t k) {
    Member &m = members[k];
    if (m.present) m.kicked = true;
    ll::memberKick(static_cast<int8_t>(m.id));
    checkCore();
    noteDepartures();
    FZ_CHECK(!m.present, "member %u survived its kick", m.id);
    step();
}

void Lobby::closeEnd(size_t k) {
    Member &m = members[k];
    if (m.fd < 0) return;
    ::close(m.fd);
    m.fd = -1;
    m.closed = true;
    step();
}

void Lobby::halfClose(size_t k) {
    Member &m = members[k];
    if (m.fd < 0 || m.halfClosed) return;
    ::shutdown(m.fd, SHUT_WR);
    m.halfClosed = true;
    step();
}

void Lobby::hostSend(uint8_t msgId, uint8_t receiver, const std::string &raw) {
    std::string text;
    text.reserve(raw.size());
    std::remove_copy(raw.begin(), raw.end(), std::back_inserter(text), '\0');
    // A message id of 0 would end the frame at its header: it cannot be
    // framed, and the sends here leave it out.
    if (text.empty() || msgId == 0) return;
    if (ll::isNoticeId(msgId)) { // never sent: what the members get shows it
        ll::messageSend(msgId, receiver, text.data(), text.size());
        return step();
    }
    const uint32_t size = static_cast<uint32_t>(text.size() + LobbyHostFrameOverhead);
    for (Member &m : members) {
        if (!m.present || (receiver != BroadcastId && receiver != m.id)) continue;
        bool fits;
        if (strictFlow) {
            ll::Guard g(&ll::net.lock);
            const ll::ClientRecord *r = ll::findClientBySignedId(static_cast<int8_t>(m.id));
            fits = r && size < ll::QueueCapacity && r->queue.length + size <= ll::RelayRoom;
        } else {
            fits = static_cast<int32_t>(size) < ll::messageRoom(static_cast<int8_t>(m.id));
        }
        if (!fits) m.overSent = true;
    }
    sends.push_back({clock, msgId, receiver, text});
    ll::messageSend(msgId, receiver, text.data(), text.size());
    checkCore();
    step();
}

// Bytes the members wrote that the lobby host has not read yet.
size_t Lobby::unreadAtHost() {
    size_t total = 0;
    ll::Guard g(&ll::net.lock);
    for (const ll::ClientRecord *r = ll::relay.clients; r; r = r->next) {
        int n = 0;
        if (ioctl(r->socket, FIONREAD, &n) == 0 && n > 0) total += static_cast<size_t>(n);
    }
    return total;
}

void Lobby::stallCheck() {
    int quiet = 0;
    size_t unread = unreadAtHost();
    for (int round = 0; round < 200000 && quiet < 3; ++round) {
        size_t moved = pump(), now = unreadAtHost();
        moved += now != unread;
        unread = now;
        quiet = moved ? 0 : quiet + 1;
    }
    FZ_CHECK(quiet >= 3, "the lobby never went quiet");
    for (const Member &a : members) {
        if (!a.present) continue;
        const Sent &s = sent(static_cast<size_t>(&a - members.data()));
        for (const Member &b : members) {
            if (&a == &b || !b.present || b.paused) continue;
            // a's frames for b before a's first frame that may wait, and how
            // many of them came before b was seated (those may have gone
            // before b was there).
            size_t due = 0, early = 0;
            for (size_t i = 0; i < s.frames.size(); ++i) {
                View f = s.frames[i];
                if (f.size() < 3) continue;
                uint8_t receiver = static_cast<uint8_t>(f[1]);
                const Member *to = byId(receiver);
                if (receiver == BroadcastId || receiver == HostId ||
                    (to && to->present && to->paused))
                    break;
                if (receiver != b.id) continue;
                ++due;
                early += s.at[i] < b.seatedAt ? 1 : 0;
            }
            size_t got = b.framesFrom[a.id];
            FZ_CHECK(
                got + early >= due,
                "member %u got %zu frames from %u, which sent it %zu it could take (frozen members "
                "and a full inbox held it back)",
                b.id, got, a.id, due - early);
        }
    }
}

void Lobby::flush() {
    for (Member &m : members) m.paused = false;
    int quiet = 0;
    for (int round = 0; round < 200000 && quiet < 3; ++round) {
        size_t moved = pump() + take(SIZE_MAX);
        // Bytes still on their way to the lobby host keep the lobby busy
        // even when they route nowhere.
        for (const Member &m : members) {
            int outq = 0;
            if (m.fd >= 0 && ioctl(m.fd, SIOCOUTQ, &outq) == 0 && outq > 0) ++moved;
        }
        quiet = moved ? 0 : quiet + 1;
    }
    FZ_CHECK(quiet >= 3, "the lobby never went quiet");
}

bool Lobby::droppable(const Member &m) const {
    return m.kicked || m.closed || m.overSent || m.stallable || (!strictFlow && m.everPaused);
}

// A member that stayed, or left only by half-closing or by a frame beyond
// the limit, had every frame before that routed.
bool Lobby::routedAll(const Member &m) const { return m.present || !droppable(m); }

// Taken again only when the member wrote since it was last asked.
const Sent &Lobby::sent(size_t k) {
    Member &m = members[k];
    if (m.sent.of != m.out.size()) {
        m.sent = routable(m);
        m.sent.of = m.out.size();
    }
    return m.sent;
}

void Lobby::verify() {
    for (size_t k = 0; k < members.size(); ++k) sent(k);
    for (const Member &b : members) verifyMember(b);
    verifyInbox();
}

void Lobby::verifyMember(const Member &b) {
    size_t tail = 0;
    std::vector<View> frames = frameViews(b.in, &tail);
    FZ_CHECK(!b.present || tail == 0, "member %u holds an unfinished frame", b.id);
    // The frames b got by sender, each without its sender's byte.
    std::vector<std::vector<View>> got(256);
    for (View f : frames) {
        FZ_CHECK(f.size() >= 4, "member %u got a %zu-byte frame", b.id, f.size());
        uint8_t sender = static_cast<uint8_t>(f[0]), receiver = static_cast<uint8_t>(f[2]);
        FZ_CHECK(sender != b.id, "member %u got its own frame back", b.id);
        FZ_CHECK(receiver == BroadcastId || receiver == b.id, "member %u got a frame for %u", b.id,
                 receiver);
        FZ_CHECK(sender == HostId || byId(sender), "member %u got a frame from %u", b.id, sender);
        got[sender].push_back(f.substr(1));
    }

    // The lobby host's own sends while b was there, all of them if b stayed.
    std::vector<std::string> expect;
    for (const HostSend &s : sends)
        if (s.at > b.seatedAt && s.at < b.departedAt &&
            (s.receiver == BroadcastId || s.receiver == b.id))
            expect.push_back(kit::frame({s.msgId, s.receiver}, s.text));
    const std::vector<View> &fromHost = got[HostId];
    FZ_CHECK(fromHost.size() <= expect.size() &&
                 std::equal(fromHost.begin(), fromHost.end(), expect.begin()),
             "member %u: the lobby host's frames are not a prefix of its sends", b.id);
    FZ_CHECK(!b.present || fromHost.size() == expect.size(),
             "member %u got %zu of the lobby host's %zu frames", b.id, fromHost.size(),
             expect.size());

    for (const Member &a : members) {
        if (&a == &b) continue;
        const Sent &s = a.sent;
        std::vector<View> relayed;
        size_t late = 0; // frames completed after b was seated and before a left
        for (size_t i = 0; i < s.frames.size(); ++i) {
            View f = s.frames[i];
            uint8_t receiver = static_cast<uint8_t>(f.size() >= 3 ? f[1] : 0);
            if (f.size() < 3 || (receiver != BroadcastId && receiver != b.id)) continue;
            relayed.push_back(f);
            if (s.at[i] > b.seatedAt && s.at[i] < a.departedAt) ++late;
        }
        bool noticed = !a.present && a.departedAt > b.seatedAt && a.departedAt < b.departedAt;
        const std::vector<View> &o = got[a.id];
        FZ_CHECK(a.present || a.departedAt > b.seatedAt || o.empty(),
                 "member %u got frames from %u, which had left before it came", b.id, a.id);
        // A run of what a sent; when a left while b was there, its leave
        // notice follows (after frames a sent but the lobby host never read).
        std::string notice = kit::frame({MsgLeave, BroadcastId}, a.name);
        bool run = isSlice(o, relayed);
        if (!run && !a.present && !o.empty() && o.back() == notice) {
            std::vector<View> before(o.begin(), o.end() - 1);
            run = isSlice(before, relayed);
        }
        if (!run) {
            auto show = [](const char *what, size_t i, View f) {
                std::fprintf(stderr, "%s[%zu] %zu bytes: %.*s\n", what, i, f.size(),
                             static_cast<int>(std::min<size_t>(f.size(), 24)), f.data());
            };
            for (size_t i = 0; i < o.size(); ++i) show("got", i, o[i]);
            for (size_t i = 0; i < relayed.size(); ++i) show("sent", i, relayed[i]);
            fail("member %u: frames from %u are not a run of what it sent", b.id, a.id);
        }
        if (!a.present && a.departedAt > b.seatedAt) relayed.push_back(notice);
        if (!b.present) continue;
        if (noticed)
            FZ_CHECK(!o.empty() && o.back() == relayed.back(),
                     "member %u lacks the leave notice of %u", b.id, a.id);
        if (routedAll(a)) {
            size_t need = late + (noticed ? 1 : 0);
            FZ_CHECK(o.size() >= need && std::equal(o.begin(), o.end(),
                                                    relayed.end() - static_cast<long>(o.size())),
                     "member %u got %zu frames from %u, at least the last %zu expected", b.id,
                     o.size(), a.id, need);
        }
    }

    bool excused = droppable(b) || b.halfClosed || b.sent.tooLong;
    FZ_CHECK(b.present || excused, "member %u was dropped without a cause", b.id);
}

void Lobby::verifyInbox() {
    // Entries as (message id, text), by sender: views, not copies.
    using Seen = std::pair<uint8_t, View>;
    std::vector<std::vector<Seen>> got(256);
    for (const Entry &e : inbox) {
        FZ_CHECK(byId(e.sender), "inbox entry from %u, no such member", e.sender);
        got[e.sender].emplace_back(e.msgId, View(inboxText).substr(e.at, e.length));
    }
    for (const Member &a : members) {
        const Sent &s = a.sent;
        std::vector<Seen> expect;
        expect.reserve(s.frames.size());
        for (View f : s.frames) {
            uint8_t receiver = static_cast<uint8_t>(f.size() >= 3 ? f[1] : 0);
            if (f.size() >= 3 && (receiver == BroadcastId || receiver == HostId))
                expect.emplace_back(static_cast<uint8_t>(f[0]), f.substr(2, f.size() - 3));
        }
        std::vector<Seen> &o = got[a.id];
        if (!a.present) {
            FZ_CHECK(!o.empty() && o.back() == Seen(MsgLeave, View(a.name)),
                     "no leave entry for %u", a.id);
            o.pop_back();
        }
        FZ_CHECK(o.size() <= expect.size() && std::equal(o.begin(), o.end(), expect.begin()),
                 "inbox entries from %u are not a prefix of what it sent", a.id);
        FZ_CHECK(!routedAll(a) || o.size() == expect.size(),
                 "inbox holds %zu of %zu entries from %u", o.size(), expect.size(), a.id);
    }
}

void Lobby::close() {
    closedDown = true;
    stallCheck();
    flush();
    verify();
    ll::lobbyDisconnect();
    FZ_CHECK(ll::memberCount() == 0, "members left after disconnect");
    ll::InboxMessage left;
    FZ_CHECK(!ll::inboxTake(&left), "inbox not empty after disconnect");
    for (Member &m : members) {
        if (m.fd < 0) continue;
        drain(static_cast<size_t>(&m - members.data()));
        char c;
        ssize_t n = ::recv(m.fd, &c, 1, MSG_DONTWAIT);
        FZ_CHECK(n == 0, "member %u's connection still open after disconnect", m.id);
        ::close(m.fd);
        m.fd = -1;
    }
    checkCore();
    FZ_CHECK(openDescriptors() == descriptors, "descriptors: %d before the lobby, %d after",
             descriptors, openDescriptors());
}

} // namespace fz
