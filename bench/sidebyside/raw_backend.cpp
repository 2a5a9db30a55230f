// The raw relay: non-blocking TCP sockets carrying the lobby's own frames,
// built the way the library is (per update, one send and one receive per
// connection; a 64 KiB send queue at each client; at the hub, queues of up
// to 256 KiB per member and no reading from anybody while a member's queue
// holds 128 KiB or more), with nothing else: no dictionary, no inbox records,
// no lock. It is the practical limit of the design.
#include "sbs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace sbs {

namespace {

const uint32_t RelayRoom = 4 * QueueBytes;
const uint32_t HighWaterMark = 2 * QueueBytes;

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

void tune(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
}

sockaddr_in loopback() {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Connects to the hub and sends the handshake (the name and its 0).
int connectAs(const std::string &name) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback();
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::send(fd, name.c_str(), name.size() + 1, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(name.size() + 1)) {
        close(fd);
        return -1;
    }
    return fd;
}

uint8_t gScratch[QueueBytes];

class Client : public Endpoint {
  public:
    ~Client() override {
        if (fd_ >= 0) close(fd_);
    }
    bool connect(int index) override {
        fd_ = connectAs("c" + std::to_string(index));
        if (fd_ < 0) return false;
        tune(fd_);
        return true;
    }
    bool update() override {
        if (fd_ < 0) return false;
        bool moved = false;
        if (length_ > 0) {
            ssize_t m = ::send(fd_, queue_, length_, MSG_NOSIGNAL);
            if (m > 0) {
                length_ -= static_cast<uint32_t>(m);
                std::memmove(queue_, queue_ + m, length_);
                moved = true;
            } else if (m == 0 || !wouldBlock()) {
                return lose();
            }
        }
        ssize_t n = ::recv(fd_, gScratch, sizeof gScratch, 0);
        if (n == 0 || (n < 0 && !wouldBlock())) return lose();
        if (n > 0) {
            moved = true;
            bool ok = frames_.feed(
                gScratch, static_cast<size_t>(n), [this](const uint8_t *f, size_t len) {
                    if (len >= 4)
                        in_.push(f[0], f[1], reinterpret_cast<const char *>(f + 3), len - 4);
                });
            if (!ok) return lose();
        }
        return moved;
    }
    bool next(Message *m) override { return in_.next(m); }
    bool fits(size_t length) override { return fd_ >= 0 && length_ + length + 3 < QueueBytes; }
    void send(int receiver, int id, const char *text, size_t length) override {
        uint8_t *at = queue_ + length_;
        at[0] = static_cast<uint8_t>(id);
        at[1] = static_cast<uint8_t>(receiver);
        std::memcpy(at + 2, text, length);
        at[2 + length] = 0;
        length_ += static_cast<uint32_t>(length + 3);
    }

  private:
    bool lose() {
        close(fd_);
        fd_ = -1;
        in_.push(0, ErrorId, "error", 5);
        return true;
    }
    int fd_ = -1;
    uint8_t queue_[QueueBytes];
    uint32_t length_ = 0;
    FrameSplitter frames_;
    Inbox in_;
};

struct Member {
    uint8_t id;
    int fd;
    bool failed, above;
    FrameSplitter frames;
    std::vector<uint8_t> queue; // RelayRoom bytes, used from `start`
    uint32_t start, length;
};

class RelayHub : public Hub {
  public:
    ~RelayHub() override {
        for (Member *m : members_) {
            close(m->fd);
            delete m;
        }
        if (listener_ >= 0) close(listener_);
    }
    bool open() override {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = loopback();
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        return bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
               listen(listener_, SOMAXCONN) == 0;
    }
    bool admit(int count, Control *c) override {
        while (static_cast<int>(members_.size()) < count) {
            c->seat.store(static_cast<int>(members_.size()) + 1);
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1) return false;
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0) return false;
            char name[64];
            size_t held = 0;
            while (held == 0 || name[held - 1] != 0) { // the handshake, up to its 0
                pollfd q{fd, POLLIN, 0};
                ssize_t n =
                    poll(&q, 1, 10000) == 1 ? recv(fd, name + held, sizeof name - held, 0) : -1;
                if (n <= 0 || held + static_cast<size_t>(n) > sizeof name) return false;
                held += static_cast<size_t>(n);
            }
            tune(fd);
            Member *m = new Member{
                static_cast<uint8_t>(2 + members_.size()), fd, false, false, {}, {}, 0, 0};
            m->frames.limit = QueueBytes - 2;
            m->queue.resize(RelayRoom);
            members_.push_back(m);
        }
        return true;
    }
    bool update() override {
        bool moved = false;
        for (Member *m : members_) {
            if (m->failed) continue;
            if (above_ - (m->above ? 1 : 0) == 0) moved |= receiveFrom(m);
            if (!m->failed) moved |= sendTo(m);
        }
        for (size_t i = 0; i < members_.size();) {
            Member *m = members_[i];
            if (!m->failed) {
                ++i;
                continue;
            }
            in_.push(m->id, LeaveId, "gone", 4);
            if (m->above) --above_;
            close(m->fd);
            delete m;
            members_.erase(members_.begin() + static_cast<long>(i));
        }
        return moved;
    }
    bool next(Message *m) override { return in_.next(m); }

  private:
    bool receiveFrom(Member *m) {
        ssize_t n = recv(m->fd, gScratch, sizeof gScratch, 0);
        if (n == 0 || (n < 0 && !wouldBlock())) {
            m->failed = true;
            return true;
        }
        if (n < 0) return false;
        bool ok = m->frames.feed(gScratch, static_cast<size_t>(n),
                                 [this, m](const uint8_t *f, size_t len) { route(m, f, len); });
        if (!ok) m->failed = true;
        return true;
    }
    void route(Member *from, const uint8_t *f, size_t len) {
        if (len < 2) return;
        uint8_t receiver = f[1];
        if (receiver == Everybody || receiver == HubId)
            in_.push(from->id, f[0], reinterpret_cast<const char *>(f + 2), len - 3);
        for (Member *r : members_) {
            if (r == from || (receiver != Everybody && r->id != receiver)) continue;
            uint32_t need = static_cast<uint32_t>(len + 1);
            if (r->length + need > RelayRoom) {
                r->failed = true;
                continue;
            }
            if (r->start + r->length + need > RelayRoom) {
                std::memmove(r->queue.data(), r->queue.data() + r->start, r->length);
                r->start = 0;
            }
            uint8_t *at = r->queue.data() + r->start + r->length;
            at[0] = from->id;
            std::memcpy(at + 1, f, len);
            r->length += need;
            mark(r);
        }
    }
    bool sendTo(Member *m) {
        if (m->length == 0) return false;
        ssize_t n = ::send(m->fd, m->queue.data() + m->start, m->length, MSG_NOSIGNAL);
        if (n > 0) {
            m->start += static_cast<uint32_t>(n);
            m->length -= static_cast<uint32_t>(n);
            if (m->length == 0) m->start = 0;
            mark(m);
            return true;
        }
        if (n == 0 || !wouldBlock()) m->failed = true;
        return false;
    }
    void mark(Member *m) {
        bool above = m->length >= HighWaterMark;
        if (above == m->above) return;
        m->above = above;
        above_ += above ? 1 : -1;
    }
    int listener_ = -1;
    std::vector<Member *> members_;
    int above_ = 0;
    Inbox in_;
};

// W4's idle members for the TCP hubs: connected, introduced, and silent.
class TcpMembers : public Members {
  public:
    ~TcpMembers() override {
        for (int fd : fds_) close(fd);
    }
    bool add(int count, Control *c) override {
        while (static_cast<int>(fds_.size()) < count) {
            int index = static_cast<int>(fds_.size());
            if (!waitSeat(c, index)) return false;
            int fd = connectAs("m" + std::to_string(index));
            if (fd < 0) return false;
            fds_.push_back(fd);
        }
        return true;
    }
    void idle() override { usleep(10000); }

  private:
    std::vector<int> fds_;
};

} // namespace

std::unique_ptr<Endpoint> rawClient() { return std::unique_ptr<Endpoint>(new Client); }
std::unique_ptr<Hub> rawHub() { return std::unique_ptr<Hub>(new RelayHub); }
std::unique_ptr<Members> tcpMembers() { return std::unique_ptr<Members>(new TcpMembers); }

} // namespace sbs
