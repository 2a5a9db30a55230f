// lobbylink loaded at run time, the way a game loads it: by file name, with
// every export in one table (tools/common/loader.h). The calls keep the
// header's names without the "p2p" prefix: lib.update(nullptr), lib.send(map), ...
#pragma once

#include "common/loader.h"

#include <string>

namespace chat {

// The library the program talks to (filled by loadLobbyLink).
extern tools::Library lib;

// Loads `path`, or when it is empty the library file beside this executable,
// then the plain file name (the system's search). False with the reasons in
// *error.
bool loadLobbyLink(const std::string &path, std::string *error);

} // namespace chat
