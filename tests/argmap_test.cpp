#include <gtest/gtest.h>
#include "hostapi/argmap.h"
#include "lobbylink/hostmap.h"
#include "support/dict.h"
#include <cstdlib>
#include <malloc.h>
#include <string>
using namespace ll;

struct ArgMap : ::testing::Test { // a host's fresh dictionary, freed with what the library added
    ArgNode *d = dict::make();
    ~ArgMap() override { dict::destroy(d); }
    std::string chain() { return dict::rootChain(d); }
    std::string str(const char *k) {
        char *c = mapGetString(d, k);
        std::string s = c ? c : "<none>";
        std::free(c);
        return s;
    }
};

TEST_F(ArgMap, RootChainKeepsFirstWriteOrderAndReusesNodes) {
    writeString(d, "result", "ok");
    writeInt(d, "usr", 2);
    writeInt(d, "id", 3);
    writeString(d, "msg", "hi");
    writeInt(d, "res", 7);
    writeString(d, "usr", "u"); // no new root node
    EXPECT_EQ(chain(), "ruim");
    ArgNode *i = d->sibling->sibling->sibling, *s = d->sibling->child->child; // 'i'; r -> e -> s
    EXPECT_TRUE(i->ch == 'i' && i->value == nullptr && i->child->ch == 'd');
    EXPECT_EQ(i->child->value, mapFind(d, "id"));
    EXPECT_TRUE(s->ch == 's' && s->value == mapFind(d, "res") && s->child->ch == 'u');
    EXPECT_EQ(mapGetInt(d, "res"), 7);
    EXPECT_EQ(str("result"), "ok");
    EXPECT_EQ(str("usr"), "u");
}

// Bytes in use on the C runtime's heap (glibc's count; the sanitizer builds
// allocate elsewhere, so it stays still there, and their leak check stands in).
long heapInUse() { return static_cast<long>(mallinfo2().uordblks); }

// A replaced String frees its list: many replacements leave the heap as it was.
TEST_F(ArgMap, ReplacingChangesKindInTheSameRecord) {
    writeString(d, "msg", "hello");
    ArgValue *v = mapFind(d, "msg");
    writeInt(d, "msg", 5);
    EXPECT_TRUE(mapFind(d, "msg") == v && v->kind == ValueInteger && mapGetInt(d, "msg") == 5);
    writeString(d, "msg", "x");
    EXPECT_TRUE(mapFind(d, "msg") == v && str("msg") == "x");
    long before = heapInUse();
    for (int k = 0; k < 10000; ++k) {
        writeString(d, "msg", "a result text");
        writeString(d, "msg", "another one");
        writeInt(d, "msg", k);
    }
    EXPECT_LT(heapInUse() - before, 16384) << "bytes kept by 20000 replacements";
}

TEST_F(ArgMap, OtherKindsEmptyStringsCaseAndNullMaps) {
    ArgValue odd;
    odd.kind = 2;
    odd.payload.integer = 42;
    mapSet("k", d, odd);
    EXPECT_TRUE(mapFind(d, "k") && mapFind(d, "k")->kind == 2 &&
                mapFind(d, "k")->payload.integer == 42);
    EXPECT_TRUE(mapGetInt(d, "k") == 0 && mapGetString(d, "k") == nullptr);
    writeString(d, "e", "");
    CharList *l = mapFind(d, "e")->payload.string;
    EXPECT_TRUE(l->head == nullptr && l->tail == nullptr && l->count == 0u && str("e").empty());
    writeInt(d, "id", 3);
    EXPECT_EQ(mapGetInt(d, "id"), 3);
    EXPECT_TRUE(!mapFind(d, "ID") && !mapFind(d, "Id") && !mapFind(d, "iD"));
    EXPECT_TRUE(mapGetInt(nullptr, "id") == 0 && mapGetString(nullptr, "id") == nullptr);
    writeInt(nullptr, "id", 1);
    writeString(nullptr, "id", "x"); // both skipped
}

// A String replacing a String reuses the list in place: whatever the lengths,
// the text reads back exactly and count, head, tail and the next chain agree.
// (The asan build's leak check sees that surplus cells are freed.)
TEST_F(ArgMap, StringReplacedInPlaceStaysConsistent) {
    auto consistent = [&](const char *text) {
        CharList *l = mapFind(d, "msg")->payload.string;
        uint32_t n = 0;
        const CharCell *last = nullptr;
        for (const CharCell *c = l->head; c && n <= l->count; c = c->next, ++n) last = c;
        return n == l->count && last == l->tail && (!last || !last->next) &&
               (l->count != 0 || !l->head) && str("msg") == text;
    };
    std::string longText(300, 'x');
    longText[0] = 'L';
    longText[299] = 'Z';
    const char *texts[] = {"hello", longText.c_str(), "hi", "hi", "", "", "abc", "abcdef", "a", ""};
    writeString(d, "msg", "start");
    CharList *list = mapFind(d, "msg")->payload.string;
    for (const char *t : texts) {
        writeString(d, "msg", t);
        EXPECT_TRUE(consistent(t)) << "after \"" << t << "\"";
    }
    EXPECT_EQ(mapFind(d, "msg")->payload.string, list); // one list throughout
    CharCell *head = (writeString(d, "msg", "abc"), list->head);
    writeString(d, "msg", "abcdefgh"); // longer: the first cells stay, new ones follow
    EXPECT_TRUE(list->head == head && consistent("abcdefgh"));
    writeInt(d, "msg", 4); // and back and forth between kinds
    writeString(d, "msg", "after");
    EXPECT_TRUE(consistent("after"));
}

// The helpers of hostmap.h twice: the static library's (hostmap.cpp) and the
// C file's that a Windows host compiles (hostmap.c, its names prefixed c_).
extern "C" {
ArgNode *c_llMapNew(void);
void c_llMapFree(ArgNode *), c_llMapClear(ArgNode *);
void c_llMapSetInt(ArgNode *, const char *, int32_t);
void c_llMapSetString(ArgNode *, const char *, const char *);
int32_t c_llMapKind(ArgNode *, const char *), c_llMapRemove(ArgNode *, const char *);
char *c_llMapGetString(ArgNode *, const char *);
size_t c_llMapRootChain(const ArgNode *, char *, size_t);
}
struct Helpers {
    const char *name;
    decltype(&llMapNew) make;
    decltype(&llMapFree) free, clear;
    decltype(&llMapSetInt) setInt;
    decltype(&llMapSetString) setString;
    decltype(&llMapKind) kind, remove;
    decltype(&llMapGetString) getString;
    decltype(&llMapRootChain) rootChain;
};
const Helpers Library{"library",      llMapNew,  llMapFree,   llMapClear,     llMapSetInt,
                      llMapSetString, llMapKind, llMapRemove, llMapGetString, llMapRootChain};
const Helpers CFile{"c_file",         c_llMapNew,       c_llMapFree, c_llMapClear,
                    c_llMapSetInt,    c_llMapSetString, c_llMapKind, c_llMapRemove,
                    c_llMapGetString, c_llMapRootChain};
void PrintTo(const Helpers &h, std::ostream *os) { *os << h.name; }

struct HostHelpers : ::testing::TestWithParam<Helpers> {
    const Helpers &h = GetParam();
    std::string chain(ArgNode *m) {
        char c[64];
        h.rootChain(m, c, sizeof c);
        return c;
    }
    std::string str(ArgNode *m, const char *k) {
        char *c = h.getString(m, k);
        std::string s = c ? c : "<none>";
        std::free(c);
        return s;
    }
    bool rootAlone(ArgNode *m) { return !m->sibling && !m->child && !m->value && m->ch == 0; }
};

// A reused dictionary loses what an earlier call wrote: removing a key frees
// its value and the nodes that lead only to it, whoever wrote them, and
// leaves every other key whole; clearing empties it. Both leave no memory behind.
TEST_P(HostHelpers, RemoveAndClearLeaveOtherKeysWhole) {
    ArgNode *m = h.make();
    writeString(m, "error", "couldn't connect");
    writeInt(m, "result", 0); // a failed p2pConnect's
    h.setInt(m, "res", 5);
    h.setString(m, "id", "x");
    h.setInt(m, "i", 1);
    EXPECT_EQ(chain(m), "eri");
    EXPECT_TRUE(h.remove(m, "error") == 1 && h.remove(m, "error") == 0 && h.kind(m, "error") == 0);
    EXPECT_TRUE(h.remove(m, "e") == 0 && h.remove(m, "resu") == 0 && h.remove(m, "") == 0 &&
                h.remove(nullptr, "id") == 0 && chain(m) == "ri");
    EXPECT_EQ(h.remove(m, "result"), 1); // "res" shares its first nodes
    EXPECT_TRUE(h.kind(m, "result") == 0 && mapGetInt(m, "res") == 5 && chain(m) == "ri");
    EXPECT_EQ(h.remove(m, "i"), 1); // its node stays, leading to "id"
    EXPECT_TRUE(h.kind(m, "i") == 0 && str(m, "id") == "x" && chain(m) == "ri");
    EXPECT_TRUE(h.remove(m, "res") == 1 && h.remove(m, "id") == 1 && rootAlone(m));
    h.setInt(m, "b", 1);
    writeString(m, "a", "2");
    h.setInt(m, "ab", 3);
    EXPECT_EQ(chain(m), "ba");
    h.clear(m);
    EXPECT_TRUE(rootAlone(m) && h.kind(m, "a") == 0 && h.kind(m, "ab") == 0);
    h.setString(m, "msg", "again");
    EXPECT_EQ(str(m, "msg"), "again");
    h.clear(nullptr);
    long before = heapInUse();
    for (int k = 0; k < 10000; ++k) {
        writeString(m, "error", "a longer error text");
        h.setInt(m, "e", k);
        h.remove(m, "error");
        if (k % 2) h.clear(m);
    }
    EXPECT_LT(heapInUse() - before, 16384) << "bytes kept by 10000 removals";
    h.free(m);
}
INSTANTIATE_TEST_SUITE_P(Both, HostHelpers, ::testing::Values(Library, CFile),
                         [](const ::testing::TestParamInfo<Helpers> &i) { return i.param.name; });
