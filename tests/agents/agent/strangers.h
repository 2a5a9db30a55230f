// Strangers at a private lobby's door, as an attacker sends them, for the
// refusal test (tests/agents) and the door's stress tool (bench): a thread
// connects to the lobby port on 127.0.0.1 at a steady rate, from one or
// many loopback addresses (the players come from 127.0.0.1), each stranger
// sending its bytes and then keeping its connection. Linux only.
#pragma once

#include "lobbylink/lobbylink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace flood {

struct StrangerPlan {
    int perSecond = 500;
    int sources = 1; // addresses they come from: 127.0.0.0 + firstSource and up
    int firstSource = 2;
    std::vector<std::string> say{""}; // what each sends, in turn ("": nothing)
    int holdMs = 12000;               // then it closes: longer than a handshake's deadline
};

class Strangers {
  public:
    explicit Strangers(const StrangerPlan &plan)
        : plan_(plan), start_(Clock::now()), end_(start_), thread_([this] { run(); }) {}
    ~Strangers() { stop(); }
    Strangers(const Strangers &) = delete;
    Strangers &operator=(const Strangers &) = delete;

    // The flood ends and every connection it holds is closed.
    void stop() {
        if (!thread_.joinable()) return;
        flooding_ = false;
        thread_.join();
    }
    // Connections made per second so far.
    double perSecond() const {
        auto end = thread_.joinable() ? Clock::now() : end_;
        double s = std::chrono::duration<double>(end - start_).count();
        return s > 0 ? connected_.load() / s : 0;
    }

  private:
    using Clock = std::chrono::steady_clock;
    struct Held {
        int fd;
        Clock::time_point since;
    };
    StrangerPlan plan_;
    std::atomic<bool> flooding_{true};
    std::atomic<int> connected_{0};
    Clock::time_point start_, end_;
    std::thread thread_;

    static sockaddr_in loopback(uint32_t host, uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(0x7F000000u + host);
        a.sin_port = htons(port);
        return a;
    }

    // One stranger: true when it got in and holds its connection.
    bool arrive(int i, std::deque<Held> *held) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from =
            loopback(static_cast<uint32_t>(plan_.firstSource + i % plan_.sources), 0);
        sockaddr_in to = loopback(1, LobbyPort);
        timeval patience{0, 500000}; // a door that takes nobody slows the flood, never stops it
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
            ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
            ::close(fd);
            return false;
        }
        const std::string &say = plan_.say[static_cast<size_t>(i) % plan_.say.size()];
        if (!say.empty()) (void)!::send(fd, say.data(), say.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        held->push_back({fd, Clock::now()});
        return true;
    }

    void run() {
        std::deque<Held> held;
        const auto gap = std::chrono::microseconds(1000000 / plan_.perSecond);
        auto next = start_;
        for (int i = 0; flooding_; ++i) {
            auto old = Clock::now() - std::chrono::milliseconds(plan_.holdMs);
            for (; !held.empty() && held.front().since <= old; held.pop_front())
                ::close(held.front().fd);
            if (arrive(i, &held)) ++connected_;
            next += gap;
            if (Clock::now() - next > std::chrono::seconds(1))
                next = Clock::now(); // no catching up
            std::this_thread::sleep_until(next);
        }
        for (const Held &h : held) ::close(h.fd);
        end_ = Clock::now();
    }
};

} // namespace flood
