// The host application's argument dictionary: reading arguments from it and
// writing results into it, in the application's own record layout (see
// lobbylink.h).
#pragma once

#include "lobbylink/lobbylink.h"

#include <cstddef>
#include <cstdint>

namespace ll {

// The value of `key` searched from `node`, or null when absent.
ArgValue *mapFind(ArgNode *node, const char *key);
// The Integer value of `key`; 0 when absent, of another kind, or map is null.
int32_t mapGetInt(ArgNode *map, const char *key);
// A new malloc'd NUL-terminated copy of the String value of `key` (the caller
// frees it); null when absent, of another kind, or map is null.
char *mapGetString(ArgNode *map, const char *key);
// The same copy, with the String's length in `*length`: every character of
// it, 0 bytes included (a list shorter than its count ends early).
char *mapGetText(ArgNode *map, const char *key, size_t *length);
// The CharList of the String value of `key`; null when absent, of another
// kind, or map is null.
const CharList *mapGetList(ArgNode *map, const char *key);
// Copies the text a list holds, as mapGetText reads it, into `out` (room
// for `count` characters): its first `count` characters, 0 bytes included,
// ending early at a missing cell. Returns the text's length.
size_t listCopyText(const CharList *list, char *out);
// Inserts `key` or replaces its value with a copy of `value`; a String's
// CharList passes to the dictionary. `map` must not be null.
void mapSet(const char *key, ArgNode *map, ArgValue value);
// Makes `list` hold exactly the characters of `text` (without terminator).
void listAssign(CharList *list, const char *text);
// Frees the CharList in `*slot` with its cells and nulls the slot.
void listFree(CharList **slot);

// The two result forms every entry point uses; both skip a null map.
void writeInt(ArgNode *map, const char *key, int32_t n);
void writeString(ArgNode *map, const char *key, const char *text);

} // namespace ll
