#include "library.h"

#include "platform.h"

namespace chat {

tools::Library lib;

bool loadLobbyLink(const std::string &path, std::string *error) {
    std::string beside = executableDir() + libraryFileName();
    const std::string candidates[] = {path.empty() ? beside : path,
                                      path.empty() ? libraryFileName() : ""};
    std::string reasons;
    for (const std::string &candidate : candidates) {
        if (candidate.empty()) continue;
        std::string why;
        if (tools::libraryLoad(candidate, &lib, &why)) return true;
        reasons += (reasons.empty() ? "" : "; ") + why;
    }
    *error = "cannot load the lobbylink library (" + reasons + "); give its path with --lib";
    return false;
}

} // namespace chat
