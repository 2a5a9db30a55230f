// The private lobby's handshake and records against the published Noise test
// vectors (public domain) for Noise_NNpsk0_25519_ChaChaPoly_SHA256, and the
// ways a record or a handshake must fail.
#include <gtest/gtest.h>
#include "net/base/clock.h"
#include "net/base/limits.h"
#include "net/secure/noise.h"
#include "net/secure/handshake.h"
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
using namespace ll;
using Bytes = std::vector<uint8_t>;

static Bytes hex(const char *text) {
    Bytes out;
    for (const char *p = text; p[0] && p[1]; p += 2)
        out.push_back((uint8_t)std::stoi(std::string(p, 2), nullptr, 16));
    return out;
}
static std::string toHex(const uint8_t *data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) out += {digits[data[i] >> 4], digits[data[i] & 15]};
    return out;
}
static std::string toHex(const Bytes &b) { return toHex(b.data(), b.size()); }

// The vector: prologue, psk, both ephemeral keys, the handshake hash, then
// each message's payload and bytes on the wire; the first two are the
// handshake, the rest alternate initiator and responder.
namespace vector {
const char Prologue[] = "4a6f686e2047616c74";
const char Psk[] = "54686973206973206d7920417573747269616e20706572737065637469766521";
const char InitEphemeral[] = "893e28b9dc6ca8d611ab664754b8ceb7bac5117349a4439a6b0569da977c464a";
const char RespEphemeral[] = "bbdb4cdbd309f1a1f2e1456967fe288cadd6f712d65dc7b7793d5e63da6b375b";
const char HandshakeHash[] = "f4d03dc34495c95729ea6de9e1b59004b59733102488b3e24bc441e0be208eaf";
const char *const Messages[][2] = {
    {"4c756477696720766f6e204d69736573",
     "ca35def5ae56cec33dc2036731ab14896bc4c75dbb07a61f879f8e3afa4c794479b962b8aff8485742ac32f905ba4"
     "5369e2465fb59e138a93d67a0d1266b6a54"},
    {"4d757272617920526f746862617264",
     "95ebc60d2b1fa672c1f46a8aa265ef51bfe38e7ccb39ec5be34069f144808843d6062704d5a9c422a8e834423f8c1"
     "feada7e8d0d910a1a2cd030fb584221e3"},
    {"462e20412e20486179656b", "e632c3763d7669067383433197a3baddf146e9e70ad4b4e9e59e0f"},
    {"4361726c204d656e676572", "64c6bee32ea91c8474bb4c21d7a700109ad45af77b29764ba5eb1e"},
    {"4a65616e2d426170746973746520536179",
     "e2fa0bed0603b62d3ccac2ecabbf3fe33f3e86514909b323361626266cb2471cc8"},
    {"457567656e2042f6686d20766f6e2042617765726b",
     "0c01dc9cec1fe4ddd692e8dd32188aa351088dc91183639a53b57aa4692b5ebdef8b8ca111"},
};
} // namespace vector

// Both sides of the vector's handshake; `responderPsk` replaces the psk on
// the responder's side when given.
struct Pair {
    NoiseHandshake side[2];
    NoiseTransport link[2];
    explicit Pair(const Bytes &responderPsk = hex(vector::Psk)) {
        Bytes prologue = hex(vector::Prologue), psk = hex(vector::Psk);
        EXPECT_TRUE(noiseStart(&side[0], NoiseRole::Initiator, psk.data(), prologue.data(),
                               prologue.size()));
        EXPECT_TRUE(noiseStart(&side[1], NoiseRole::Responder, responderPsk.data(), prologue.data(),
                               prologue.size()));
        noiseUseEphemeral(&side[0], hex(vector::InitEphemeral).data());
        noiseUseEphemeral(&side[1], hex(vector::RespEphemeral).data());
    }
    // Message `i` of the handshake from its writer to its reader: false when
    // either side refuses; `wire` gets the bytes sent.
    bool handshake(int i, Bytes *wire) {
        Bytes payload = hex(vector::Messages[i][0]), got(NoiseMaxMessage);
        wire->assign(payload.size() + NoiseHandshakeOverhead, 0);
        size_t n = 0, m = 0;
        if (!noiseWriteMessage(&side[i], payload.data(), payload.size(), wire->data(), &n))
            return false;
        EXPECT_EQ(n, wire->size());
        if (!noiseReadMessage(&side[1 - i], wire->data(), n, got.data(), &m)) return false;
        EXPECT_EQ(toHex(got.data(), m), vector::Messages[i][0]);
        return true;
    }
};

static Bytes seal(NoiseCipher *c, const Bytes &plain) {
    Bytes out(plain.size() + NoiseTagLength);
    EXPECT_TRUE(noiseSeal(c, plain.data(), plain.size(), out.data()));
    return out;
}
static bool open(NoiseCipher *c, const Bytes &sealed, Bytes *plain) {
    plain->assign(sealed.size() >= NoiseTagLength ? sealed.size() - NoiseTagLength : 0, 0);
    return noiseOpen(c, sealed.data(), sealed.size(), plain->data());
}

TEST(Noise, HandshakeAndRecordsMatchThePublishedVectorByteForByte) {
    Pair p;
    Bytes wire;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(p.handshake(i, &wire));
        EXPECT_EQ(toHex(wire), vector::Messages[i][1]) << "handshake message " << i;
    }
    for (int s = 0; s < 2; ++s) {
        ASSERT_TRUE(noiseSplit(&p.side[s], &p.link[s]));
        EXPECT_EQ(toHex(p.link[s].handshakeHash, NoiseHashLength), vector::HandshakeHash);
        EXPECT_EQ(p.side[s].ephemeral[0] | p.side[s].psk[0] | p.side[s].symmetric.chainingKey[0],
                  0);
    }
    for (int i = 2; i < 6; ++i) {
        int from = i % 2; // the initiator sends the even ones
        Bytes payload = hex(vector::Messages[i][0]), plain;
        Bytes sealed = seal(&p.link[from].send, payload);
        EXPECT_EQ(toHex(sealed), vector::Messages[i][1]) << "transport message " << i;
        ASSERT_TRUE(open(&p.link[1 - from].receive, sealed, &plain));
        EXPECT_EQ(toHex(plain), vector::Messages[i][0]);
    }
}

TEST(Noise, TamperedReplayedReorderedOrShortRecordsAndAWrongPskFail) {
    Pair p;
    Bytes wire, plain;
    ASSERT_TRUE(p.handshake(0, &wire) && p.handshake(1, &wire));
    ASSERT_TRUE(noiseSplit(&p.side[0], &p.link[0]) && noiseSplit(&p.side[1], &p.link[1]));
    NoiseCipher &out = p.link[0].send, &in = p.link[1].receive;
    Bytes first = seal(&out, hex("6869")), second = seal(&out, hex("7468657265"));
    Bytes tampered = first;
    tampered[0] ^= 1;
    EXPECT_FALSE(open(&in, tampered, &plain));
    EXPECT_FALSE(open(&in, second, &plain)) << "reordered";
    EXPECT_FALSE(open(&in, Bytes(first.begin(), first.end() - 1), &plain)) << "cut short";
    EXPECT_FALSE(open(&in, Bytes(NoiseTagLength - 1, 0), &plain)) << "shorter than a tag";
    ASSERT_TRUE(open(&in, first, &plain));
    EXPECT_EQ(toHex(plain), "6869");
    EXPECT_FALSE(open(&in, first, &plain)) << "replayed";
    ASSERT_TRUE(open(&in, second, &plain));
    EXPECT_FALSE(noiseOpen(&p.link[1].send, first.data(), first.size(), plain.data()))
        << "other key";

    // The nonce is never reused: the last one, 2^64-1, is refused.
    out.nonce = UINT64_MAX - 1;
    seal(&out, hex("00"));
    Bytes room(1 + NoiseTagLength);
    EXPECT_FALSE(noiseSeal(&out, room.data(), 1, room.data()));
    in.nonce = UINT64_MAX;
    EXPECT_FALSE(open(&in, first, &plain));

    // A wrong psk fails on the responder's first read, and stays failed.
    Bytes wrong = hex(vector::Psk);
    wrong[31] ^= 1;
    Pair q(wrong);
    EXPECT_FALSE(q.handshake(0, &wire));
    EXPECT_TRUE(q.side[1].failed);
    EXPECT_FALSE(noiseSplit(&q.side[1], &q.link[1]));
    size_t n = 0;
    EXPECT_FALSE(noiseWriteMessage(&q.side[1], nullptr, 0, wire.data(), &n));

    // Garbage of each length around a first message, and a message out of turn.
    Pair r;
    Bytes junk(NoiseHandshakeOverhead + 3, 0x5a), got(NoiseMaxMessage);
    EXPECT_FALSE(
        noiseReadMessage(&r.side[1], junk.data(), NoiseHandshakeOverhead - 1, got.data(), &n));
    EXPECT_FALSE(noiseReadMessage(&r.side[0], junk.data(), junk.size(), got.data(), &n));
}

TEST(Noise, TheSecretStretchesWithTheLobbysSalt) {
    uint8_t salt[NoiseSaltLength] = {1}, a[NoiseKeyLength], b[NoiseKeyLength], c[NoiseKeyLength];
    const char secret[] = "k7Q2-mV9x-Lp3w";
    ASSERT_TRUE(noiseStretchSecret(secret, sizeof secret - 1, salt, a));
    ASSERT_TRUE(noiseStretchSecret(secret, sizeof secret - 1, salt, b));
    salt[15] = 1;
    ASSERT_TRUE(noiseStretchSecret(secret, sizeof secret - 1, salt, c));
    EXPECT_EQ(toHex(a, 32), toHex(b, 32));
    EXPECT_NE(toHex(a, 32), toHex(c, 32));
    std::string longest(MaxSecretLength, 'x');
    EXPECT_TRUE(noiseStretchSecret(longest.data(), longest.size(), salt, c));
}

// The client's handshake against a lobby host played on a socket pair, to
// each of its ends: keys are held after JoinDone only, never after a refusal,
// a LetGo before or after message 1, or a first record the host will not
// take (the peer stops reading, so sending it fails after the keys exist).
TEST(Noise, TheClientHoldsKeysOnlyOnceJoined) {
    const char secret[] = "k7Q2-mV9x-Lp3w";
    LobbySecret lobby;
    secretMake(&lobby, secret, sizeof secret - 1);
    uint8_t greeting[GreetingLength];
    greetingWrite(lobby.salt, greeting);
    const int held = keysHeld();
    enum Host { LetGoAtOnce, Refuse, LetGoAfterMessage1, DeafToTheRecord, Admit };
    const JoinEnd expected[] = {JoinBusy, JoinWrongSecret, JoinBusy, JoinLost, JoinDone};
    for (Host how : {LetGoAtOnce, Refuse, LetGoAfterMessage1, DeafToTheRecord, Admit}) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        std::thread host([&] {
            int h = pair[1];
            (void)!write(h, greeting, sizeof greeting);
            SecureHandshake a;
            handshakeHost(&a, lobby);
            HandshakeStep step = how == LetGoAtOnce ? HandshakeSend : HandshakeMore;
            while (step == HandshakeMore) {
                ssize_t n = read(h, handshakeInto(&a), handshakeWant(&a));
                step = n > 0 ? handshakeTake(&a, static_cast<uint32_t>(n)) : HandshakeFailed;
            }
            if (how == LetGoAtOnce || how == LetGoAfterMessage1) (void)!write(h, LetGo, 2);
            if (how == DeafToTheRecord) shutdown(h, SHUT_RD);
            if (how >= DeafToTheRecord) (void)!write(h, a.out, a.outLength);
            for (step = HandshakeMore; how == Admit && step == HandshakeMore;) {
                ssize_t n = read(h, handshakeInto(&a), handshakeWant(&a));
                step = n > 0 ? handshakeTake(&a, static_cast<uint32_t>(n)) : HandshakeFailed;
            }
            EXPECT_TRUE(how != Admit || step == HandshakeDone);
            handshakeWipe(&a);
            close(h);
        });
        NoiseTransport keys;
        int32_t sends = 0;
        std::atomic<int> never{0};
        JoinEnd end = joinPrivate(pair[0], secret, sizeof secret - 1, "ann",
                                  JoinWait{nowMs() + 5000, &never}, &keys, &sends);
        host.join();
        close(pair[0]);
        EXPECT_EQ(end, expected[how]) << how;
        EXPECT_EQ(keysHeld(), held + (end == JoinDone ? 1 : 0)) << how;
        if (end == JoinDone) keyWipe(&keys);
    }
    secretWipe(&lobby);
    EXPECT_EQ(keysHeld(), held - 1);
}
