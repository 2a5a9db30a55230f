// The stateful target: plays a script of operations against a lobby host,
// with well-formed members: seat (admit without a handshake), send (to one
// member, to the lobby host, to everybody), receive, time passing (the
// library's clock is held and moves only here), pause reading, kick,
// disconnect (closed or half-closed connection, or the whole lobby ended and
// opened again) and overflow (floods at a paused member, lobby host sends
// beyond the room). Besides the routing checks of the harness, flow control
// must hold its promise: a member is dropped only when kicked, when its
// connection ends, when a lobby host send does not fit its relay room, or by
// the stall rule once it read nothing for the stall timeout; never for
// relayed traffic.
#include "fuzz/harness.h"

#include "net/base/limits.h"
#include "support/frames.h"

#include <memory>

namespace {

// A text of `length` letters: up to 8 taken from the input, repeated.
std::string text(fz::Input &in, size_t length) {
    std::string seed = in.bytes(std::min<size_t>(length, 8));
    for (char &c : seed) c = static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
    if (seed.empty()) seed = "x";
    std::string t;
    t.reserve(length);
    while (t.size() < length) t += seed;
    t.resize(length);
    return t;
}

std::string dataFrame(uint8_t msgId, uint8_t receiver, const std::string &t) {
    return kit::frame({msgId ? msgId : 1, receiver}, t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Input in{data, size};
    auto lobby = std::make_unique<fz::Lobby>(true);
    auto receiver = [&](uint8_t sel) -> uint8_t {
        if (sel < 64) return BroadcastId;
        if (sel < 96 || lobby->size() == 0) return HostId;
        return lobby->member(sel % lobby->size()).id;
    };
    while (in.more()) {
        uint8_t op = in.byte() % 12;
        if (lobby->size() == 0 && op != 11) op = 0;
        size_t k = lobby->size() ? in.byte() % lobby->size() : 0;
        switch (op) {
        case 0: { // seat a member
            uint8_t id = static_cast<uint8_t>(2 + in.byte() % LobbyMaxClients);
            lobby->seat(id, "p" + text(in, in.byte() % 12));
            break;
        }
        case 1:
        case 2: { // a member sends
            uint8_t msgId = in.byte();
            uint8_t rcv = receiver(in.byte());
            lobby->write(k, dataFrame(msgId, rcv, text(in, in.byte() % 48 + 1)));
            break;
        }
        case 3:
        case 4: { // time passes (up to 31 s), then updates
            uint8_t b = in.byte();
            if (b >= 8) lobby->pass((b >> 3) * 1000u);
            for (int n = b % 8; n >= 0; --n) lobby->update();
            break;
        }
        case 5: { // the lobby host receives, or takes nothing for a while
            size_t n = in.byte() % 16;
            if (n > 0)
                lobby->take(n);
            else
                lobby->stallCheck();
            break;
        }
        case 6: { // the lobby host sends, within the room or beyond it
            uint8_t msgId = in.byte();
            uint8_t rcv = receiver(in.byte());
            size_t length = in.byte() < 200 ? in.byte() % 64 + 1 : in.word() % 70000 + 1;
            lobby->hostSend(msgId, rcv, text(in, length));
            break;
        }
        case 7:
            lobby->kick(k);
            break;
        case 8:
            lobby->pause(k, !lobby->member(k).paused);
            break;
        case 9: // a member leaves
            if (in.byte() & 1)
                lobby->closeEnd(k);
            else
                lobby->halfClose(k);
            break;
        case 10: { // overflow: one member floods everybody or one member
            uint8_t rcv = receiver(in.byte());
            std::string f = dataFrame(in.byte(), rcv, text(in, in.word() % 2048 + 1));
            size_t times = in.byte() % 128 + 1;
            std::string flood;
            flood.reserve(times * f.size());
            for (size_t i = 0; i < times; ++i) flood += f;
            lobby->write(k, flood);
            break;
        }
        case 11: // the lobby ends and opens again
            lobby.reset();
            lobby = std::make_unique<fz::Lobby>(true);
            break;
        }
    }
    lobby.reset();
    return 0;
}
