// The secret of a private lobby and the password of a relay server: where
// lobbylink-chat takes them from (never the command line), and the invite
// codes it makes.
#pragma once

#include <string>

namespace chat {

// The variables a script puts the secret and the relay password in.
extern const char SecretVariable[];
extern const char RelayPasswordVariable[];

// The secret for host/join --private: the variable's value when it is set,
// else typed at the terminal without echo after a "secret: " prompt, and
// with `twice` once more after "again: ". False, with the reason said, when
// there is none: no terminal, the input ended, Ctrl-C, an empty one (which
// would open the lobby to everybody), or two that differ.
bool obtainSecret(std::string *secret, bool twice);

// The relay server's password for host --relay-user: the variable's value
// when it is set, else typed once without echo after "relay password: ".
// False, with the reason said, when there is none.
bool obtainRelayPassword(std::string *password);

// A secret's bytes overwritten before the memory is let go.
void wipe(std::string *secret);

// A new invite code from the system's random source; false when it fails.
bool makeInviteCode(std::string *code);

// Prints a new invite code; returns the exit status.
int runInvite();

} // namespace chat
