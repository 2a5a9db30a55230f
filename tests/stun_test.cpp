// The relay's codec against published vectors: MD5 (RFC 1321's suite),
// HMAC-SHA1 (RFC 2202), CRC-32's check value, the STUN sample messages of
// RFC 5769 (short-term and long-term integrity, fingerprints, XOR'd IPv4 and
// IPv6 addresses, padding that is not zero), our own signed requests read
// back, and HOST[:PORT] texts. Everything else about the parser is the fuzz
// target's (tests/fuzz/stun.cpp).
#include "net/hostport.h"
#include "net/stun.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

using namespace ll;

namespace {

// Bytes written as hexadecimal pairs between blanks.
std::vector<uint8_t> hex(const std::string &text) {
    std::istringstream in(text);
    std::vector<uint8_t> out;
    std::string pair;
    while (in >> pair) out.push_back(static_cast<uint8_t>(std::stoi(pair, nullptr, 16)));
    return out;
}

std::string hexOf(const uint8_t *p, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) std::snprintf(two, sizeof two, "%02x", p[i]), s += two;
    return s;
}

std::string md5Of(const std::string &s) {
    Md5 m;
    uint8_t out[Md5Bytes];
    md5Start(&m);
    // In two pieces, so a block boundary falls inside a piece.
    md5Add(&m, s.data(), s.size() / 3);
    md5Add(&m, s.data() + s.size() / 3, s.size() - s.size() / 3);
    md5End(&m, out);
    return hexOf(out, sizeof out);
}

std::string hmacOf(const std::string &key, const std::string &data) {
    HmacSha1 h;
    uint8_t out[Sha1Bytes];
    hmacSha1Start(&h, reinterpret_cast<const uint8_t *>(key.data()), key.size());
    hmacSha1Add(&h, data.data(), data.size());
    hmacSha1End(&h, out);
    return hexOf(out, sizeof out);
}

const char Rfc5769Header[] = " 21 12 a4 42 b7 e7 a7 01 bc 34 d6 86 fa 87 df ae\n";
const char Rfc5769Software[] = "80 22 00 0b 74 65 73 74 20 76 65 63 74 6f 72 20\n";
const uint8_t ShortTermKey[] = "VOkJxbRl1RmTxUk/WvJxBt";

} // namespace

TEST(Stun, DigestsMatchTheirRfcVectors) {
    EXPECT_EQ(md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    std::string eighty;
    for (int i = 0; i < 8; ++i) eighty += "1234567890";
    EXPECT_EQ(md5Of(eighty), "57edf4a22be3c955ac49da2e2107b67a");

    std::string k25;
    for (int i = 1; i <= 25; ++i) k25 += static_cast<char>(i);
    const std::string aa20(20, '\xaa'), aa80(80, '\xaa');
    EXPECT_EQ(hmacOf(std::string(20, '\x0b'), "Hi There"),
              "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(hmacOf("Jefe", "what do ya want for nothing?"),
              "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(hmacOf(aa20, std::string(50, '\xdd')), "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    EXPECT_EQ(hmacOf(k25, std::string(50, '\xcd')), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
    EXPECT_EQ(hmacOf(std::string(20, '\x0c'), "Test With Truncation"),
              "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    EXPECT_EQ(hmacOf(aa80, "Test Using Larger Than Block-Size Key - Hash Key First"),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
    EXPECT_EQ(hmacOf(aa80, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size "
                           "Data"),
              "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
    EXPECT_EQ(crc32Add(crc32Add(0, "1234", 4), "56789", 5), 0xcbf43926u);
}

TEST(Stun, Rfc5769SampleMessagesParseAndVerify) {
    // 2.1: a request with short-term credentials, padded with spaces.
    std::vector<uint8_t> request =
        hex((std::string("00 01 00 58") + Rfc5769Header +
             "80 22 00 10 53 54 55 4e 20 74 65 73 74 20 63 6c 69 65 6e 74\n"
             "00 24 00 04 6e 00 01 ff 80 29 00 08 93 2f f9 b1 51 26 3b 36\n"
             "00 06 00 09 65 76 74 6a 3a 68 36 76 59 20 20 20\n"
             "00 08 00 14 9a ea a7 0c bf d8 cb 56 78 1e f2 b5 b2 d3 f2 49 c1 b5 71 a2\n"
             "80 28 00 04 e5 7a 3b cf"));
    // 2.2 and 2.3: responses with an XOR-MAPPED-ADDRESS of each family.
    std::vector<uint8_t> v4 =
        hex((std::string("01 01 00 3c") + Rfc5769Header + Rfc5769Software +
             "00 20 00 08 00 01 a1 47 e1 12 a6 43\n"
             "00 08 00 14 2b 91 f5 99 fd 9e 90 c3 8c 74 89 f9 2a f9 ba 53 f0 6b e7 d7\n"
             "80 28 00 04 c0 7d 4c 96"));
    std::vector<uint8_t> v6 =
        hex((std::string("01 01 00 48") + Rfc5769Header + Rfc5769Software +
             "00 20 00 14 00 02 a1 47 01 13 a9 fa a5 d3 f1 79 bc 25 f4 b5 be d2 b9 d9\n"
             "00 08 00 14 a3 82 95 4e 4b e6 7b f1 17 84 c9 7c 82 92 c2 75 bf e3 ed 41\n"
             "80 28 00 04 c8 fb 0b 4c"));
    StunMessage m;
    for (auto *sample : {&request, &v4, &v6}) {
        ASSERT_TRUE(stunParse(sample->data(), sample->size(), &m));
        // The short-term samples are signed with the password itself: check
        // their HMAC directly.
        HmacSha1 h;
        uint8_t mac[Sha1Bytes];
        hmacSha1Start(&h, ShortTermKey, sizeof ShortTermKey - 1);
        std::vector<uint8_t> signedPart(sample->begin(), sample->begin() + m.integrityAt);
        signedPart[3] = static_cast<uint8_t>(m.integrityAt + 24 - 20);
        hmacSha1Add(&h, signedPart.data(), signedPart.size());
        hmacSha1End(&h, mac);
        EXPECT_EQ(std::memcmp(mac, sample->data() + m.integrityAt + 4, Sha1Bytes), 0);
        std::vector<uint8_t> flipped = *sample;
        flipped[30] ^= 1; // the fingerprint no longer matches
        EXPECT_FALSE(stunParse(flipped.data(), flipped.size(), &m));
    }
    ASSERT_TRUE(stunParse(v4.data(), v4.size(), &m));
    char text[64];
    ASSERT_TRUE(m.hasMapped && m.cls == StunSuccess);
    hostportFormat(m.mapped.ipv6, m.mapped.ip, m.mapped.port, text, sizeof text);
    EXPECT_STREQ(text, "192.0.2.1:32853");
    ASSERT_TRUE(stunParse(v6.data(), v6.size(), &m) && m.hasMapped);
    hostportFormat(m.mapped.ipv6, m.mapped.ip, m.mapped.port, text, sizeof text);
    EXPECT_STREQ(text, "[2001:db8:1234:5678:11:2233:4455:6677]:32853");

    // 2.4: long-term credentials, the key from a user and password that
    // need no further preparation once written in UTF-8 (SASLprep done).
    std::vector<uint8_t> longTerm =
        hex("00 01 00 60 21 12 a4 42 78 ad 34 33 c6 ad 72 c0 29 da 41 2e\n"
            "00 06 00 12 e3 83 9e e3 83 88 e3 83 aa e3 83 83 e3 82 af e3 82 b9 00 00\n"
            "00 15 00 1c 66 2f 2f 34 39 39 6b 39 35 34 64 36 4f 4c 33 34 6f 4c 39 46 53 54 76 79 "
            "36 34 73 41\n"
            "00 14 00 0b 65 78 61 6d 70 6c 65 2e 6f 72 67 00\n"
            "00 08 00 14 f6 70 24 65 6d d6 4a 3e 02 b8 e0 71 2e 85 c9 a2 8c a8 96 66");
    ASSERT_TRUE(stunParse(longTerm.data(), longTerm.size(), &m));
    StunAuth a = {};
    const char user[] = "\xe3\x83\x9e\xe3\x83\x88\xe3\x83\xaa\xe3\x83\x83\xe3\x82\xaf\xe3\x82\xb9";
    a.userLength = sizeof user - 1;
    std::memcpy(a.user, user, a.userLength);
    ASSERT_TRUE(m.realm && m.nonce);
    ASSERT_TRUE(stunAuthRealm(&a, m.realm, m.realmLength, m.nonce, m.nonceLength, "TheMatrIX", 9));
    EXPECT_TRUE(stunIntegrityOk(longTerm.data(), m, a.key));
    longTerm[40] ^= 1; // a byte of the nonce
    ASSERT_TRUE(stunParse(longTerm.data(), longTerm.size(), &m));
    EXPECT_FALSE(stunIntegrityOk(longTerm.data(), m, a.key));

    // Our own requests read back: signed, fingerprinted, delimited on a
    // stream, and refused once a byte changes.
    uint8_t tid[StunTidBytes] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, out[2048];
    size_t n = stunConnectionBind(out, sizeof out, tid, 0xbfae8a01, a);
    size_t whole = 0;
    ASSERT_EQ(stunFrame(out, n + 7, sizeof out, &whole), StunWhole);
    EXPECT_EQ(whole, n);
    EXPECT_EQ(stunFrame(out, n - 1, sizeof out, &whole), StunPartial);
    EXPECT_EQ(stunFrame(out, n, n - 4, &whole), StunNotStun);
    ASSERT_TRUE(stunParse(out, n, &m));
    EXPECT_TRUE(m.method == StunConnectionBind && m.cls == StunRequest && m.hasConnectionId &&
                m.connectionId == 0xbfae8a01 && stunIntegrityOk(out, m, a.key));
    EXPECT_EQ(stunRefresh(out, 100, tid, 0, a), 0u); // does not fit
}

TEST(Stun, HostAndPortTexts) {
    struct Case {
        const char *text, *host;
        int port; // 0: rejected
    } cases[] = {{"relay.example", "relay.example", 3478},
                 {"relay.example:443", "relay.example", 443},
                 {"127.0.0.1:65535", "127.0.0.1", 65535},
                 {"[::1]", "::1", 3478},
                 {"[::1]:5349", "::1", 5349},
                 {"::1", "::1", 3478},
                 {"fe80::1%eth0", "fe80::1%eth0", 3478},
                 {"[fe80::1%eth0]:9", "fe80::1%eth0", 9},
                 {"", nullptr, 0},
                 {":3478", nullptr, 0},
                 {"host:", nullptr, 0},
                 {"host:0", nullptr, 0},
                 {"host:65536", nullptr, 0},
                 {"host:+80", nullptr, 0},
                 {"host:123456", nullptr, 0},
                 {"[::1", nullptr, 0},
                 {"[::1]x", nullptr, 0},
                 {"[::1]:", nullptr, 0},
                 {"[]:80", nullptr, 0},
                 {"[host]", nullptr, 0},
                 {"ho st", nullptr, 0},
                 {"host/path", nullptr, 0},
                 {"a[b]", nullptr, 0}};
    for (const Case &c : cases) {
        HostPort hp;
        bool ok = hostportParse(c.text, std::strlen(c.text), 3478, &hp);
        EXPECT_EQ(ok, c.port != 0) << c.text;
        if (ok && c.port != 0) {
            EXPECT_STREQ(hp.host, c.host) << c.text;
            EXPECT_EQ(hp.port, c.port) << c.text;
        }
    }
    std::string tooLong(HostTextSize, 'a');
    HostPort hp;
    EXPECT_FALSE(hostportParse(tooLong.c_str(), tooLong.size(), 1, &hp));
    char text[64];
    const uint8_t zeros[16] = {}, v6[16] = {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    const uint8_t loop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    hostportFormat(true, zeros, 1, text, sizeof text);
    EXPECT_STREQ(text, "[::]:1");
    hostportFormat(true, loop, 80, text, sizeof text);
    EXPECT_STREQ(text, "[::1]:80");
    // The first of two equal zero runs is the one shortened.
    hostportFormat(true, v6, 3478, text, sizeof text);
    EXPECT_STREQ(text, "[2001:db8::1:0:0:1]:3478");
    EXPECT_EQ(hostportFormat(false, v6, 3478, text, 8), 0u);
}
