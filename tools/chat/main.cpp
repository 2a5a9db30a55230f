// lobbylink-chat: a terminal chat in a lobbylink lobby, and a host application
// to copy from. It hosts a lobby or joins one, shows what arrives and sends
// what is typed; `demo` plays a scripted conversation between four processes
// of itself.
#include "demo.h"
#include "lobbylink/lobbylink.h"
#include "platform.h"
#include "secret.h"
#include "session.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char Usage[] =
    "usage: lobbylink-chat [OPTIONS] host [--portmap] [--announce] [--private]\n"
    "                                     [--relay HOST[:PORT] [--relay-user USER]] NAME\n"
    "                                        open a lobby on port %d\n"
    "       lobbylink-chat [OPTIONS] join [--private] NAME [ADDRESS[:PORT]]\n"
    "                                        join a lobby (no address: this machine)\n"
    "       lobbylink-chat [OPTIONS] find    list the lobbies on your networks\n"
    "       lobbylink-chat invite            print a new invite code for a private lobby\n"
    "       lobbylink-chat [--lib PATH] demo a lobby host and three clients, scripted\n"
    "options: --lib PATH  the lobbylink library to load (default: beside this program)\n"
    "         --json      one JSON object per event\n"
    "         --trace     also every inbox entry, raw, with a timestamp\n"
    "         --portmap   (host) ask the home router to open the lobby port to this machine\n"
    "         --announce  (host) answer players on your networks who look for lobbies (find)\n"
    "         --relay HOST[:PORT]\n"
    "                     (host) host through this relay server (TURN over TCP, port 3478 by\n"
    "                     default): players anywhere join at the address it gives, even when\n"
    "                     nothing can reach this machine. Anyone can connect to that address:\n"
    "                     give the lobby --private.\n"
    "         --relay-user USER\n"
    "                     (host) the relay server's user. Its password is never an argument:\n"
    "                     it is asked for without echo, or taken from the variable\n"
    "                     %s when it is set (for scripts).\n"
    "         --private   (host, join) a private lobby: only players who know its secret join,\n"
    "                     and nobody outside the lobby can read or change what is said (its\n"
    "                     lobby host reads everything). The secret is never an argument: it is\n"
    "                     asked for without echo, or taken from the variable %s\n"
    "                     when it is set (for scripts).\n"
    "Give a private lobby an invite code (lobbylink-chat invite) rather than a word: someone\n"
    "who records a player's handshake can test guesses at the secret offline.\n"
    "Type a line to send it to everybody; /help lists the commands.\n";

int usage(const std::string &problem) {
    if (!problem.empty()) std::fprintf(stderr, "lobbylink-chat: %s\n", problem.c_str());
    std::fprintf(stderr, Usage, LobbyPort, chat::RelayPasswordVariable, chat::SecretVariable);
    return 2;
}

// Sets the option `arg` names (--lib, --relay and --relay-user take the
// next argument too); false when it names none.
bool takeOption(int argc, char **argv, int *i, chat::Options *options) {
    std::string arg = argv[*i];
    bool valued = *i + 1 < argc;
    if (arg == "--lib" && valued)
        options->library = argv[++*i];
    else if (arg == "--relay" && valued)
        options->relay = argv[++*i];
    else if (arg == "--relay-user" && valued)
        options->relayUser = argv[++*i];
    else if (arg == "--json")
        options->json = true;
    else if (arg == "--trace")
        options->trace = true;
    else if (arg == "--portmap")
        options->portmap = true;
    else if (arg == "--announce")
        options->announce = true;
    else if (arg == "--private")
        options->secretAsked = true;
    else
        return false;
    return true;
}

// host or join: the lobby session, with the secret of a private lobby.
int session(chat::Options &options, const std::vector<std::string> &words) {
    const std::string &what = words[0];
    if (what == "host" && words.size() == 2) {
        options.lobbyHost = true;
    } else if (what == "join" && (words.size() == 2 || words.size() == 3) && !options.portmap &&
               !options.announce && options.relay.empty()) {
        // The name stands where host has it; the optional address comes last.
        if (words.size() == 3) options.address = words[2];
    } else {
        return usage("");
    }
    options.name = words[1];
    if (options.name.empty()) return usage("the name must not be empty");
    if (!options.relayUser.empty() && options.relay.empty())
        return usage("--relay-user names the user of a relay server: give --relay too");
    chat::catchSignals();
    // The lobby host's secret is typed twice: a typo would lock everybody out.
    if (options.secretAsked && !chat::obtainSecret(&options.secret, options.lobbyHost)) return 1;
    if (!options.relayUser.empty() && !chat::obtainRelayPassword(&options.relayPassword)) {
        chat::wipe(&options.secret);
        return 1;
    }
    int status = chat::runSession(options);
    chat::wipe(&options.secret);
    chat::wipe(&options.relayPassword);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    chat::Options options;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (takeOption(argc, argv, &i, &options)) continue;
        if (arg == "--help" || arg == "-h") {
            std::printf(Usage, LobbyPort, chat::RelayPasswordVariable, chat::SecretVariable);
            return 0;
        }
        if (arg == "--relay-password")
            return usage(std::string("the relay password is never an argument (others on this "
                                     "machine can read those): type it when asked, or set ") +
                         chat::RelayPasswordVariable);
        if (arg.size() > 1 && arg[0] == '-') return usage("unknown option " + arg);
        words.push_back(arg);
    }
    if (words.empty()) return usage("");
    const std::string &what = words[0];
    bool lobbyOptions = options.portmap || options.announce || options.secretAsked ||
                        !options.relay.empty() || !options.relayUser.empty();
    if (what == "demo" && words.size() == 1) return chat::runDemo(options.library);
    if (what == "invite" && words.size() == 1 && !lobbyOptions) return chat::runInvite();
    if (what == "find" && words.size() == 1 && !lobbyOptions) return chat::runFind(options);
    return session(options, words);
}
