// This library as a host uses it: the shared library opened with dlopen in
// each process, every call through its exports, real dictionaries built with
// the host helpers, and one receiving dictionary reused from call to call.
#include "common/loader.h"
#include "lobbylink/hostmap.h"
#include "lobbylink/lobbylink.h"
#include "sbs.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace sbs {

namespace {

// The library's exports in one table (tools/common/loader.h); a load that
// fails says why on stderr.
struct Library : tools::Library {
    bool load(const std::string &path) {
        std::string error;
        if (tools::libraryLoad(path, this, &error)) return true;
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
};

// The receiving side every role shares: p2pRecv into one dictionary, and the
// text read back with the host helper.
struct Receiver {
    Library *lib;
    ArgNode *dict = llMapNew();
    char *text = nullptr;
    ~Receiver() {
        std::free(text);
        llMapFree(dict);
    }
    bool next(Message *m) {
        if (lib->recv(dict) != 1) return false;
        m->from = llMapGetInt(dict, "usr");
        m->id = llMapGetInt(dict, "id");
        std::free(text);
        text = llMapGetString(dict, "msg");
        m->text = text ? text : "";
        m->length = std::strlen(m->text);
        // The library's own notices carry the lobby's ids; they already match ours.
        return true;
    }
};

class Client : public Endpoint {
  public:
    Client(const std::string &path, const std::string &secret, const char *joinAt)
        : path_(path), secret_(secret), joinAt_(joinAt) {}
    ~Client() override {
        if (loaded_) lib_.terminate(nullptr);
        for (auto &d : outgoing_) llMapFree(d.dict);
        llMapFree(room_);
    }
    bool connect(int index) override {
        if (!lib_.load(path_)) return false;
        loaded_ = true;
        ArgNode *m = llMapNew();
        lib_.init(m);
        llMapSetString(m, "address", *joinAt_ ? joinAt_ : "127.0.0.1");
        std::string user = "c" + std::to_string(index);
        llMapSetString(m, "user", user.c_str());
        if (!secret_.empty()) llMapSetString(m, "secret", secret_.c_str());
        // A private lobby's client makes the handshake within p2pConnect (2 sends).
        bool ok = lib_.connect(m) == 1 && llMapGetInt(m, "pkg") == (secret_.empty() ? 1 : 2);
        llMapFree(m);
        return ok;
    }
    bool update() override {
        lib_.update(nullptr);
        return false; // the exports do not tell whether anything moved
    }
    bool next(Message *m) override { return in_.next(m); }
    bool fits(size_t length) override {
        lib_.buffer(room_);
        return static_cast<int64_t>(length) + LobbyClientFrameOverhead < llMapGetInt(room_, "res");
    }
    void send(int receiver, int id, const char *text, size_t length) override {
        // A host builds a message's dictionary once and sends it again and
        // again; a new text replaces the String in the same dictionary.
        Outgoing *o = nullptr;
        for (auto &d : outgoing_)
            if (d.receiver == receiver && d.id == id) o = &d;
        if (!o) {
            outgoing_.push_back(Outgoing{receiver, id, llMapNew(), std::string()});
            o = &outgoing_.back();
            llMapSetInt(o->dict, "rcv", receiver);
            llMapSetInt(o->dict, "id", id);
            o->text.assign("\1"); // never equal to a real text
        }
        if (o->text.size() != length || std::memcmp(o->text.data(), text, length) != 0) {
            o->text.assign(text, length);
            llMapSetString(o->dict, "msg", o->text.c_str());
        }
        lib_.send(o->dict);
    }

  private:
    struct Outgoing {
        int receiver, id;
        ArgNode *dict;
        std::string text;
    };
    std::string path_, secret_;
    const char *joinAt_;
    Library lib_{};
    bool loaded_ = false;
    Receiver in_{&lib_};
    ArgNode *room_ = llMapNew();
    std::vector<Outgoing> outgoing_;
};

class LobbyHub : public Hub {
  public:
    LobbyHub(const std::string &path, const std::string &secret, const Relay *relay, char *joinAt,
             size_t joinAtSize)
        : path_(path), secret_(secret), relay_(relay), joinAt_(joinAt), joinAtSize_(joinAtSize) {}
    ~LobbyHub() override {
        if (loaded_) lib_.terminate(nullptr);
    }
    bool open() override {
        if (!lib_.load(path_)) return false;
        loaded_ = true;
        ArgNode *m = llMapNew();
        lib_.init(m);
        llMapSetString(m, "user", "hub");
        if (!secret_.empty()) llMapSetString(m, "secret", secret_.c_str());
        if (relay_) {
            llMapSetString(m, "relay", relay_->server.c_str());
            llMapSetString(m, "relayUser", relay_->user.c_str());
            llMapSetString(m, "relayPassword", relay_->password.c_str());
        }
        bool ok = lib_.createLobby(m) == 1;
        llMapFree(m);
        return ok && (!relay_ || relayed());
    }
    bool admit(int count, Control *c) override {
        ArgNode *m = llMapNew();
        bool ok = true;
        while (ok && lib_.numClients(nullptr) < count) {
            int want = lib_.numClients(nullptr) + 1;
            int64_t end = nowNs() + 10 * 1000000000LL;
            while (lib_.searchClient(m) != 1 && nowNs() < end) usleep(1000);
            c->seat.store(want);
            while (lib_.numClients(nullptr) < want && nowNs() < end) {
                pump();
                usleep(500);
            }
            ok = lib_.numClients(nullptr) >= want;
        }
        llMapFree(m);
        return ok;
    }
    bool update() override {
        lib_.update(nullptr);
        return false;
    }
    bool next(Message *m) override { return in_.next(m); }

  private:
    void pump() {
        lib_.update(nullptr);
        Message m;
        while (in_.next(&m)) {
        }
    }
    // Waits up to 10 s for the relay server's answer; true with the address
    // players join at in joinAt_, false (said on stderr) otherwise.
    bool relayed() {
        int64_t end = nowNs() + 10 * 1000000000LL;
        Message m;
        while (nowNs() < end) {
            lib_.update(nullptr);
            while (in_.next(&m)) {
                if (m.from != 0 || m.id != MsgRelay) continue;
                std::string text(m.text, m.length);
                bool address = text != "no relay" && text != "refused" && text != "lost" &&
                               text.size() < joinAtSize_;
                if (address) std::memcpy(joinAt_, text.c_str(), text.size() + 1);
                if (!address)
                    std::fprintf(stderr, "relay %s: %s\n", relay_->server.c_str(), m.text);
                return address;
            }
            usleep(1000);
        }
        std::fprintf(stderr, "relay %s: no notice within 10 s\n", relay_->server.c_str());
        return false;
    }
    std::string path_, secret_;
    const Relay *relay_;
    char *joinAt_;
    size_t joinAtSize_;
    Library lib_{};
    bool loaded_ = false;
    Receiver in_{&lib_};
};

} // namespace

std::unique_ptr<Endpoint> lobbylinkClient(const std::string &library, const std::string &secret,
                                          const char *joinAt) {
    return std::unique_ptr<Endpoint>(new Client(library, secret, joinAt));
}

std::unique_ptr<Hub> lobbylinkHub(const std::string &library, const std::string &secret,
                                  const Relay *relay, char *joinAt, size_t joinAtSize) {
    return std::unique_ptr<Hub>(new LobbyHub(library, secret, relay, joinAt, joinAtSize));
}

} // namespace sbs
