/*
 * The dictionary helpers of lobbylink/hostmap.h in one C file, for a host
 * that builds them with its own compiler (any C99 compiler, Microsoft's
 * included) rather than link liblobbylink_hostmap.a. They behave as the
 * static library does and follow the record layout described in lobbylink.h.
 * They allocate and free everything with the C runtime's malloc and free,
 * which must be the heap the library uses: on Windows that of msvcrt.dll, so
 * a host built against another runtime compiles this file with LL_MAP_MSVCRT
 * defined (see README.txt).
 */
#include "lobbylink/hostmap.h"

#include <stdlib.h>

#ifdef LL_MAP_MSVCRT
/* Built with another C runtime than the DLL's (Visual C++, MinGW for the
 * UCRT): every block comes from and goes back to msvcrt.dll, the DLL's heap. */
#include <windows.h>

typedef void *(__cdecl *CrtCalloc)(size_t, size_t);
typedef void *(__cdecl *CrtMalloc)(size_t);
typedef void(__cdecl *CrtFree)(void *);

static FARPROC crtFunction(const char *name) {
    static HMODULE crt;
    if (!crt) crt = LoadLibraryA("msvcrt.dll");
    return crt ? GetProcAddress(crt, name) : NULL;
}
static void *mapCalloc(size_t n, size_t size) {
    return ((CrtCalloc)(void *)crtFunction("calloc"))(n, size);
}
static void *mapMalloc(size_t size) { return ((CrtMalloc)(void *)crtFunction("malloc"))(size); }
static void mapFree(void *block) { ((CrtFree)(void *)crtFunction("free"))(block); }
#define calloc mapCalloc
#define malloc mapMalloc
#define free mapFree
#endif

ArgNode *llMapNew(void) { return (ArgNode *)calloc(1, sizeof(ArgNode)); }

/* A list whose count is 0 owns no cells. */
static void freeString(CharList *list) {
    CharCell *cell, *next;
    if (!list) return;
    for (cell = list->count ? list->head : NULL; cell; cell = next) {
        next = cell->next;
        free(cell);
    }
    free(list);
}

static void freeValue(ArgValue *value) {
    if (value && value->kind == ValueString) freeString(value->payload.string);
    free(value);
}

void llMapFree(ArgNode *node) {
    while (node) {
        ArgNode *sibling = node->sibling;
        llMapFree(node->child);
        freeValue(node->value);
        free(node);
        node = sibling;
    }
}

/* Removes `key` below the chain that *link heads: 1 when it had a value. A
 * node left with neither value nor child is unlinked from its chain. */
static int removeKey(ArgNode **link, const char *key) {
    ArgNode *node;
    int removed;
    while (*link && (*link)->ch != *key) link = &(*link)->sibling;
    if (!(node = *link)) return 0;
    if (key[1] != '\0') {
        removed = removeKey(&node->child, key + 1);
    } else {
        removed = node->value != NULL;
        freeValue(node->value);
        node->value = NULL;
    }
    if (!node->value && !node->child) {
        *link = node->sibling;
        free(node);
    }
    return removed;
}

/* The root (ch 0) heads the chain of first characters and stays. */
int32_t llMapRemove(ArgNode *map, const char *key) {
    return map && *key ? removeKey(&map->sibling, key) : 0;
}

void llMapClear(ArgNode *map) {
    if (!map) return;
    llMapFree(map->sibling);
    llMapFree(map->child);
    freeValue(map->value);
    map->sibling = map->child = NULL;
    map->value = NULL;
}

/* The node holding `key`, made with the nodes above it when `create` (NULL
 * when memory runs out). The root (ch 0) heads the chain of first characters
 * and matches no key; a new node goes at the end of its chain. */
static ArgNode *keyNode(ArgNode *map, const char *key, int create) {
    ArgNode *chain = map, **link = NULL;
    if (!map || !*key) return NULL;
    for (;;) {
        ArgNode *node = chain, *last = NULL;
        while (node && (node == map || node->ch != *key)) {
            last = node;
            node = node->sibling;
        }
        if (!node) {
            if (!create || !(node = (ArgNode *)calloc(1, sizeof(ArgNode)))) return NULL;
            node->ch = *key;
            if (last)
                last->sibling = node;
            else
                *link = node;
        }
        if (key[1] == '\0') return node;
        ++key;
        link = &node->child;
        chain = node->child;
    }
}

/* Hangs `value` on the key, replacing (and freeing) a String there. */
static int setValue(ArgNode *map, const char *key, ArgValue value) {
    ArgNode *node = keyNode(map, key, 1);
    if (!node) return 0;
    if (!node->value) {
        if (!(node->value = (ArgValue *)calloc(1, sizeof(ArgValue)))) return 0;
    } else if (node->value->kind == ValueString) {
        freeString(node->value->payload.string);
    }
    *node->value = value;
    return 1;
}

void llMapSetInt(ArgNode *map, const char *key, int32_t value) {
    ArgValue v;
    v.kind = ValueInteger;
    v.payload.integer = value;
    setValue(map, key, v);
}

void llMapSetString(ArgNode *map, const char *key, const char *text) {
    ArgValue v;
    CharList *list;
    const char *c;
    if (!map || !(list = (CharList *)calloc(1, sizeof(CharList)))) return;
    for (c = text; *c; ++c) {
        CharCell *cell = (CharCell *)calloc(1, sizeof(CharCell));
        if (!cell) break;
        cell->ch = *c;
        if (list->tail)
            list->tail->next = cell;
        else
            list->head = cell;
        list->tail = cell;
        ++list->count;
    }
    v.kind = ValueString;
    v.payload.string = list;
    if (!setValue(map, key, v)) freeString(list);
}

static ArgValue *find(ArgNode *map, const char *key) {
    ArgNode *node = keyNode(map, key, 0);
    return node ? node->value : NULL;
}

int32_t llMapKind(ArgNode *map, const char *key) {
    ArgValue *v = find(map, key);
    return v ? v->kind : 0;
}

int32_t llMapGetInt(ArgNode *map, const char *key) {
    ArgValue *v = find(map, key);
    return v && v->kind == ValueInteger ? v->payload.integer : 0;
}

char *llMapGetString(ArgNode *map, const char *key) {
    ArgValue *v = find(map, key);
    const CharList *list;
    const CharCell *cell;
    uint32_t count, i = 0;
    char *copy;
    if (!v || v->kind != ValueString) return NULL;
    list = v->payload.string;
    count = list ? list->count : 0;
    if (!(copy = (char *)malloc((size_t)count + 1))) return NULL;
    /* count is authoritative; a list shorter than it reads as ending early. */
    for (cell = count ? list->head : NULL; i < count && cell; cell = cell->next)
        copy[i++] = cell->ch;
    copy[i] = '\0';
    return copy;
}

size_t llMapRootChain(const ArgNode *map, char *out, size_t size) {
    size_t n = 0;
    const ArgNode *node;
    for (node = map ? map->sibling : NULL; node && n + 1 < size; node = node->sibling)
        out[n++] = node->ch;
    if (size) out[n] = '\0';
    return n;
}
