/*
 * Host-side helpers for the lobbylink dictionary: create, fill, read and free
 * an ArgNode trie the way a host application does. They live in the static
 * library lobbylink_hostmap, not in the lobbylink library itself; the Windows
 * release also carries them as one C file, src/hostmap.c, for any compiler.
 */
#ifndef LOBBYLINK_HOSTMAP_H
#define LOBBYLINK_HOSTMAP_H

#include "lobbylink/lobbylink.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An empty dictionary: one root node with ch = 0 and null pointers. */
ArgNode *llMapNew(void);
/* Frees the dictionary and everything in it, including what the library added. */
void llMapFree(ArgNode *map);
void llMapSetInt(ArgNode *map, const char *key, int32_t value);
void llMapSetString(ArgNode *map, const char *key, const char *text);
/* The kind of the key's value (ValueInteger, ValueString, another kind), or 0
 * when the key is absent. */
int32_t llMapKind(ArgNode *map, const char *key);
int32_t llMapGetInt(ArgNode *map, const char *key);
/* A malloc'd copy of a String value, or NULL; the caller frees it. */
char *llMapGetString(ArgNode *map, const char *key);
/* Removes the key's value, and the nodes that then lead to no value, so a
 * reused dictionary holds no result of an earlier call (an "error" of a
 * failed p2pConnect, say). 1 when the key had a value, else 0. A key written
 * again after its removal goes at the end of its chains. */
int32_t llMapRemove(ArgNode *map, const char *key);
/* Removes every key: the dictionary is empty again (the root alone), as
 * llMapNew made it. */
void llMapClear(ArgNode *map);
/* Writes the characters of the root's sibling chain, in chain order, into out
 * (NUL-terminated, at most size - 1 of them): the first character of every
 * key, in the order the keys were first written to a fresh dictionary. */
size_t llMapRootChain(const ArgNode *map, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
