#include "lobbylink/hostmap.h"

#include "hostapi/argmap.h"

#include <cstdlib>

using namespace ll;

namespace {
void freeTree(ArgNode *node) {
    while (node) {
        ArgNode *sibling = node->sibling;
        freeTree(node->child);
        if (node->value) {
            if (node->value->kind == ValueString) listFree(&node->value->payload.string);
            std::free(node->value);
        }
        std::free(node);
        node = sibling;
    }
}
} // namespace

extern "C" {

ArgNode *llMapNew(void) { return static_cast<ArgNode *>(std::calloc(1, sizeof(ArgNode))); }

void llMapFree(ArgNode *map) { freeTree(map); }

void llMapSetInt(ArgNode *map, const char *key, int32_t value) { writeInt(map, key, value); }

void llMapSetString(ArgNode *map, const char *key, const char *text) {
    writeString(map, key, text);
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
