// The relay scenarios' network (turn.sh) for a test: coturn on "the
// Internet", the lobby host behind a NAT with no inbound path, players on
// the Internet and behind a second NAT; and coturn's REST credentials.
// Shared by the relay task's test and the lobby's (turn_test.cpp,
// lobby_test.cpp).
#pragma once

#include "net/outside/digest.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char Secret[] = "shared secret of the studio";
const char Server[] = "127.90.0.1"; // coturn, on "the Internet"

// The namespaces and coturn, down again on every way out of the test.
class Net {
  public:
    Net() {
        const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(LL_TURN_DIR) + t->test_suite_name() + "." + t->name();
        prefix_ = "llturn" + std::to_string(std::hash<std::string>{}(name) % 1000000);
        script("down");
        up_ = script("up") == 0;
    }
    ~Net() { script("down"); }
    bool up() const { return up_; }
    int script(const char *what) const {
        return std::system((std::string("sh ") + LL_TURN_SCRIPT + " " + what + " " + LL_TURN_DIR +
                            " " + prefix_ + " '" + Secret + "' >/dev/null 2>&1")
                               .c_str());
    }
    std::string log() const {
        std::ifstream in(std::string(LL_TURN_DIR) + "/" + prefix_ + ".log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Runs `fn` inside namespace PREFIX-side: a thread started or a socket
    // made there stays there.
    void inside(const char *side, const std::function<void()> &fn) const {
        int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int ns = ::open(("/run/netns/" + prefix_ + "-" + side).c_str(), O_RDONLY | O_CLOEXEC);
        if (self >= 0 && ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0) {
            fn();
            if (::setns(self, CLONE_NEWNET) != 0) std::abort(); // the test must not stay in there
        } else {
            ADD_FAILURE() << "cannot enter " << prefix_ << "-" << side;
        }
        if (self >= 0) ::close(self);
        if (ns >= 0) ::close(ns);
    }
    // A plain TCP player connected from `side` to `port` of the server, or
    // -errno when the connect failed.
    int player(const char *side, int port) const {
        int s = -1;
        inside(side, [&] { s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
        timeval tv{10, 0}; // every read and connect has a deadline
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {::inet_addr(Server)}, {}};
        if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return s;
        int e = errno;
        ::close(s);
        return -e;
    }

    // The namespace PREFIX-side's name.
    std::string ns(const char *side) const { return prefix_ + "-" + side; }

  private:
    std::string prefix_;
    bool up_ = false;
};

// coturn's REST credentials made from `secret`, valid for an hour: user
// "EXPIRY:NAME", password base64(HMAC-SHA1(secret, user)).
inline void restCredentials(const char *secret, std::string *user, std::string *password) {
    *user = std::to_string(std::time(nullptr) + 3600) + ":gold";
    ll::HmacSha1 h;
    uint8_t mac[ll::Sha1Bytes];
    char text[64];
    ll::hmacSha1Start(&h, reinterpret_cast<const uint8_t *>(secret), std::strlen(secret));
    ll::hmacSha1Add(&h, user->data(), user->size());
    ll::hmacSha1End(&h, mac);
    sodium_bin2base64(text, sizeof text, mac, sizeof mac, sodium_base64_VARIANT_ORIGINAL);
    *password = text;
}

} // namespace
