// lobbylink opened at run time by file name, the way a game opens it
// (dlopen or LoadLibrary), with all 28 exports bound in one table. Shared by
// the tools and the benchmarks.
#pragma once

#include "lobbylink/lobbylink.h"

#include <string>

namespace tools {

typedef int32_t(LOBBYLINK_CALL *MapCall)(ArgNode *map);
typedef intptr_t(LOBBYLINK_CALL *SlotCall)(void *fn);

// The exports under the header's names without the "p2p" prefix:
// lib.update(nullptr), lib.send(map), ...
struct Library {
    void *handle;
    MapCall init, terminate, nlTerminate, disconnect, createLobby, recv;
    MapCall searchClient, isSearching, cancelSearch, uncancelSearch, searchClientError;
    MapCall update, kick, numClients, clientName, connect, send, buffer, findLobbies;
    SlotCall nlPointerFunc, nlIntegerFunc, nlStringFunc, nlKeyCharFunc, nlKeyDownFunc, nlKeyUpFunc,
        nlMouseDownFunc, nlMouseUpFunc, nlMouseMoveFunc;

    // The export of that name ("p2pSend") that takes a dictionary, or null.
    MapCall byName(const std::string &name) const;
};

// "liblobbylink.so" or "lobbylink.dll".
const char *libraryFileName();

// Opens `path` and binds every export. False, with nothing left open, when
// the file cannot be opened or lacks exports: *error then says which, in
// one line.
bool libraryLoad(const std::string &path, Library *lib, std::string *error);
// dlclose / FreeLibrary; the table is emptied.
void libraryUnload(Library *lib);

} // namespace tools
