#include "lobbylink/hostmap.h"

#include "hostapi/argmap.h"

#include <cstdlib>

using namespace ll;

namespace {
void freeValue(ArgValue *value) {
    if (value && value->kind == ValueString) listFree(&value->payload.string);
    std::free(value);
}

void freeTree(ArgNode *node) {
    while (node) {
        ArgNode *sibling = node->sibling;
        freeTree(node->child);
        freeValue(node->value);
        std::free(node);
        node = sibling;
    }
}

// Removes `key` below the chain that *link heads: true when it had a value.
// A node left with neither value nor child is unlinked from its chain.
bool removeKey(ArgNode **link, const char *key) {
    while (*link && (*link)->ch != *key) link = &(*link)->sibling;
    ArgNode *node = *link;
    if (!node) return false;
    bool removed = node->value != nullptr;
    if (key[1] != '\0') {
        removed = removeKey(&node->child, key + 1);
    } else {
        freeValue(node->value);
        node->value = nullptr;
    }
    if (!node->value && !node->child) {
        *link = node->sibling;
        std::free(node);
    }
    return removed;
}
} // namespace

extern "C" {

ArgNode *llMapNew(void) { return static_cast<ArgNode *>(std::calloc(1, sizeof(ArgNode))); }

void llMapFree(ArgNode *map) { freeTree(map); }

void llMapSetInt(ArgNode *map, const char *key, int32_t value) { writeInt(map, key, value); }

void llMapSetString(ArgNode *map, const char *key, const char *text) {
    writeString(map, key, text);
}

// The root (ch 0) heads the chain of first characters and stays.
int32_t llMapRemove(ArgNode *map, const char *key) {
    return map && *key && removeKey(&map->sibling, key) ? 1 : 0;
}

void llMapClear(ArgNode *map) {
    if (!map) return;
    freeTree(map->sibling);
    freeTree(map->child);
    freeValue(map->value);
    map->sibling = map->child = nullptr;
    map->value = nullptr;
}

int32_t llMapKind(ArgNode *map, const char *key) {
    ArgValue *v = map ? mapFind(map, key) : nullptr;
    return v ? v->kind : 0;
}

int32_t llMapGetInt(ArgNode *map, const char *key) { return mapGetInt(map, key); }

char *llMapGetString(ArgNode *map, const char *key) { return mapGetString(map, key); }

size_t llMapRootChain(const ArgNode *map, char *out, size_t size) {
    size_t n = 0;
    // The root itself stands for no key (its ch is 0); its siblings do.
    for (const ArgNode *node = map ? map->sibling : nullptr; node && n + 1 < size;
         node = node->sibling)
        out[n++] = node->ch;
    if (size) out[n] = '\0';
    return n;
}
}
