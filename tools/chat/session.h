#pragma once

#include <string>

namespace chat {

struct Options {
    std::string library; // --lib PATH; empty: beside the executable, then by name
    bool json = false;   // --json
    bool trace = false;  // --trace
    bool lobbyHost = false;
    bool portmap = false;      // host --portmap: ask the home router to open the port
    bool announce = false;     // host --announce: answer players' find
    bool secretAsked = false;  // --private
    std::string secret;        // of a private lobby, from obtainSecret
    std::string relay;         // host --relay HOST[:PORT]: host through this relay server
    std::string relayUser;     // --relay-user NAME: its user
    std::string relayPassword; // and that user's password, from obtainRelayPassword
    std::string address;       // join: empty for this machine
    std::string name;
};

// Hosts or joins a lobby and chats until /quit, the end of the input or, for
// a client, the end of the connection. Returns the exit status: 0 after
// /quit, 1 when the lobby could not be opened or joined or the connection was
// lost.
int runSession(const Options &options);

// Lists the lobbies on this machine's networks that announce themselves, and
// how to join each. Returns 0, or 1 when the search could not be made.
int runFind(const Options &options);

} // namespace chat
