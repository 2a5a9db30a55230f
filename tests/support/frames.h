// Bytes on the wire, written out by hand so that a fault in the library's own
// encoder cannot hide behind the same fault here.
#pragma once

#include "lobbylink/lobbylink.h"

#include <initializer_list>
#include <string>

namespace kit {

// Byte strings written as lists of byte values: bytes({1, 126, 255}) + "gold" + nul().
inline std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}
inline std::string nul() { return std::string(1, '\0'); }
// A frame: the given header bytes, the text, and the terminating 0.
inline std::string frame(std::initializer_list<int> head, const std::string &text) {
    return bytes(head) + text + nul();
}

// The longest texts: a frame of one and the other fills all but one byte of a
// queue. A client's longest, relayed with the sender in front, fills it all.
const int LongestClientText = LobbyQueueBytes - LobbyClientFrameOverhead - 1;
const int LongestHostText = LobbyQueueBytes - LobbyHostFrameOverhead - 1;

} // namespace kit
