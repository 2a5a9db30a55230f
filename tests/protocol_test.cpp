#include <gtest/gtest.h>
#include "net/base/inbox.h"
#include "net/base/protocol.h"
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
using namespace ll;
using V = std::vector<std::string>;
static const std::string Z(1, '\0');

struct Reader { // feeds chunks, collecting the frames each completes
    FrameReader r;
    const uint8_t *at = nullptr; // where the last frame was handed out
    FrameStatus st = FrameNone;
    explicit Reader(uint32_t limit) { frameReaderInit(&r, limit); }
    ~Reader() { frameReaderFree(&r); }
    V feed(const std::string &chunk) {
        const uint8_t *in = reinterpret_cast<const uint8_t *>(chunk.data());
        size_t n = chunk.size(), len = 0;
        V out;
        while ((st = frameReaderNext(&r, &in, &n, &at, &len)) == FrameComplete)
            out.emplace_back((const char *)at, len);
        return out;
    }
};

TEST(Protocol, FrameWritersProduceExactBytes) {
    uint8_t b[6];
    auto s = [&](size_t n) { return std::string((char *)b, n); };
    writeDataFrame(b, 7, 255, "hi", 2);
    EXPECT_EQ(s(dataFrameSize(2)), "\x07\xff"
                                   "hi" +
                                       Z);
    writeHostFrame(b, 2, 7, 1, "hi", 2);
    EXPECT_EQ(s(hostFrameSize(2)), "\x02\x07\x01"
                                   "hi" +
                                       Z);
    writeNotice(b, 3, MsgJoin, "", 0);
    EXPECT_EQ(s(hostFrameSize(0)), "\x03~\xff" + Z);
}

TEST(Protocol, ReaderSplitsChunksIntoFrames) {
    Reader r(100);
    std::string chunk = "ab" + Z + "cd" + Z;
    EXPECT_EQ(r.feed(chunk), (V{"ab" + Z, "cd" + Z}));
    EXPECT_EQ(r.at, (const uint8_t *)chunk.data() + 3); // handed out in place
    EXPECT_EQ(r.feed("ab"), V{});
    EXPECT_EQ(r.r.count, 2u);
    EXPECT_EQ(r.feed("c" + Z + "d"), V{"abc" + Z});
    EXPECT_EQ(r.at, r.r.buffer);               // from its buffer
    EXPECT_EQ(r.feed(Z + Z), (V{"d" + Z, Z})); // a lone 0 is a one-byte frame
}

TEST(Protocol, ReaderLimitsFrameLength) { // limit 4: 4 non-zero bytes fit, 5 do not
    Reader a(4), b(4), c(4), d(4);
    EXPECT_EQ(a.feed("abcd" + Z), V{"abcd" + Z});
    b.feed("ab");
    b.feed("cd");
    EXPECT_EQ(b.feed(Z), V{"abcd" + Z});
    c.feed("abcde");
    EXPECT_EQ(c.st, FrameTooLong);
    d.feed("abc");
    EXPECT_EQ(d.st, FrameNone);
    d.feed("de");
    EXPECT_EQ(d.st, FrameTooLong);
    EXPECT_EQ(a.feed("abcde" + Z), V{});
    EXPECT_EQ(a.st, FrameTooLong);
}

TEST(Inbox, FifoWithTailAndEntriesSizedToText) {
    Inbox box = {};
    std::string big(60000, 'x');
    inboxPushText(&box, 2, 7, "one", 3);
    inboxPushText(&box, 0, MsgError, "", 0);
    inboxPushText(&box, 200, 9, big.data(), big.size());
    EXPECT_TRUE(box.count == 3u && box.tail->sender == 200 && box.tail->next == nullptr);
    for (const std::string &w : {std::string("one"), std::string(), big}) {
        InboxEntry *e = inboxPop(&box);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(std::string(e->text), w);
        EXPECT_EQ(e->length, w.size());
        std::free(e);
    }
    EXPECT_TRUE(inboxPop(&box) == nullptr && !box.head && !box.tail && box.count == 0);
}

TEST(Protocol, ReaderAgreesWithAPlainSplitUnderRandomChunking) {
    std::mt19937 rng(7);
    for (int round = 0; round < 100; ++round) {
        std::string stream, open;
        V expected; // frames of 0 to 40 bytes, then a partial one
        while (stream.size() < 4000) {
            std::string f(rng() % 41, '\0');
            for (char &c : f) c = static_cast<char>(1 + rng() % 255);
            expected.push_back(f + Z);
            stream += f + Z;
        }
        open.assign(rng() % 41, 'o');
        stream += open;
        Reader r(40);
        V got;
        for (size_t at = 0; at < stream.size();) {
            size_t n = std::min<size_t>(1 + rng() % 120, stream.size() - at);
            for (const std::string &f : r.feed(stream.substr(at, n))) got.push_back(f);
            ASSERT_NE(r.st, FrameTooLong);
            at += n;
        }
        ASSERT_EQ(got, expected);
        EXPECT_EQ(r.r.count, open.size());
    }
}
