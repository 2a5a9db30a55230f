// The lobby host's handling of byte streams from several clients: arbitrary
// bytes (frames, broken frames, floods) written into the members'
// connections, interleaved with the lobby host's own sends, kicks, closed and
// half-closed connections, paused readers, time passing on the library's
// held clock (up to the stall rule and past it) and a host application that
// takes nothing for a while. Every update checks the library's invariants;
// the end checks what each member and the inbox got against what was sent
// (see harness.h).
#include "fuzz/harness.h"

#include "net/base/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Input in{data, size};
    fz::Lobby lobby;
    int initial = in.byte() % 6 + 1;
    for (int i = 0; i < initial; ++i) {
        uint8_t id = static_cast<uint8_t>(2 + in.byte() % LobbyMaxClients);
        while (lobby.seat(id, "m" + std::to_string(id)) < 0)
            id = static_cast<uint8_t>(id % LobbyMaxClients + 2);
    }
    auto pick = [&] { return static_cast<size_t>(in.byte()) % lobby.size(); };
    while (in.more()) {
        switch (in.byte() % 10) {
        case 0:
        case 1:
        case 2:
        case 3:
        case 4: { // bytes from one member
            size_t k = pick();
            lobby.write(k, in.bytes(in.byte()));
            break;
        }
        case 5: { // time passes (to 31.5 s), updates, then the host takes some entries or none
            uint8_t b = in.byte();
            if (b >= 4) lobby.pass((b >> 2) * 500u);
            for (int n = b % 4; n >= 0; --n) lobby.update();
            size_t n = in.byte() % 8;
            if (n > 0)
                lobby.take(n);
            else
                lobby.stallCheck();
            break;
        }
        case 6: { // the lobby host sends
            uint8_t msgId = in.byte();
            uint8_t sel = in.byte();
            uint8_t rcv = sel < 128 ? lobby.member(sel % lobby.size()).id : in.byte();
            lobby.hostSend(msgId, rcv, in.bytes(in.byte() % 64));
            break;
        }
        case 7:
            lobby.kick(pick());
            break;
        case 8: { // a member's connection: closed, half-closed, reading paused or resumed
            size_t k = pick();
            switch (in.byte() % 4) {
            case 0:
                lobby.closeEnd(k);
                break;
            case 1:
                lobby.halfClose(k);
                break;
            case 2:
                lobby.pause(k, true);
                break;
            default:
                lobby.pause(k, false);
                break;
            }
            break;
        }
        case 9: { // a flood: one chunk many times over
            size_t k = pick();
            std::string chunk = in.bytes(in.byte() % 32 + 1);
            size_t times = in.word() % 4096 + 1;
            std::string flood;
            flood.reserve(times * chunk.size());
            for (size_t i = 0; i < times && flood.size() < 4 * ll::QueueCapacity; ++i)
                flood += chunk;
            lobby.write(k, flood);
            break;
        }
        }
    }
    lobby.close();
    return 0;
}
