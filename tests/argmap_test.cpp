#include <gtest/gtest.h>
#include "hostapi/argmap.h"
#include "lobbylink/hostmap.h"
#include <cstdlib>
#include <string>

namespace {
struct Dict { // a host's fresh dictionary, freed with what the library added
    ArgNode *r = llMapNew();
    ~Dict() { llMapFree(r); }
    std::string chain() { char b[64]; llMapRootChain(r, b, sizeof b); return b; }
    std::string str(const char *k) {
        char *c = ll::mapGetString(r, k);
        std::string s = c ? c : "<none>";
        std::free(c);
        return s;
    }
};
ArgNode *rootNode(ArgNode *map, char ch) {
    for (ArgNode *n = map->sibling; n; n = n->sibling) if (n->ch == ch) return n;
    return nullptr;
}
} // namespace

TEST(ArgMap, RootChainKeepsFirstWriteOrderAndPrefixNodesCarryNoValue) {
    Dict d;
    ll::writeInt(d.r, "result", 1); ll::writeInt(d.r, "usr", 2);
    ll::writeInt(d.r, "id", 3); ll::writeString(d.r, "msg", "hi");
    ll::writeInt(d.r, "result", 4); // a rewrite adds no node
    EXPECT_EQ(d.chain(), "ruim");
    ArgNode *i = rootNode(d.r, 'i');
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->value, nullptr);
    ASSERT_NE(i->child, nullptr);
    EXPECT_EQ(i->child->ch, 'd');
    EXPECT_EQ(i->child->value, ll::mapFind(d.r, "id"));
    EXPECT_EQ(ll::mapGetInt(d.r, "result"), 4);
    EXPECT_EQ(d.str("msg"), "hi");
}

TEST(ArgMap, ShorterKeyReusesNodesOfLongerKey) {
    Dict d;
    ll::writeString(d.r, "result", "ok");
    ll::writeInt(d.r, "res", 7);
    EXPECT_EQ(d.chain(), "r");
    ArgNode *s = d.r->sibling->child->child; // r -> e -> s
    ASSERT_EQ(s->ch, 's');
    EXPECT_EQ(s->value, ll::mapFind(d.r, "res"));
    EXPECT_EQ(s->child->ch, 'u');
    EXPECT_EQ(ll::mapGetInt(d.r, "res"), 7);
    EXPECT_EQ(d.str("result"), "ok");
}

TEST(ArgMap, ReplacingChangesKindInTheSameRecord) {
    Dict d; // LeakSanitizer (asan build) checks that the replaced list is freed
    ll::writeString(d.r, "msg", "hello");
    ArgValue *v = ll::mapFind(d.r, "msg");
    ll::writeInt(d.r, "msg", 5);
    EXPECT_EQ(ll::mapFind(d.r, "msg"), v);
    EXPECT_EQ(v->kind, ValueInteger);
    EXPECT_EQ(ll::mapGetInt(d.r, "msg"), 5);
    ll::writeString(d.r, "msg", "x");
    EXPECT_EQ(ll::mapFind(d.r, "msg"), v);
    EXPECT_EQ(d.str("msg"), "x");
}

TEST(ArgMap, OtherKindsEmptyStringsCaseAndNullMaps) {
    Dict d;
    ArgValue odd; odd.kind = 2; odd.payload.integer = 42;
    EXPECT_EQ(ll::mapSet("k", d.r, odd), 1);
    EXPECT_EQ(ll::mapGetInt(d.r, "k"), 0);
    EXPECT_EQ(ll::mapGetString(d.r, "k"), nullptr);
    ll::writeString(d.r, "e", "");
    CharList *l = ll::mapFind(d.r, "e")->payload.string;
    EXPECT_TRUE(l->head == nullptr && l->tail == nullptr && l->count == 0u);
    EXPECT_EQ(d.str("e"), "");
    ll::writeInt(d.r, "id", 3);
    EXPECT_EQ(ll::mapFind(d.r, "ID"), nullptr);
    EXPECT_EQ(ll::mapFind(d.r, "Id"), nullptr);
    EXPECT_EQ(ll::mapGetInt(nullptr, "id"), 0);
    EXPECT_EQ(ll::mapGetString(nullptr, "id"), nullptr);
    ll::writeInt(nullptr, "id", 1); // skipped, no crash
    ll::writeString(nullptr, "id", "x");
}
