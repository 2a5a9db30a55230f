// The client's handling of bytes from its lobby host: arbitrary bytes
// (frames, short frames, frames beyond the limit, floods) written by the
// lobby host's end, interleaved with the client's own sends (up to and past
// its queue's room), paused reading and the lobby host's end closing or
// half-closing. The inbox must hold exactly the frames that carry fields, in
// order, up to the one loss or overflow notice and nothing after it; the
// lobby host's end must read exactly the client's data frames.
#include "fuzz/harness.h"

#include "net/core/client.h"
#include "net/core/state.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Entry {
    uint8_t sender, msgId;
    std::string text;
    bool operator==(const Entry &o) const {
        return sender == o.sender && msgId == o.msgId && text == o.text;
    }
};

const Entry Loss{0, MsgError, "error"};
const Entry Overflow{0, MsgError, "overflow"};

struct Client {
    int far = -1; // the lobby host's end
    bool paused = false, closed = false, halfClosed = false, overflowed = false;
    std::string written, read, sent;
    std::vector<Entry> inbox;

    Client() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) fz::fail("socketpair");
        FZ_CHECK(ll::sockSetNonBlocking(sv[0]), "non-blocking");
        // The tail of a connect: the connection, a clean queue and reader.
        ll::setOwnName("me");
        {
            ll::Guard g(&ll::net.lock);
            ll::clientRole.socket = sv[0];
            ll::queueFree(&ll::clientRole.queue);
            ll::clientRole.reader.count = 0;
        }
        ll::setMode(ll::Client);
        far = sv[1];
    }
    size_t drain() {
        size_t total = 0;
        char buf[65536];
        while (far >= 0) {
            ssize_t n = ::recv(far, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            read.append(buf, static_cast<size_t>(n));
            total += static_cast<size_t>(n);
        }
        return total;
    }
    size_t take(size_t n) {
        size_t taken = 0;
        for (; taken < n; ++taken) {
            ll::InboxMessage e;
            if (!ll::inboxTake(&e)) break;
            inbox.push_back({e.sender, e.msgId, std::string(e.text, e.length)});
        }
        return taken;
    }
    size_t update() {
        ll::lobbyUpdate();
        fz::checkCore();
        return paused ? 0 : drain();
    }
    void write(const std::string &bytes) {
        size_t done = 0;
        while (far >= 0 && !halfClosed && done < bytes.size()) {
            ssize_t n =
                ::send(far, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        written.append(bytes, 0, done);
    }
    void send(uint8_t msgId, uint8_t receiver, const std::string &text) {
        // Ids and receivers of 0 cannot be framed; the sends here leave them out.
        if (msgId == 0 || receiver == 0 || text.empty()) return;
        size_t size = text.size() + LobbyClientFrameOverhead;
        int32_t room = ll::messageRoom(0);
        bool connected;
        {
            ll::Guard g(&ll::net.lock);
            connected = ll::clientRole.socket != ll::InvalidSocket;
        }
        ll::messageSend(msgId, receiver, text.data(), text.size());
        fz::checkCore();
        if (!connected) return;
        if (ll::isNoticeId(msgId)) {
            FZ_CHECK(ll::messageRoom(0) == room, "a library notice id was sent");
            return;
        }
        if (size < static_cast<size_t>(room)) {
            sent.push_back(static_cast<char>(msgId));
            sent.push_back(static_cast<char>(receiver));
            sent += text;
            sent.push_back('\0');
        } else {
            overflowed = true;
            FZ_CHECK(ll::messageRoom(0) == 0, "an overflow left the client connected");
        }
    }
    void flush() {
        paused = false;
        int quiet = 0;
        for (int round = 0; round < 100000 && quiet < 3; ++round) {
            size_t moved = update() + take(SIZE_MAX);
            int outq = 0;
            if (far >= 0 && ioctl(far, SIOCOUTQ, &outq) == 0 && outq > 0) ++moved;
            quiet = moved ? 0 : quiet + 1;
        }
        FZ_CHECK(quiet >= 3, "the client never went quiet");
    }
    void verify() {
        // What the inbox must hold: every frame of four bytes or more, up to
        // the first frame beyond the reader's limit.
        const size_t limit = ll::QueueCapacity - 1;
        std::string tail;
        std::vector<std::string> frames = fz::splitFrames(written, &tail);
        std::vector<Entry> expect;
        bool tooLong = tail.size() > limit;
        for (const std::string &f : frames) {
            if (f.size() - 1 > limit) {
                tooLong = true;
                break;
            }
            if (f.size() >= 4)
                expect.push_back({static_cast<uint8_t>(f[0]), static_cast<uint8_t>(f[1]),
                                  f.substr(3, f.size() - 4)});
        }
        std::vector<Entry> got = inbox;
        bool ended = overflowed || closed || halfClosed || tooLong;
        if (ended) {
            const Entry &last = overflowed ? Overflow : Loss;
            FZ_CHECK(!got.empty() && got.back() == last, "no %s notice at the end of the inbox",
                     last.text.c_str());
            got.pop_back();
        }
        FZ_CHECK(got.size() <= expect.size() && std::equal(got.begin(), got.end(), expect.begin()),
                 "the inbox is not a prefix of the frames sent (%zu entries, %zu frames)",
                 got.size(), expect.size());
        bool whole = !ended || (tooLong && !overflowed && !closed && !halfClosed);
        FZ_CHECK(!whole || got.size() == expect.size(), "the inbox holds %zu of %zu frames",
                 got.size(), expect.size());
        FZ_CHECK(read.size() <= sent.size() && sent.compare(0, read.size(), read) == 0,
                 "the lobby host read bytes the client never sent");
        FZ_CHECK(ended || read == sent, "the lobby host read %zu of %zu bytes", read.size(),
                 sent.size());
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Input in{data, size};
    int descriptors = fz::openDescriptors();
    FZ_CHECK(ll::lobbyStartup(), "startup");
    {
        Client c;
        while (in.more()) {
            switch (in.byte() % 10) {
            case 0:
            case 1:
            case 2:
            case 3:
                c.write(in.bytes(in.byte()));
                break;
            case 4: { // a flood: one chunk many times over
                std::string chunk = in.bytes(in.byte() % 32 + 1), flood;
                size_t times = in.word() % 4096 + 1;
                for (size_t i = 0; i < times && flood.size() < 2 * ll::QueueCapacity; ++i)
                    flood += chunk;
                c.write(flood);
                break;
            }
            case 5:
            case 6:
                for (int n = in.byte() % 4; n >= 0; --n) c.update();
                break;
            case 7:
                c.take(in.byte() % 8);
                break;
            case 8: {
                uint8_t msgId = in.byte(), receiver = in.byte();
                size_t length = in.byte() < 220 ? in.byte() % 64 + 1 : in.word() % 70000 + 1;
                std::string text(length, 'q');
                c.send(msgId, receiver, text);
                break;
            }
            case 9:
                switch (in.byte() % 4) {
                case 0:
                    if (c.far >= 0) ::close(c.far);
                    c.far = -1;
                    c.closed = true;
                    break;
                case 1:
                    if (c.far >= 0) ::shutdown(c.far, SHUT_WR);
                    c.halfClosed = true;
                    break;
                default:
                    c.paused = !c.paused;
                    break;
                }
                break;
            }
        }
        c.flush();
        c.verify();
        ll::lobbyDisconnect();
        ll::InboxMessage left;
        FZ_CHECK(!ll::inboxTake(&left), "inbox not empty after disconnect");
        if (c.far >= 0) ::close(c.far);
    }
    fz::checkCore();
    FZ_CHECK(fz::openDescriptors() == descriptors, "descriptors: %d before, %d after", descriptors,
             fz::openDescriptors());
    return 0;
}
