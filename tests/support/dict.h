// The tests' own host dictionary: built, read and freed here, the way a host
// application lays it out, with none of the library's dictionary code, so a
// fault there cannot hide itself behind the same fault in the tests.
#pragma once

#include "lobbylink/lobbylink.h"

#include <cstdlib>
#include <string>

namespace dict {

inline ArgNode *make() { return static_cast<ArgNode *>(std::calloc(1, sizeof(ArgNode))); }

inline void freeList(CharList *l) {
    for (CharCell *c = l ? l->head : nullptr; c;) {
        CharCell *next = c->next;
        std::free(c);
        c = next;
    }
    std::free(l);
}

inline void destroy(ArgNode *n) {
    while (n) {
        ArgNode *sibling = n->sibling;
        destroy(n->child);
        if (n->value && n->value->kind == ValueString) freeList(n->value->payload.string);
        std::free(n->value);
        std::free(n);
        n = sibling;
    }
}

// The node of `key`, created (at the end of its sibling chain) when missing.
inline ArgNode *node(ArgNode *root, const std::string &key) {
    ArgNode *chain = root, *at = nullptr;
    for (size_t i = 0; i < key.size(); ++i) {
        ArgNode **slot = i == 0 ? &chain : &at->child;
        ArgNode *n = i == 0 ? root : at->child;
        ArgNode *last = nullptr;
        while (n && n->ch != key[i]) last = n, n = n->sibling;
        if (!n) {
            n = make();
            n->ch = key[i];
            if (last)
                last->sibling = n;
            else
                *slot = n;
        }
        at = n;
    }
    return at;
}

inline ArgValue *value(ArgNode *root, const std::string &key) {
    ArgNode *n = node(root, key);
    if (!n->value) n->value = static_cast<ArgValue *>(std::calloc(1, sizeof(ArgValue)));
    if (n->value->kind == ValueString) freeList(n->value->payload.string);
    return n->value;
}

inline void setInt(ArgNode *root, const std::string &key, int32_t v) {
    ArgValue *a = value(root, key);
    a->kind = ValueInteger;
    a->payload.integer = v;
}

// A String of the cells of `text`. A host may leave cells beyond the string's
// end in its list: `count`, when given, is the length the list claims.
inline void setString(ArgNode *root, const std::string &key, const std::string &text,
                      std::string::size_type count = std::string::npos) {
    CharList *l = static_cast<CharList *>(std::calloc(1, sizeof(CharList)));
    for (char ch : text) {
        CharCell *c = static_cast<CharCell *>(std::calloc(1, sizeof(CharCell)));
        c->ch = ch;
        (l->tail ? l->tail->next : l->head) = c;
        l->tail = c;
    }
    l->count = static_cast<uint32_t>(count == std::string::npos ? text.size() : count);
    ArgValue *a = value(root, key);
    a->kind = ValueString;
    a->payload.string = l;
}

// The value of `key` without creating anything; null when absent.
inline const ArgValue *find(const ArgNode *root, const std::string &key) {
    const ArgNode *n = root, *at = nullptr;
    for (size_t i = 0; i < key.size(); ++i) {
        n = i == 0 ? root : at->child;
        while (n && n->ch != key[i]) n = n->sibling;
        if (!n) return nullptr;
        at = n;
    }
    return at ? at->value : nullptr;
}

inline int32_t kind(const ArgNode *root, const std::string &key) {
    const ArgValue *v = find(root, key);
    return v ? v->kind : 0;
}

inline int32_t getInt(const ArgNode *root, const std::string &key) {
    const ArgValue *v = find(root, key);
    return v && v->kind == ValueInteger ? v->payload.integer : 0;
}

// A String's exactly `count` characters; "<none>" when absent or not a String.
inline std::string getString(const ArgNode *root, const std::string &key) {
    const ArgValue *v = find(root, key);
    if (!v || v->kind != ValueString) return "<none>";
    std::string out;
    const CharCell *c = v->payload.string ? v->payload.string->head : nullptr;
    for (uint32_t i = 0; c && i < v->payload.string->count; ++i, c = c->next) out.push_back(c->ch);
    return out;
}

// The first character of every key, in the order the root chain holds them.
inline std::string rootChain(const ArgNode *root) {
    std::string out;
    for (const ArgNode *n = root ? root->sibling : nullptr; n; n = n->sibling) out.push_back(n->ch);
    return out;
}

} // namespace dict
