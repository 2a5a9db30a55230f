// Everything lobbylink-chat shows is an event: a line of words, or with
// --json one JSON object per line for scripts. --trace adds a raw record of
// every inbox entry.
#pragma once

#include <string>

namespace chat {

enum EventKind {
    EventMessage,  // member, name, msgId, text
    EventJoined,   // member, name
    EventLeft,     // member, name
    EventLost,     // the connection to the lobby host is gone
    EventOverflow, // our own send queue overflowed: the connection is gone
    EventSent,     // member (the receiver, BroadcastId for everybody), name, msgId, text
    EventInfo,     // text: what happened, in words
    EventProblem,  // text: what went wrong or what was refused, in words
    EventMember,   // one line of /who: member (0: own id unknown), name, you, room
    EventTrace     // rawUsr, rawId, text: an inbox entry exactly as p2pRecv wrote it
};

struct Event {
    EventKind kind = EventInfo;
    int member = 0;
    std::string name;
    int msgId = 0;
    std::string text;
    bool you = false;
    int room = -1; // at the lobby host: the member's free send-queue space
    int rawUsr = 0, rawId = 0;
};

void setJsonOutput(bool json);
void emit(const Event &event);
void say(const std::string &words);
void complain(const std::string &words);

// "red [2]": how a member is named in every line.
std::string memberLabel(int id, const std::string &name);

} // namespace chat
