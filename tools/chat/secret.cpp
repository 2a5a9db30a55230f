#include "secret.h"

#include "events.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>

namespace chat {

const char SecretVariable[] = "LOBBYLINK_SECRET";

namespace {

// 32 characters: digits and lower-case letters without 0, 1, l and o, which
// are easily taken for one another. Each character carries 5 bits.
const char InviteAlphabet[] = "23456789abcdefghijkmnpqrstuvwxyz";
// 60 bits: out of reach of guesses tested offline against a recorded
// handshake, each of which costs a stretch of the secret.
const size_t InviteLength = 12;

} // namespace

namespace {

// One line typed without echo after `prompt`; false when none came.
bool readHidden(const char *prompt, std::string *line) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    bool typed = terminalReadHidden(line);
    std::fputs("\n", stdout); // Enter was not echoed either
    std::fflush(stdout);
    return typed;
}

} // namespace

bool obtainSecret(std::string *secret, bool twice) {
    const char *fromScript = std::getenv(SecretVariable);
    if (fromScript && *fromScript) {
        *secret = fromScript;
        return true;
    }
    if (!interactiveTerminal()) {
        complain(std::string("a private lobby needs its secret: type it at a terminal, or set ") +
                 SecretVariable);
        return false;
    }
    bool typed = readHidden("secret: ", secret);
    if (typed && secret->empty()) complain("no secret given: a private lobby needs one");
    if (typed && !secret->empty() && twice) {
        std::string again;
        typed = readHidden("again: ", &again);
        if (typed && again != *secret) {
            complain("the two secrets differ: nothing was opened");
            typed = false;
        }
        wipe(&again);
    }
    if (typed && !secret->empty()) return true;
    wipe(secret);
    return false;
}

void wipe(std::string *secret) {
    volatile char *bytes = &(*secret)[0];
    for (size_t i = 0; i < secret->size(); ++i) bytes[i] = 0;
    secret->clear();
}

bool makeInviteCode(std::string *code) {
    unsigned char random[InviteLength];
    if (!systemRandom(random, sizeof random)) return false;
    code->clear();
    // 256 is a multiple of 32: every character is as likely as any other.
    for (unsigned char r : random) *code += InviteAlphabet[r % (sizeof InviteAlphabet - 1)];
    return true;
}

int runInvite() {
    std::string code;
    if (!makeInviteCode(&code)) {
        complain("the system's random source failed: no invite code");
        return 1;
    }
    std::printf("%s\n", code.c_str());
    return 0;
}

} // namespace chat
