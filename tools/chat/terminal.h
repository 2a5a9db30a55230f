// Line input without blocking, and output that leaves the line being typed
// alone. On an interactive terminal the program edits the line itself (raw
// keys, a "> " prompt kept below everything printed); from a pipe or a file it
// reads plain lines.
#pragma once

#include "lobbylink/lobbylink.h"

#include <string>
#include <vector>

namespace chat {

// The longest line taken (no longer text fits a send queue); longer ones are
// reported, not cut.
const size_t MaxInputLine = LobbyQueueBytes;

struct InputLine {
    std::string text;
    bool tooLong = false; // more than MaxInputLine bytes: text is empty
    bool hasZero = false; // held a 0 byte, which no message can carry
};

void terminalStart();
void terminalStop();
// Waits up to waitMs for input and appends every line it completed. False
// once the input has ended (end of a pipe, Ctrl-D on an empty line).
bool terminalPoll(int waitMs, std::vector<InputLine> *lines);
// Prints one line of output above the prompt.
void terminalPrint(const std::string &line);

} // namespace chat
