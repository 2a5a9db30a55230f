// The dictionary operations on dictionaries built the way a host builds them
// (the tests' own builder, support/dict.h): keys sharing prefixes, values
// replaced by other kinds, kinds the library must read as absent, strings
// whose cell list is shorter or longer than their count, cells holding 0.
// The library's readers must agree with the host's view; its writers must
// leave every other key as it was and write exactly the value asked for; the
// exports that read and write dictionaries must do the same; and everything
// must be freed by the host's own teardown (LeakSanitizer).
#include "fuzz/harness.h"

#include "hostapi/argmap.h"
#include "lobbylink/lobbylink.h"
#include "support/dict.h"

#include <cstdlib>
#include <cstring>
#include <map>

namespace {

const char *const Known[] = {"result", "res",     "usr", "user", "id", "msg", "rcv", "error",
                             "pkg",    "address", "r",   "re",   "u",  "us",  "m"};
const char Alphabet[] = "resultmgiadpk";

std::string key(fz::Input &in) {
    uint8_t b = in.byte();
    if (b < 160) return Known[b % (sizeof Known / sizeof *Known)];
    std::string k;
    for (int n = b % 5; n >= 0; --n) k.push_back(Alphabet[in.byte() % (sizeof Alphabet - 1)]);
    return k;
}

// How the host sees one key.
struct Seen {
    int32_t kind = 0;
    int32_t integer = 0;
    std::string text;
    bool operator==(const Seen &o) const {
        return kind == o.kind && integer == o.integer && text == o.text;
    }
};

Seen seen(ArgNode *root, const std::string &k) {
    Seen s;
    const ArgValue *v = dict::find(root, k);
    if (!v) return s;
    s.kind = v->kind;
    if (v->kind == ValueInteger) s.integer = v->payload.integer;
    if (v->kind == ValueString) s.text = dict::getString(root, k);
    return s;
}

struct Dict {
    ArgNode *root = dict::make();
    std::vector<std::string> keys; // every key ever touched
    ~Dict() { dict::destroy(root); }
    void touch(const std::string &k) {
        if (std::find(keys.begin(), keys.end(), k) == keys.end()) keys.push_back(k);
    }
    std::map<std::string, Seen> snapshot() {
        std::map<std::string, Seen> all;
        for (const std::string &k : keys) all[k] = seen(root, k);
        return all;
    }
    // Every key but those in `written` reads as before.
    void unchangedBut(const std::map<std::string, Seen> &before,
                      std::initializer_list<const char *> written) {
        for (const auto &kv : before) {
            bool w = false;
            for (const char *k : written) w |= kv.first == k;
            FZ_CHECK(w || seen(root, kv.first) == kv.second, "key \"%s\" changed",
                     kv.first.c_str());
        }
    }
    void checkReaders(const std::string &k) {
        const ArgValue *host = dict::find(root, k);
        FZ_CHECK(ll::mapFind(root, k.c_str()) == host, "mapFind(\"%s\") found another node",
                 k.c_str());
        Seen s = seen(root, k);
        FZ_CHECK(ll::mapGetInt(root, k.c_str()) == (s.kind == ValueInteger ? s.integer : 0),
                 "mapGetInt(\"%s\")", k.c_str());
        char *copy = ll::mapGetString(root, k.c_str());
        FZ_CHECK((copy != nullptr) == (s.kind == ValueString), "mapGetString(\"%s\") presence",
                 k.c_str());
        if (copy) {
            std::string expect = s.text.substr(0, s.text.find('\0'));
            FZ_CHECK(expect == copy, "mapGetString(\"%s\") = \"%s\"", k.c_str(), copy);
        }
        std::free(copy);
    }
};

std::string text(fz::Input &in, bool zeros) {
    std::string t = in.bytes(in.byte() % 24);
    if (!zeros)
        for (char &c : t)
            if (c == '\0') c = '0';
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Input in{data, size};
    Dict d;
    while (in.more()) {
        uint8_t op = in.byte() % 10;
        std::string k = key(in);
        d.touch(k);
        switch (op) {
        case 0:
            dict::setInt(d.root, k, static_cast<int32_t>(in.word() | in.word() << 16));
            break;
        case 1:
            dict::setString(d.root, k, text(in, true));
            break;
        case 2: { // the host puts a kind the library does not know, or swaps kinds
            ArgValue *v = dict::node(d.root, k)->value;
            static const int32_t kinds[] = {0, ValueInteger, 2, 4, -1, 0x7fffffff};
            if (v && v->kind != ValueString) v->kind = kinds[in.byte() % 6];
            break;
        }
        case 3: { // a count that disagrees with the cells (never 0 over cells)
            ArgNode *n = dict::node(d.root, k);
            if (n->value && n->value->kind == ValueString && n->value->payload.string) {
                CharList *l = n->value->payload.string;
                uint32_t c = in.byte() % 40;
                if (c > 0 || !l->head) l->count = c;
            }
            break;
        }
        case 4:
        case 5:
            d.checkReaders(k);
            break;
        case 6: {
            auto before = d.snapshot();
            int32_t v = static_cast<int32_t>(in.word());
            ll::writeInt(d.root, k.c_str(), v);
            Seen s = seen(d.root, k);
            FZ_CHECK(s.kind == ValueInteger && s.integer == v, "writeInt(\"%s\")", k.c_str());
            d.unchangedBut(before, {k.c_str()});
            break;
        }
        case 7: {
            auto before = d.snapshot();
            std::string t = text(in, false);
            ll::writeString(d.root, k.c_str(), t.c_str());
            Seen s = seen(d.root, k);
            FZ_CHECK(s.kind == ValueString && s.text == t, "writeString(\"%s\")", k.c_str());
            d.unchangedBut(before, {k.c_str()});
            break;
        }
        case 8:
        case 9: { // an export that reads and writes the dictionary, while idle
            for (const char *w : {"result", "res", "error"}) d.touch(w);
            auto before = d.snapshot();
            switch (in.byte() % 7) {
            case 0:
                p2pBuffer(d.root);
                FZ_CHECK(seen(d.root, "res") == (Seen{ValueInteger, 0, ""}), "p2pBuffer");
                d.unchangedBut(before, {"res"});
                break;
            case 1:
                p2pClientName(d.root);
                FZ_CHECK(seen(d.root, "result") == (Seen{ValueString, 0, ""}), "p2pClientName");
                d.unchangedBut(before, {"result"});
                break;
            case 2:
                p2pRecv(d.root);
                FZ_CHECK(seen(d.root, "result") == (Seen{ValueInteger, 0, ""}), "p2pRecv");
                d.unchangedBut(before, {"result"});
                break;
            case 3:
                FZ_CHECK(p2pNumClients(d.root) == 0, "p2pNumClients");
                d.unchangedBut(before, {"result"});
                break;
            case 4:
                p2pSend(d.root);
                p2pKick(d.root);
                d.unchangedBut(before, {});
                break;
            default: {
                size_t length = 0;
                char *user = ll::mapGetText(d.root, "user", &length);
                p2pCreateLobby(d.root);
                Seen r = seen(d.root, "result"), e = seen(d.root, "error");
                if (!user) {
                    FZ_CHECK(r.integer == 0 && e.text == "no user",
                             "p2pCreateLobby without a user");
                } else if (std::memchr(user, 0, length)) {
                    FZ_CHECK(r.integer == 0 && e.text == "0 byte in user",
                             "p2pCreateLobby, a 0 byte");
                } else if (length > LobbyMaxNameLength) {
                    FZ_CHECK(r.integer == 0 && e.text == "user too long",
                             "p2pCreateLobby, long user");
                } else {
                    FZ_CHECK(r.kind == ValueInteger && r.integer == 1,
                             "p2pCreateLobby refused \"%s\"", user);
                    d.unchangedBut(before, {"result"});
                }
                std::free(user);
                p2pDisconnect(d.root);
                break;
            }
            }
            break;
        }
        }
    }
    return 0;
}
