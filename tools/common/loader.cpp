#include "common/loader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tools {

namespace {

const struct {
    const char *name;
    MapCall Library::*slot;
} MapExports[] = {
    {"p2pInit", &Library::init},
    {"p2pTerminate", &Library::terminate},
    {"nlTerminate", &Library::nlTerminate},
    {"p2pDisconnect", &Library::disconnect},
    {"p2pCreateLobby", &Library::createLobby},
    {"p2pRecv", &Library::recv},
    {"p2pSearchClient", &Library::searchClient},
    {"p2pIsSearching", &Library::isSearching},
    {"p2pCancelSearch", &Library::cancelSearch},
    {"p2pUncancelSearch", &Library::uncancelSearch},
    {"p2pSearchClientError", &Library::searchClientError},
    {"p2pUpdate", &Library::update},
    {"p2pKick", &Library::kick},
    {"p2pNumClients", &Library::numClients},
    {"p2pClientName", &Library::clientName},
    {"p2pConnect", &Library::connect},
    {"p2pSend", &Library::send},
    {"p2pBuffer", &Library::buffer},
    {"p2pFindLobbies", &Library::findLobbies},
};

const struct {
    const char *name;
    SlotCall Library::*slot;
} SlotExports[] = {
    {"nlPointerFunc", &Library::nlPointerFunc},     {"nlIntegerFunc", &Library::nlIntegerFunc},
    {"nlStringFunc", &Library::nlStringFunc},       {"nlKeyCharFunc", &Library::nlKeyCharFunc},
    {"nlKeyDownFunc", &Library::nlKeyDownFunc},     {"nlKeyUpFunc", &Library::nlKeyUpFunc},
    {"nlMouseDownFunc", &Library::nlMouseDownFunc}, {"nlMouseUpFunc", &Library::nlMouseUpFunc},
    {"nlMouseMoveFunc", &Library::nlMouseMoveFunc},
};

#ifdef _WIN32
void *openFile(const std::string &path, std::string *error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) {
        char text[256] = "";
        DWORD code = GetLastError();
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, sizeof text, nullptr);
        std::string why = text;
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' '))
            why.pop_back();
        *error = path + ": " + (why.empty() ? "error " + std::to_string(code) : why);
    }
    return reinterpret_cast<void *>(module);
}
void *symbol(void *handle, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void closeFile(void *handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
#else
void *openFile(const std::string &path, std::string *error) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) *error = dlerror();
    return handle;
}
void *symbol(void *handle, const char *name) { return dlsym(handle, name); }
void closeFile(void *handle) { dlclose(handle); }
#endif

} // namespace

const char *libraryFileName() {
#ifdef _WIN32
    return "lobbylink.dll";
#else
    return "liblobbylink.so";
#endif
}

MapCall Library::byName(const std::string &name) const {
    for (const auto &e : MapExports)
        if (name == e.name) return this->*e.slot;
    return nullptr;
}

bool libraryLoad(const std::string &path, Library *lib, std::string *error) {
    *lib = Library{};
    lib->handle = openFile(path, error);
    if (!lib->handle) return false;
    std::string missing;
    for (const auto &e : MapExports) {
        lib->*e.slot = reinterpret_cast<MapCall>(symbol(lib->handle, e.name));
        if (!(lib->*e.slot)) missing += std::string(missing.empty() ? "" : ", ") + e.name;
    }
    for (const auto &e : SlotExports) {
        lib->*e.slot = reinterpret_cast<SlotCall>(symbol(lib->handle, e.name));
        if (!(lib->*e.slot)) missing += std::string(missing.empty() ? "" : ", ") + e.name;
    }
    if (missing.empty()) return true;
    *error = path + " is not the lobbylink library: it lacks " + missing;
    libraryUnload(lib);
    return false;
}

void libraryUnload(Library *lib) {
    if (lib->handle) closeFile(lib->handle);
    *lib = Library{};
}

} // namespace tools
