// The paced flood's messages, for the agent and for the end-to-end test that
// plays the same flood in its own processes: numbered texts that tell their
// sender and number, then each member's count.
#pragma once

#include "lobbylink/lobbylink.h"

#include <string>

namespace flood {

const int DataId = 20, EndId = 21;

// Number 0 is the longest text its sender may send: its frame fills all but
// one byte of a queue (relayed from a client, the whole queue).
inline std::string text(int sender, int seq) {
    std::string head = std::to_string(seq) + ":";
    size_t longest = LobbyQueueBytes - 1 -
                     (sender == HostId ? LobbyHostFrameOverhead : LobbyClientFrameOverhead);
    size_t dots = seq ? static_cast<size_t>(seq * 7919 % 1500) : longest - head.size();
    return head + std::string(dots, '.');
}

} // namespace flood
