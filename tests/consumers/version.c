/*
 * Checks the version a program built against an installed or released
 * lobbylink sees: the header's macros against VERSION, and on Windows the
 * DLL's version resource as the file's properties show it.
 *
 *   version VERSION        exit 0 when all agree, else 1
 */
#include "lobbylink/lobbylink.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

static int fail(const char *what) {
    fprintf(stderr, "version: %s\n", what);
    return 1;
}

int main(int argc, char **argv) {
    char built[32];
    const char *expected = argc > 1 ? argv[1] : "";
    snprintf(built, sizeof built, "%d.%d.%d", LOBBYLINK_VERSION_MAJOR, LOBBYLINK_VERSION_MINOR,
             LOBBYLINK_VERSION_PATCH);
    if (strcmp(LOBBYLINK_VERSION_STRING, expected) != 0 || strcmp(built, expected) != 0 ||
        LOBBYLINK_VERSION != LOBBYLINK_VERSION_MAJOR * 10000 + LOBBYLINK_VERSION_MINOR * 100 +
                                 LOBBYLINK_VERSION_PATCH)
        return fail("the header's version macros differ from the package's version");
#ifdef _WIN32
    {
        /* Loaded by import, so the DLL is already in the process. */
        char path[MAX_PATH];
        HMODULE dll;
        DWORD ignored, size;
        void *info;
        VS_FIXEDFILEINFO *fixed = NULL;
        char *text = NULL, *description = NULL;
        UINT length = 0;
        int ok;
        p2pBuffer(NULL);
        dll = GetModuleHandleA("lobbylink.dll");
        if (!dll || !GetModuleFileNameA(dll, path, sizeof path)) return fail("lobbylink.dll not loaded");
        size = GetFileVersionInfoSizeA(path, &ignored);
        info = size ? malloc(size) : NULL;
        ok = info && GetFileVersionInfoA(path, 0, size, info) &&
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
    }
#endif
    printf("version: lobbylink %s\n", LOBBYLINK_VERSION_STRING);
    return 0;
}
