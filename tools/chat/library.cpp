#include "library.h"

#include "platform.h"

namespace chat {

LobbyLink lib;

namespace {

bool bind(void *library, std::string *error) {
    struct Export {
        const char *name;
        LobbyCall *slot;
    } exports[] = {
        {"p2pInit", &lib.init},
        {"p2pTerminate", &lib.terminate},
        {"p2pCreateLobby", &lib.createLobby},
        {"p2pDisconnect", &lib.disconnect},
        {"p2pRecv", &lib.recv},
        {"p2pSearchClient", &lib.searchClient},
        {"p2pIsSearching", &lib.isSearching},
        {"p2pSearchClientError", &lib.searchClientError},
        {"p2pUpdate", &lib.update},
        {"p2pKick", &lib.kick},
        {"p2pConnect", &lib.connect},
        {"p2pSend", &lib.send},
        {"p2pBuffer", &lib.buffer},
    };
    for (const Export &e : exports) {
        *e.slot = reinterpret_cast<LobbyCall>(librarySymbol(library, e.name));
        if (!*e.slot) {
            *error = std::string("the library has no export ") + e.name;
            return false;
        }
    }
    return true;
}

} // namespace

bool loadLobbyLink(const std::string &path, std::string *error) {
    std::string beside = executableDir() + libraryFileName();
    const std::string candidates[] = {path.empty() ? beside : path,
                                      path.empty() ? libraryFileName() : ""};
    std::string reasons;
    for (const std::string &candidate : candidates) {
        if (candidate.empty()) continue;
        std::string why;
        if (void *library = libraryOpen(candidate, &why)) return bind(library, error);
        reasons += (reasons.empty() ? "" : "; ") + why;
    }
    *error = "cannot load the lobbylink library (" + reasons + "); give its path with --lib";
    return false;
}

} // namespace chat
