#include "hostapi/argmap.h"

#include "platform/heap.h"

#include <cstddef>

// The 32-bit host application lays its dictionary out exactly so; the library must match
// it to the byte. (Other builds take the platform's natural layout of the
// same records, fields in the same order.)
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ArgNode) == 16 && offsetof(ArgNode, sibling) == 0 &&
                  offsetof(ArgNode, child) == 4 && offsetof(ArgNode, ch) == 8 &&
                  offsetof(ArgNode, value) == 12,
              "ArgNode layout");
static_assert(sizeof(ArgValue) == 8 && offsetof(ArgValue, kind) == 0 &&
                  offsetof(ArgValue, payload) == 4,
              "ArgValue layout");
static_assert(sizeof(CharList) == 12 && offsetof(CharList, head) == 0 &&
                  offsetof(CharList, tail) == 4 && offsetof(CharList, count) == 8,
              "CharList layout");
static_assert(sizeof(CharCell) == 8 && offsetof(CharCell, ch) == 0 && offsetof(CharCell, next) == 4,
              "CharCell layout");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
// A 64-bit host (the 64-bit DLL's, Linux x86-64) lays the same records out
// with 8-byte pointers, each aligned to 8.
static_assert(sizeof(ArgNode) == 32 && offsetof(ArgNode, child) == 8 &&
                  offsetof(ArgNode, ch) == 16 && offsetof(ArgNode, value) == 24,
              "ArgNode layout");
static_assert(sizeof(ArgValue) == 16 && offsetof(ArgValue, payload) == 8, "ArgValue layout");
static_assert(sizeof(CharList) == 24 && offsetof(CharList, tail) == 8 &&
                  offsetof(CharList, count) == 16,
              "CharList layout");
static_assert(sizeof(CharCell) == 16 && offsetof(CharCell, next) == 8, "CharCell layout");
#endif

namespace ll {

namespace {

ArgValue *newValue(ArgValue value) {
    ArgValue *v = heapNew<ArgValue>();
    *v = value;
    return v;
}

// Builds the chain of nodes for the characters of `key` starting at `node`
// (whose ch becomes key[0]) and hangs a copy of `value` on its last node.
void buildChain(ArgNode *node, const char *key, ArgValue value) {
    node->ch = key[0];
    for (const char *c = key + 1; *c; ++c) {
        node->value = nullptr;
        node->sibling = nullptr;
        ArgNode *child = heapNew<ArgNode>();
        node->child = child;
        node = child;
        node->ch = *c;
    }
    node->value = newValue(value);
    node->sibling = nullptr;
    node->child = nullptr;
}

void freeCells(CharList *list) {
    if (list->count != 0) {
        CharCell *cell = list->head;
        while (cell) {
            CharCell *next = cell->next;
            heapFree(cell);
            cell = next;
        }
        list->head = nullptr;
        list->tail = nullptr;
        list->count = 0;
    }
}

} // namespace

ArgValue *mapFind(ArgNode *node, const char *key) {
    while (node) {
        if (key[1] == '\0') {
            if (node->ch == key[0]) return node->value;
            node = node->sibling;
        } else if (node->ch == key[0]) {
            node = node->child;
            ++key;
        } else {
            node = node->sibling;
        }
    }
    return nullptr;
}

int32_t mapGetInt(ArgNode *map, const char *key) {
    if (!map) return 0;
    ArgValue *v = mapFind(map, key);
    return (v && v->kind == ValueInteger) ? v->payload.integer : 0;
}

const CharList *mapGetList(ArgNode *map, const char *key) {
    if (!map) return nullptr;
    ArgValue *v = mapFind(map, key);
    return v && v->kind == ValueString ? v->payload.string : nullptr;
}

size_t listCopyText(const CharList *list, char *out) {
    size_t n = 0;
    const CharCell *cell = list ? list->head : nullptr;
    for (uint32_t count = list ? list->count : 0; n < count && cell; cell = cell->next)
        out[n++] = cell->ch;
    return n;
}

char *mapGetText(ArgNode *map, const char *key, size_t *length) {
    *length = 0;
    if (!map) return nullptr;
    ArgValue *v = mapFind(map, key);
    if (!v || v->kind != ValueString) return nullptr;
    const CharList *list = v->payload.string;
    uint32_t count = list ? list->count : 0;
    char *copy = static_cast<char *>(heapAlloc(static_cast<size_t>(count) + 1));
    // count is authoritative; a list shorter than it reads as ending early.
    *length = listCopyText(list, copy);
    copy[*length] = '\0';
    return copy;
}

char *mapGetString(ArgNode *map, const char *key) {
    size_t length;
    return mapGetText(map, key, &length);
}

void mapSet(const char *key, ArgNode *map, ArgValue value) {
    ArgNode *node = map;
    for (;;) {
        if (node->ch == key[0]) {
            if (key[1] == '\0') break;
            if (!node->child) {
                node->child = heapNew<ArgNode>();
                buildChain(node->child, key + 1, value);
                return;
            }
            node = node->child;
            ++key;
        } else if (!node->sibling) {
            node->sibling = heapNew<ArgNode>();
            buildChain(node->sibling, key, value);
            return;
        } else {
            node = node->sibling;
        }
    }
    if (!node->value) {
        node->value = newValue(value);
    } else {
        if (node->value->kind == ValueString) listFree(&node->value->payload.string);
        node->value->kind = value.kind;
        node->value->payload = value.payload;
    }
}

void listAssign(CharList *list, const char *text) {
    // The list's own cells take the new characters in place; only cells the
    // new text needs beyond them are allocated, and only the surplus is freed.
    // A list whose count is 0 owns no cells.
    CharCell *cell = list->count != 0 ? list->head : nullptr;
    CharCell *last = nullptr;
    uint32_t count = 0;
    const char *c = text;
    for (; *c && cell; ++c, ++count) {
        cell->ch = *c;
        last = cell;
        cell = cell->next;
    }
    if (*c) {
        // Longer than before: append new cells after the reused ones.
        for (; *c; ++c, ++count) {
            CharCell *fresh = heapNew<CharCell>();
            fresh->ch = *c;
            if (last)
                last->next = fresh;
            else
                list->head = fresh;
            last = fresh;
        }
    } else {
        // As long or shorter: the cells after the last one used go.
        while (cell) {
            CharCell *next = cell->next;
            heapFree(cell);
            cell = next;
        }
    }
    if (last)
        last->next = nullptr;
    else
        list->head = nullptr;
    list->tail = last;
    list->count = count;
}

void listFree(CharList **slot) {
    CharList *list = *slot;
    if (list) {
        freeCells(list);
        heapFree(list);
    }
    *slot = nullptr;
}

void writeInt(ArgNode *map, const char *key, int32_t n) {
    if (!map) return;
    ArgValue v;
    v.kind = ValueInteger;
    v.payload.integer = n;
    mapSet(key, map, v);
}

void writeString(ArgNode *map, const char *key, const char *text) {
    if (!map) return;
    // A String replacing a String keeps its list and, as far as they go, its
    // cells: an application that reuses its dictionary pays only for the difference.
    ArgValue *present = mapFind(map, key);
    if (present && present->kind == ValueString && present->payload.string) {
        listAssign(present->payload.string, text);
        return;
    }
    CharList *list = heapNew<CharList>();
    listAssign(list, text);
    ArgValue v;
    v.kind = ValueString;
    v.payload.string = list;
    mapSet(key, map, v);
}

} // namespace ll
