/*
 * A Windows host's own dictionary code, written from the record layout in
 * lobbylink.h alone, as a host that has its own dictionaries does: the release
 * folder carries no helper library. It implements the helpers' declarations
 * (those the example uses), so examples/lobby.c builds unchanged on both
 * platforms. Everything is allocated and freed with the C runtime's malloc
 * and free (msvcrt.dll, which the DLL uses too).
 */
#include "lobbylink/hostmap.h"

#include <stdlib.h>
#include <string.h>

ArgNode *llMapNew(void) { return calloc(1, sizeof(ArgNode)); }

static void freeString(CharList *list) {
    if (!list) return;
    for (CharCell *cell = list->head, *next; cell; cell = next) {
        next = cell->next;
        free(cell);
    }
    free(list);
}

void llMapFree(ArgNode *node) {
    while (node) {
        ArgNode *sibling = node->sibling;
        llMapFree(node->child);
        if (node->value && node->value->kind == ValueString) freeString(node->value->payload.string);
        free(node->value);
        free(node);
        node = sibling;
    }
}

/* The node holding `key`, made with the nodes above it when `create`. The
 * root (ch 0) heads the chain of first characters and matches no key. */
static ArgNode *keyNode(ArgNode *map, const char *key, int create) {
    ArgNode *chain = map, **link = NULL;
    for (;;) {
        ArgNode *node = chain, *last = NULL;
        while (node && node->ch != *key) {
            last = node;
            node = node->sibling;
        }
        if (!node) {
            if (!create) return NULL;
            node = calloc(1, sizeof(ArgNode));
            node->ch = *key;
            if (last) last->sibling = node;
            else *link = node;
        }
        if (key[1] == '\0') return node;
        ++key;
        link = &node->child;
        chain = node->child;
    }
}

static void setValue(ArgNode *map, const char *key, ArgValue value) {
    ArgNode *node = keyNode(map, key, 1);
    if (!node->value) node->value = calloc(1, sizeof(ArgValue));
    else if (node->value->kind == ValueString) freeString(node->value->payload.string);
    *node->value = value;
}

void llMapSetInt(ArgNode *map, const char *key, int32_t value) {
    ArgValue v;
    v.kind = ValueInteger;
    v.payload.integer = value;
    setValue(map, key, v);
}

void llMapSetString(ArgNode *map, const char *key, const char *text) {
    CharList *list = calloc(1, sizeof(CharList));
    for (const char *c = text; *c; ++c) {
        CharCell *cell = calloc(1, sizeof(CharCell));
        cell->ch = *c;
        if (list->tail) list->tail->next = cell;
        else list->head = cell;
        list->tail = cell;
        ++list->count;
    }
    ArgValue v;
    v.kind = ValueString;
    v.payload.string = list;
    setValue(map, key, v);
}

static ArgValue *find(ArgNode *map, const char *key) {
    ArgNode *node = keyNode(map, key, 0);
    return node ? node->value : NULL;
}

int32_t llMapGetInt(ArgNode *map, const char *key) {
    ArgValue *v = find(map, key);
    return v && v->kind == ValueInteger ? v->payload.integer : 0;
}

char *llMapGetString(ArgNode *map, const char *key) {
    ArgValue *v = find(map, key);
    if (!v || v->kind != ValueString) return NULL;
    const CharList *list = v->payload.string;
    uint32_t count = list ? list->count : 0, i = 0;
    char *copy = malloc(count + 1);
    for (const CharCell *cell = list ? list->head : NULL; i < count && cell; cell = cell->next)
        copy[i++] = cell->ch;
    copy[i] = '\0';
    return copy;
}
