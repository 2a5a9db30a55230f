#include "secret.h"

#include "events.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>

namespace chat {

const char SecretVariable[] = "LOBBYLINK_SECRET";
const char RelayPasswordVariable[] = "LOBBYLINK_RELAY_PASSWORD";

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

// `variable`'s value when it is set, else one line typed without echo after
// `prompt`. False when there is none: `needed` says why one is asked for,
// `none` what an empty line means.
bool obtainHidden(const char *variable, const char *prompt, const std::string &needed,
                  const std::string &none, std::string *out) {
    const char *fromScript = std::getenv(variable);
    if (fromScript && *fromScript) {
        *out = fromScript;
        return true;
    }
    if (!interactiveTerminal()) {
        complain(needed + ": type it at a terminal, or set " + variable);
        return false;
    }
    bool typed = readHidden(prompt, out);
    if (typed && out->empty()) complain(none);
    if (typed && !out->empty()) return true;
    wipe(out);
    return false;
}

} // namespace

bool obtainSecret(std::string *secret, bool twice) {
    if (!obtainHidden(SecretVariable, "secret: ", "a private lobby needs its secret",
                      "no secret given: a private lobby needs one", secret))
        return false;
    // Only a typed secret can hold a typo; a script's comes from the variable.
    const char *fromScript = std::getenv(SecretVariable);
    if (!twice || (fromScript && *fromScript)) return true;
    std::string again;
    bool typed = readHidden("again: ", &again), same = typed && again == *secret;
    if (typed && !same) complain("the two secrets differ: nothing was opened");
    if (!same) wipe(secret);
    wipe(&again);
    return same;
}

bool obtainRelayPassword(std::string *password) {
    return obtainHidden(RelayPasswordVariable,
                        "relay password: ", "the relay user needs its password",
                        "no relay password given", password);
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
