// The relay's codec against published vectors: MD5 (RFC 1321's suite),
// HMAC-SHA1 (RFC 2202), CRC-32's check value, the STUN sample messages of
// RFC 5769 (short-term and long-term integrity, fingerprints, XOR'd IPv4 and
// IPv6 addresses, padding that is not zero) and HOST[:PORT] texts. Our own
// requests read back, and the rest of the parser, are the fuzz target's.
#include "net/base/hostport.h"
#include "net/outside/stun.h"

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
    md5Add(&m, s.data(), s.size() / 3); // in two pieces: a block ends inside one
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

std::string mapped(const StunMessage &m) {
    char text[64];
    hostportFormat(m.mapped.ipv6, m.mapped.ip, m.mapped.port, text, sizeof text);
    return text;
}

const std::string Tid = " 21 12 a4 42 b7 e7 a7 01 bc 34 d6 86 fa 87 df ae ";
const std::string Software = "80 22 00 0b 74 65 73 74 20 76 65 63 74 6f 72 20 ";

} // namespace

TEST(Stun, DigestsMatchTheirRfcVectors) {
    std::string eighty, k25;
    for (int i = 0; i < 8; ++i) eighty += "1234567890";
    for (int i = 1; i <= 25; ++i) k25 += static_cast<char>(i);
    const std::pair<std::string, const char *> md5s[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {eighty, "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto &v : md5s) EXPECT_EQ(md5Of(v.first), v.second) << v.first;
    const std::string aa(80, '\xaa'), big = "Test Using Larger Than Block-Size Key";
    const struct {
        std::string key, data;
        const char *mac;
    } hmacs[] = {
        {std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {"Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {aa.substr(0, 20), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {k25, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {std::string(20, '\x0c'), "Test With Truncation",
         "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {aa, big + " - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {aa, big + " and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"}};
    for (const auto &v : hmacs) EXPECT_EQ(hmacOf(v.key, v.data), v.mac) << v.data;
    EXPECT_EQ(crc32Add(crc32Add(0, "1234", 4), "56789", 5), 0xcbf43926u);
}

TEST(Stun, Rfc5769SampleMessagesParseAndVerify) {
    // 2.1 a request (padded with spaces), 2.2 and 2.3 responses with an
    // XOR-MAPPED-ADDRESS of each family; short-term keys are the password.
    std::vector<uint8_t> samples[] = {
        hex("00 01 00 58" + Tid + "80 22 00 10 53 54 55 4e 20 74 65 73 74 20 63 6c 69 65 6e 74 " +
            "00 24 00 04 6e 00 01 ff 80 29 00 08 93 2f f9 b1 51 26 3b 36 " +
            "00 06 00 09 65 76 74 6a 3a 68 36 76 59 20 20 20 00 08 00 14 9a ea a7 0c bf d8 cb " +
            "56 78 1e f2 b5 b2 d3 f2 49 c1 b5 71 a2 80 28 00 04 e5 7a 3b cf"),
        hex("01 01 00 3c" + Tid + Software + "00 20 00 08 00 01 a1 47 e1 12 a6 43 00 08 00 14 " +
            "2b 91 f5 99 fd 9e 90 c3 8c 74 89 f9 2a f9 ba 53 f0 6b e7 d7 80 28 00 04 c0 7d 4c 96"),
        hex("01 01 00 48" + Tid + Software + "00 20 00 14 00 02 a1 47 01 13 a9 fa a5 d3 f1 79 " +
            "bc 25 f4 b5 be d2 b9 d9 00 08 00 14 a3 82 95 4e 4b e6 7b f1 17 84 c9 7c 82 92 c2 " +
            "75 bf e3 ed 41 80 28 00 04 c8 fb 0b 4c")};
    StunMessage m;
    for (std::vector<uint8_t> &sample : samples) {
        ASSERT_TRUE(stunParse(sample.data(), sample.size(), &m));
        std::string signedPart(sample.begin(), sample.begin() + m.integrityAt);
        signedPart[3] = static_cast<char>(m.integrityAt + 24 - 20);
        EXPECT_EQ(hmacOf("VOkJxbRl1RmTxUk/WvJxBt", signedPart),
                  hexOf(sample.data() + m.integrityAt + 4, Sha1Bytes));
        sample[30] ^= 1; // the fingerprint no longer matches
        EXPECT_FALSE(stunParse(sample.data(), sample.size(), &m));
        sample[30] ^= 1;
    }
    ASSERT_TRUE(stunParse(samples[1].data(), samples[1].size(), &m) && m.cls == StunSuccess);
    EXPECT_EQ(mapped(m), "192.0.2.1:32853");
    ASSERT_TRUE(stunParse(samples[2].data(), samples[2].size(), &m));
    EXPECT_EQ(mapped(m), "[2001:db8:1234:5678:11:2233:4455:6677]:32853");

    // 2.4: long-term credentials (user and password after SASLprep).
    std::vector<uint8_t> longTerm = hex(
        "00 01 00 60 21 12 a4 42 78 ad 34 33 c6 ad 72 c0 29 da 41 2e 00 06 00 12 e3 83 9e e3 83 88 "
        "e3 83 aa e3 83 83 e3 82 af e3 82 b9 00 00 00 15 00 1c 66 2f 2f 34 39 39 6b 39 35 34 64 36 "
        "4f 4c 33 34 6f 4c 39 46 53 54 76 79 36 34 73 41 00 14 00 0b 65 78 61 6d 70 6c 65 2e 6f 72 "
        "67 00 00 08 00 14 f6 70 24 65 6d d6 4a 3e 02 b8 e0 71 2e 85 c9 a2 8c a8 96 66");
    ASSERT_TRUE(stunParse(longTerm.data(), longTerm.size(), &m) && m.realm && m.nonce);
    StunAuth a = {};
    a.userLength = 18;
    std::memcpy(a.user, longTerm.data() + 24, a.userLength);
    ASSERT_TRUE(stunAuthRealm(&a, m.realm, m.realmLength, m.nonce, m.nonceLength, "TheMatrIX", 9));
    EXPECT_TRUE(stunIntegrityOk(longTerm.data(), m, a.key));
    longTerm[50] ^= 1; // a byte of the nonce
    ASSERT_TRUE(stunParse(longTerm.data(), longTerm.size(), &m));
    EXPECT_FALSE(stunIntegrityOk(longTerm.data(), m, a.key));

    uint8_t out[64], tid[StunTidBytes] = {};
    EXPECT_EQ(stunRefresh(out, sizeof out, tid, 0, a), 0u); // does not fit
}

// Texts in and out (p2pConnect's addresses are the client test's): what
// rejects, and IPv6 in its short form.
TEST(Stun, HostAndPortTexts) {
    const char *bad[] = {"",       ":3478",  "host:", "host:0", "host:65536", "h:+80", "[::1",
                         "[::1]x", "[::1]:", "[]:80", "[host]", "ho st",      "a/b"};
    HostPort hp;
    for (const char *text : bad)
        EXPECT_FALSE(hostportParse(text, std::strlen(text), 1, &hp)) << text;
    ASSERT_TRUE(hostportParse("[fe80::1%eth0]:9", 16, 1, &hp));
    EXPECT_EQ(hp.host + std::string(":") + std::to_string(hp.port), "fe80::1%eth0:9");
    char text[64];
    const uint8_t zeros[16] = {}, v6[16] = {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    hostportFormat(true, zeros, 1, text, sizeof text);
    EXPECT_STREQ(text, "[::]:1");
    hostportFormat(true, v6, 3478, text, sizeof text); // the first of two zero runs is shortened
    EXPECT_STREQ(text, "[2001:db8::1:0:0:1]:3478");
    EXPECT_EQ(hostportFormat(false, v6, 3478, text, 8), 0u);
}
