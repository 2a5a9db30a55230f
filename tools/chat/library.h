// lobbylink loaded at run time, the way a game loads it: by file name, with
// every export it calls looked up by name. The calls keep the header's names
// without the "p2p" prefix: lib.update(nullptr), lib.send(map), ...
#pragma once

#include "lobbylink/lobbylink.h"

#include <string>

namespace chat {

typedef int32_t(LOBBYLINK_CALL *LobbyCall)(ArgNode *map);

struct LobbyLink {
    LobbyCall init, terminate, createLobby, disconnect, recv;
    LobbyCall searchClient, isSearching, searchClientError;
    LobbyCall update, kick, connect, send, buffer;
};

// The library the program talks to (filled by loadLobbyLink).
extern LobbyLink lib;

// Loads `path`, or when it is empty the library file beside this executable,
// then the plain file name (the system's search). False with the reasons in
// *error.
bool loadLobbyLink(const std::string &path, std::string *error);

} // namespace chat
