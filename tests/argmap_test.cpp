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

// A reused dictionary loses what an earlier call wrote: removing a key frees
// its value and the nodes that lead only to it, whoever wrote them, and
// leaves every other key whole; clearing empties it. Both leave no memory
// behind. (ll_hostmap_c_tests runs this on the C file's helpers.)
TEST_F(ArgMap, HelpersRemoveAndClearLeaveOtherKeysWhole) {
    writeString(d, "error", "couldn't connect");
    writeInt(d, "result", 0); // what a failed p2pConnect leaves
    llMapSetInt(d, "res", 5);
    llMapSetString(d, "id", "x");
    llMapSetInt(d, "i", 1);
    auto rootAlone = [&] { return !d->sibling && !d->child && !d->value && d->ch == 0; };
    EXPECT_EQ(chain(), "eri");
    EXPECT_TRUE(llMapRemove(d, "error") == 1 && llMapRemove(d, "error") == 0 &&
                !mapFind(d, "error"));
    EXPECT_TRUE(llMapRemove(d, "e") == 0 && llMapRemove(d, "resu") == 0 &&
                llMapRemove(d, "") == 0 && llMapRemove(nullptr, "id") == 0 && chain() == "ri");
    EXPECT_EQ(llMapRemove(d, "result"), 1); // "res" shares its first nodes
    EXPECT_TRUE(!mapFind(d, "result") && mapGetInt(d, "res") == 5 && chain() == "ri");
    EXPECT_EQ(llMapRemove(d, "i"), 1); // its node stays, leading to "id"
    EXPECT_TRUE(!mapFind(d, "i") && str("id") == "x" && chain() == "ri");
    EXPECT_TRUE(llMapRemove(d, "res") == 1 && llMapRemove(d, "id") == 1 && rootAlone());
    llMapSetInt(d, "b", 1);
    writeString(d, "a", "2");
    llMapSetInt(d, "ab", 3);
    EXPECT_EQ(chain(), "ba");
    llMapClear(d);
    EXPECT_TRUE(rootAlone() && !mapFind(d, "a") && !mapFind(d, "ab"));
    llMapSetString(d, "msg", "again");
    EXPECT_EQ(str("msg"), "again");
    llMapClear(nullptr);
    long before = heapInUse();
    for (int k = 0; k < 10000; ++k) {
        writeString(d, "error", "a longer error text");
        llMapSetInt(d, "e", k);
        llMapRemove(d, "error");
        if (k % 2) llMapClear(d);
    }
    EXPECT_LT(heapInUse() - before, 16384) << "bytes kept by 10000 removals";
}
