#include <gtest/gtest.h>
#include "net/inbox.h"
#include "net/protocol.h"
#include <cstdlib>
#include <string>
#include <vector>

namespace {
std::string str(const uint8_t *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }
struct Reader {
    ll::FrameReader r;
    const uint8_t *last = nullptr; // where the last complete frame was handed out
    ll::FrameStatus status = ll::FrameNone;
    explicit Reader(uint32_t limit) { ll::frameReaderInit(&r, limit); }
    ~Reader() { ll::frameReaderFree(&r); }
    std::vector<std::string> feed(const std::string &chunk) { // frames completed by chunk
        const uint8_t *in = reinterpret_cast<const uint8_t *>(chunk.data());
        size_t n = chunk.size(), len = 0;
        std::vector<std::string> out;
        while ((status = ll::frameReaderNext(&r, &in, &n, &last, &len)) == ll::FrameComplete)
            out.push_back(str(last, len));
        return out;
    }
};
const std::string Z(1, '\0');
using V = std::vector<std::string>;
} // namespace

TEST(Protocol, FrameWritersProduceExactBytes) {
    uint8_t b[8];
    ASSERT_EQ(ll::dataFrameSize(2), 5u);
    ll::writeDataFrame(b, 7, 255, "hi", 2);
    EXPECT_EQ(str(b, 5), "\x07\xff" "hi" + Z);
    ASSERT_EQ(ll::hostFrameSize(2), 6u);
    ll::writeHostFrame(b, 2, 7, 1, "hi", 2);
    EXPECT_EQ(str(b, 6), "\x02\x07\x01hi" + Z);
    ll::writeNotice(b, 3, MsgJoin, "", 0);
    EXPECT_EQ(str(b, 4), "\x03~\xff" + Z);
}

TEST(Protocol, ReaderSplitsChunksIntoFrames) {
    Reader r(100);
    std::string chunk = "ab" + Z + "cd" + Z;
    EXPECT_EQ(r.feed(chunk), (V{"ab" + Z, "cd" + Z}));
    EXPECT_EQ(r.last, reinterpret_cast<const uint8_t *>(chunk.data()) + 3); // in place
    EXPECT_EQ(r.feed("ab"), V{});
    EXPECT_EQ(r.r.count, 2u);
    EXPECT_EQ(r.feed("c" + Z + "d"), V{"abc" + Z});
    EXPECT_EQ(r.last, r.r.buffer);
    EXPECT_EQ(r.feed(Z), V{"d" + Z});
    EXPECT_EQ(r.feed(Z), V{Z}); // a lone 0 is a one-byte frame
    EXPECT_EQ(r.status, ll::FrameNone);
}

TEST(Protocol, ReaderLimitsFrameLength) {
    Reader a(4), b(4), c(4), d(4), e(4);
    EXPECT_EQ(a.feed("abcd" + Z), V{"abcd" + Z});
    EXPECT_EQ(b.feed("ab"), V{});
    EXPECT_EQ(b.feed("cd"), V{});
    EXPECT_EQ(b.feed(Z), V{"abcd" + Z});
    c.feed("abcde");
    EXPECT_EQ(c.status, ll::FrameTooLong);
    d.feed("abc");
    EXPECT_EQ(d.status, ll::FrameNone);
    d.feed("de");
    EXPECT_EQ(d.status, ll::FrameTooLong);
    EXPECT_EQ(e.feed("abcde" + Z), V{});
    EXPECT_EQ(e.status, ll::FrameTooLong);
}

TEST(Inbox, FifoWithTailAndEntriesSizedToText) {
    ll::Inbox box = {nullptr, nullptr, 0};
    std::string big(60000, 'x');
    ll::inboxPushText(&box, 2, 7, "one", 3);
    ll::inboxPushText(&box, 0, MsgError, "", 0);
    ll::inboxPushText(&box, 200, 9, big.data(), big.size());
    EXPECT_EQ(box.count, 3u);
    EXPECT_EQ(box.tail->length, 60000u);
    const char *want[] = {"one", "", big.c_str()};
    for (const char *w : want) {
        ll::InboxEntry *e = ll::inboxPop(&box);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(std::string(e->text), w);
        EXPECT_EQ(e->length, std::string(w).size());
        std::free(e);
    }
    EXPECT_TRUE(ll::inboxPop(&box) == nullptr && !box.head && !box.tail && box.count == 0);
}
