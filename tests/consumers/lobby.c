/*
 * A host program built against an installed or released lobbylink only. It
 * opens a lobby; a second process of it (a fork on Linux, the same program
 * started again on Windows) joins as a client. Once admitted, the client sends
 * the lobby host a message, the lobby host answers it, the client leaves, and
 * the lobby host sees it arrive, send, and leave. With an argument, it first checks the
 * header's version against it (and on Windows the DLL's version resource).
 *
 *   lobby [VERSION]        exit 0 when every step happened, else 1
 *
 * The dictionary helpers come from lobbylink/hostmap.h on Linux; a Windows
 * host brings its own (hostdict.c, defining LOBBY_OWN_DICTIONARY).
 */
#include "lobbylink/lobbylink.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef LOBBY_OWN_DICTIONARY
ArgNode *llMapNew(void);
void llMapFree(ArgNode *map);
void llMapSetInt(ArgNode *map, const char *key, int32_t value);
void llMapSetString(ArgNode *map, const char *key, const char *text);
int32_t llMapGetInt(ArgNode *map, const char *key);
char *llMapGetString(ArgNode *map, const char *key);
#else
#include "lobbylink/hostmap.h"
#endif

#ifdef _WIN32
#include <process.h>
#include <windows.h>
static unsigned long nowMs(void) { return GetTickCount(); }
static void nap(void) { Sleep(1); }
#else
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
static unsigned long nowMs(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (unsigned long)t.tv_sec * 1000ul + (unsigned long)t.tv_nsec / 1000000ul;
}
static void nap(void) {
    struct timespec t = {0, 1000000};
    nanosleep(&t, NULL);
}
#endif

/* Every wait ends after this long, however loaded the machine. */
#define DEADLINE_MS 60000ul

static const char *role = "lobby host";

static int fail(const char *what) {
    fprintf(stderr, "lobby: %s: %s\n", role, what);
    return 1;
}

static int textIs(ArgNode *map, const char *key, const char *want) {
    char *text = llMapGetString(map, key);
    int same = text && strcmp(text, want) == 0;
    free(text);
    return same;
}

/* Pumps until p2pRecv yields an entry with this sender (any when < 0), id
 * and text; other entries are skipped. 1 when it came in time. */
static int awaitEntry(ArgNode *map, int sender, int id, const char *text) {
    unsigned long start = nowMs();
    while (nowMs() - start < DEADLINE_MS) {
        p2pUpdate(NULL);
        while (p2pRecv(map) == 1) {
            if ((sender < 0 || llMapGetInt(map, "usr") == sender) && llMapGetInt(map, "id") == id &&
                textIs(map, "msg", text))
                return 1;
        }
        nap();
    }
    return 0;
}

static void say(ArgNode *map, int receiver, int id, const char *text) {
    llMapSetString(map, "msg", text);
    llMapSetInt(map, "id", id);
    llMapSetInt(map, "rcv", receiver);
    p2pSend(map);
}

static int client(void) {
    int ok = 0;
    ArgNode *map = llMapNew();
    role = "client";
    if (p2pInit(map) != 1) goto done;
    llMapSetString(map, "address", "127.0.0.1");
    llMapSetString(map, "user", "visitor");
    if (p2pConnect(map) != 1 || llMapGetInt(map, "result") != 1) {
        fail("p2pConnect failed");
        goto done;
    }
    /* Admitted once the lobby host's join notice arrives; a message sent
     * before that could reach the lobby host while it still reads the
     * handshake. */
    if (!awaitEntry(map, HostId, MsgJoin, "keeper")) {
        fail("never admitted");
        goto done;
    }
    say(map, HostId, 7, "hello from the client");
    if (!awaitEntry(map, HostId, 8, "hello from the lobby host")) {
        fail("no answer from the lobby host");
        goto done;
    }
    ok = 1;
done:
    p2pDisconnect(NULL);
    p2pTerminate(NULL);
    llMapFree(map);
    return ok ? 0 : 1;
}

/* The client process. On Linux it is forked before the library is first
 * called (a fork would inherit the lobby) and waits on a pipe until the lobby
 * host lets it go; on Windows the program starts again as it. */
#ifndef _WIN32
static int clientGo[2];
#endif

static long forkClient(void) {
#ifdef _WIN32
    return 0;
#else
    if (pipe(clientGo) != 0) return -1;
    fflush(NULL);
    pid_t pid = fork();
    if (pid == 0) {
        char go;
        close(clientGo[1]);
        _exit(read(clientGo[0], &go, 1) == 1 ? client() : 1);
    }
    close(clientGo[0]);
    return (long)pid;
#endif
}

/* Lets the client connect; returns its handle for awaitClient, or -1. */
static long startClient(long forked) {
#ifdef _WIN32
    char self[MAX_PATH];
    (void)forked;
    if (!GetModuleFileNameA(NULL, self, sizeof self)) return -1;
    return (long)_spawnl(_P_NOWAIT, self, "lobby", "client", NULL);
#else
    int released = write(clientGo[1], "!", 1) == 1;
    close(clientGo[1]);
    return released ? forked : -1;
#endif
}

static int awaitClient(long handle) {
    int status = -1;
#ifdef _WIN32
    if (_cwait(&status, (intptr_t)handle, 0) == -1) return 0;
    return status == 0;
#else
    if (waitpid((pid_t)handle, &status, 0) != (pid_t)handle) return 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}

static int checkVersion(const char *expected) {
    char built[32];
    snprintf(built, sizeof built, "%d.%d.%d", LOBBYLINK_VERSION_MAJOR, LOBBYLINK_VERSION_MINOR,
             LOBBYLINK_VERSION_PATCH);
    if (strcmp(LOBBYLINK_VERSION_STRING, expected) != 0 || strcmp(built, expected) != 0 ||
        LOBBYLINK_VERSION != LOBBYLINK_VERSION_MAJOR * 10000 + LOBBYLINK_VERSION_MINOR * 100 +
                                 LOBBYLINK_VERSION_PATCH)
        return fail("the header's version macros differ from the package's version");
#ifdef _WIN32
    /* The version resource, as the file's properties show it. */
    char path[MAX_PATH];
    HMODULE dll = GetModuleHandleA("lobbylink.dll");
    if (!dll || !GetModuleFileNameA(dll, path, sizeof path)) return fail("lobbylink.dll not loaded");
    DWORD ignored, size = GetFileVersionInfoSizeA(path, &ignored);
    void *info = size ? malloc(size) : NULL;
    VS_FIXEDFILEINFO *fixed = NULL;
    char *text = NULL, *description = NULL;
    UINT length = 0;
    int ok = info && GetFileVersionInfoA(path, 0, size, info) &&
             VerQueryValueA(info, "\\", (void **)&fixed, &length) && fixed &&
             fixed->dwFileVersionMS ==
                 (DWORD)(LOBBYLINK_VERSION_MAJOR << 16 | LOBBYLINK_VERSION_MINOR) &&
             fixed->dwFileVersionLS == (DWORD)(LOBBYLINK_VERSION_PATCH << 16) &&
             fixed->dwProductVersionMS == fixed->dwFileVersionMS &&
             VerQueryValueA(info, "\\StringFileInfo\\040904B0\\FileVersion", (void **)&text,
                            &length) &&
             strcmp(text, expected) == 0 &&
             VerQueryValueA(info, "\\StringFileInfo\\040904B0\\FileDescription",
                            (void **)&description, &length) &&
             strstr(description, "lobbylink") != NULL;
    free(info);
    if (!ok) return fail("the DLL's version resource is missing or differs from the header");
#endif
    return 0;
}

static int lobbyHost(const char *expectedVersion) {
    ArgNode *map = llMapNew();
    long child = -1, forked;
    int clientId = 0, ok = 0;
    if (expectedVersion && checkVersion(expectedVersion)) goto done;
    forked = forkClient();
    if (forked == -1) {
        fail("cannot fork the client");
        goto done;
    }
    if (p2pInit(map) != 1) {
        fail("p2pInit failed");
        goto done;
    }
    llMapSetString(map, "user", "keeper");
    if (p2pCreateLobby(map) != 1 || llMapGetInt(map, "result") != 1) {
        fail("p2pCreateLobby failed");
        goto done;
    }
    /* The search listens before it answers, so the client may connect now. */
    if (p2pSearchClient(map) != 1 || llMapGetInt(map, "result") != 1) {
        fail("p2pSearchClient failed");
        goto done;
    }
    child = startClient(forked);
    if (child == -1) {
        fail("cannot start the client");
        goto done;
    }
    if (!awaitEntry(map, -1, MsgJoin, "visitor")) {
        fail("the client never joined");
        goto done;
    }
    clientId = llMapGetInt(map, "usr");
    llMapSetInt(map, "id", clientId);
    p2pClientName(map);
    if (p2pNumClients(NULL) != 1 || !textIs(map, "result", "visitor")) {
        fail("the lobby does not list the client");
        goto done;
    }
    if (!awaitEntry(map, clientId, 7, "hello from the client")) {
        fail("the client's message never came");
        goto done;
    }
    say(map, clientId, 8, "hello from the lobby host");
    if (!awaitEntry(map, clientId, MsgLeave, "visitor")) {
        fail("the client never left");
        goto done;
    }
    ok = 1;
done:
    if (child != -1 && !awaitClient(child)) ok = 0;
    p2pDisconnect(NULL);
    p2pTerminate(NULL);
    llMapFree(map);
    if (ok) printf("lobby: the lobby host and client %d exchanged messages\n", clientId);
    return ok ? 0 : 1;
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "client") == 0) return client();
    return lobbyHost(argc > 1 ? argv[1] : NULL);
}
