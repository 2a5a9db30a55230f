// ENet: the same star relay over its reliable channel. A client's frame is
// one reliable packet to the hub; the hub's application relays it, with the
// sender's id in front, as one packet to the addressed peer (or one packet
// shared by every other peer for a broadcast). A client sends while the bytes
// of its packets not yet acknowledged by the hub stay under 64 KiB, the same
// pacing the library's send queue gives.
#include "sbs.h"

#include <unistd.h>

#ifdef SBS_HAVE_ENET
#include <enet/enet.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sbs {

#ifndef SBS_HAVE_ENET

bool enetAvailable() { return false; }
std::unique_ptr<Endpoint> enetClient() { return nullptr; }
std::unique_ptr<Hub> enetHub(int) { return nullptr; }
std::unique_ptr<Members> enetMembers() { return nullptr; }

#else

namespace {

bool startEnet() {
    static bool started = enet_initialize() == 0;
    return started;
}

ENetAddress hubAddress(bool any) {
    ENetAddress a;
    a.host = any ? ENET_HOST_ANY : 0x0100007Fu; // 127.0.0.1 in network order
    a.port = Port;
    return a;
}

// ENet asks for 256 KiB socket buffers; a hub taking 64 KiB bursts from
// several clients at once overflows that on loopback and then waits for
// retransmissions. Larger buffers keep the comparison about the protocol.
ENetHost *withBuffers(ENetHost *h) {
    if (h) {
        enet_socket_set_option(h->socket, ENET_SOCKOPT_RCVBUF, 4 << 20);
        enet_socket_set_option(h->socket, ENET_SOCKOPT_SNDBUF, 4 << 20);
    }
    return h;
}

size_t gInFlight = 0; // this process's unacknowledged bytes (one peer per client)

void packetAcknowledged(ENetPacket *p) { gInFlight -= p->dataLength; }

class Client : public Endpoint {
  public:
    ~Client() override {
        if (host_) enet_host_destroy(host_);
    }
    bool connect(int index) override {
        if (!startEnet()) return false;
        host_ = withBuffers(enet_host_create(nullptr, 1, 1, 0, 0));
        ENetAddress a = hubAddress(false);
        peer_ = host_ ? enet_host_connect(host_, &a, 1, static_cast<enet_uint32>(index)) : nullptr;
        if (!peer_) return false;
        ENetEvent ev;
        int64_t end = nowNs() + 10 * 1000000000LL;
        while (nowNs() < end)
            if (enet_host_service(host_, &ev, 10) > 0 && ev.type == ENET_EVENT_TYPE_CONNECT)
                return true;
        return false;
    }
    bool update() override {
        ENetEvent ev;
        bool any = false;
        for (int r = enet_host_service(host_, &ev, 0); r > 0;
             r = enet_host_check_events(host_, &ev)) {
            any = true;
            if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
                const uint8_t *f = ev.packet->data;
                size_t len = ev.packet->dataLength;
                if (len >= 4) in_.push(f[0], f[1], reinterpret_cast<const char *>(f + 3), len - 4);
                enet_packet_destroy(ev.packet);
            } else if (ev.type == ENET_EVENT_TYPE_DISCONNECT) {
                in_.push(0, ErrorId, "error", 5);
            }
        }
        return any;
    }
    bool next(Message *m) override { return in_.next(m); }
    bool fits(size_t length) override {
        // Bytes handed to ENet but not yet sent once: its counterpart of the
        // library's send queue (what is sent and not yet acknowledged is
        // ENet's own window, as the kernel's buffers are for TCP).
        size_t queued = gInFlight - peer_->reliableDataInTransit;
        return queued + length + 3 < QueueBytes;
    }
    void send(int receiver, int id, const char *text, size_t length) override {
        ENetPacket *p = enet_packet_create(nullptr, length + 3, ENET_PACKET_FLAG_RELIABLE);
        p->data[0] = static_cast<uint8_t>(id);
        p->data[1] = static_cast<uint8_t>(receiver);
        std::memcpy(p->data + 2, text, length);
        p->data[2 + length] = 0;
        p->freeCallback = packetAcknowledged;
        gInFlight += p->dataLength;
        if (enet_peer_send(peer_, 0, p) != 0) enet_packet_destroy(p);
    }

  private:
    ENetHost *host_ = nullptr;
    ENetPeer *peer_ = nullptr;
    Inbox in_;
};

class RelayHub : public Hub {
  public:
    explicit RelayHub(int capacity) : capacity_(capacity), byId_(256, nullptr) {}
    ~RelayHub() override {
        if (host_) enet_host_destroy(host_);
    }
    bool open() override {
        if (!startEnet()) return false;
        ENetAddress a = hubAddress(true);
        host_ = withBuffers(enet_host_create(&a, static_cast<size_t>(capacity_), 1, 0, 0));
        return host_ != nullptr;
    }
    bool admit(int count, Control *c) override {
        c->seat.store(count);
        int64_t end = nowNs() + 30 * 1000000000LL;
        while (present_ < count && nowNs() < end) {
            update();
            Message m;
            while (in_.next(&m)) {
            }
            usleep(200);
        }
        return present_ >= count;
    }
    bool update() override {
        ENetEvent ev;
        bool any = false;
        for (int r = enet_host_service(host_, &ev, 0); r > 0;
             r = enet_host_check_events(host_, &ev)) {
            any = true;
            switch (ev.type) {
            case ENET_EVENT_TYPE_CONNECT: {
                int id = 2 + static_cast<int>(ev.data);
                ev.peer->data = reinterpret_cast<void *>(static_cast<intptr_t>(id));
                byId_[static_cast<size_t>(id)] = ev.peer;
                peers_.push_back(ev.peer);
                ++present_;
                break;
            }
            case ENET_EVENT_TYPE_DISCONNECT: {
                int id = static_cast<int>(reinterpret_cast<intptr_t>(ev.peer->data));
                peers_.erase(std::remove(peers_.begin(), peers_.end(), ev.peer), peers_.end());
                byId_[static_cast<size_t>(id) & 255] = nullptr;
                --present_;
                in_.push(id, LeaveId, "gone", 4);
                break;
            }
            case ENET_EVENT_TYPE_RECEIVE:
                relay(ev.peer, ev.packet);
                enet_packet_destroy(ev.packet);
                break;
            default:
                break;
            }
        }
        return any;
    }
    bool next(Message *m) override { return in_.next(m); }

  private:
    void relay(ENetPeer *from, ENetPacket *in) {
        const uint8_t *f = in->data;
        size_t len = in->dataLength;
        if (len < 3) return;
        uint8_t fromId = static_cast<uint8_t>(reinterpret_cast<intptr_t>(from->data));
        uint8_t receiver = f[1];
        if (receiver == Everybody || receiver == HubId)
            in_.push(fromId, f[0], reinterpret_cast<const char *>(f + 2), len - 3);
        if (receiver == HubId) return;
        ENetPacket *out = enet_packet_create(nullptr, len + 1, ENET_PACKET_FLAG_RELIABLE);
        out->data[0] = fromId;
        std::memcpy(out->data + 1, f, len);
        bool queued = false;
        if (receiver == Everybody) {
            for (ENetPeer *p : peers_)
                if (p != from) queued |= enet_peer_send(p, 0, out) == 0;
        } else if (ENetPeer *p = byId_[receiver]) {
            queued = enet_peer_send(p, 0, out) == 0;
        }
        if (!queued) enet_packet_destroy(out);
    }
    int capacity_;
    ENetHost *host_ = nullptr;
    std::vector<ENetPeer *> byId_, peers_;
    int present_ = 0;
    Inbox in_;
};

// W4's idle members: one ENet host with a peer per member, serviced so that
// the members answer the hub's pings as idle players do.
class EnetMembers : public Members {
  public:
    ~EnetMembers() override {
        if (host_) enet_host_destroy(host_);
    }
    bool add(int count, Control *c) override {
        if (!host_) {
            if (!startEnet()) return false;
            host_ = withBuffers(enet_host_create(nullptr, MaxMembers, 1, 0, 0));
            if (!host_) return false;
        }
        if (!waitSeat(c, count - 1)) return false;
        ENetAddress a = hubAddress(false);
        for (int i = asked_; i < count; ++i)
            enet_host_connect(host_, &a, 1, static_cast<enet_uint32>(i));
        asked_ = count;
        int64_t end = nowNs() + 30 * 1000000000LL;
        while (connected_ < count && nowNs() < end) idle();
        return connected_ >= count;
    }
    void idle() override {
        ENetEvent ev;
        if (!host_) {
            usleep(1000);
            return;
        }
        for (int r = enet_host_service(host_, &ev, 1); r > 0;
             r = enet_host_check_events(host_, &ev)) {
            if (ev.type == ENET_EVENT_TYPE_CONNECT) ++connected_;
            if (ev.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(ev.packet);
        }
    }

  private:
    ENetHost *host_ = nullptr;
    int asked_ = 0, connected_ = 0;
};

} // namespace

bool enetAvailable() { return true; }
std::unique_ptr<Endpoint> enetClient() { return std::unique_ptr<Endpoint>(new Client); }
std::unique_ptr<Hub> enetHub(int capacity) { return std::unique_ptr<Hub>(new RelayHub(capacity)); }
std::unique_ptr<Members> enetMembers() { return std::unique_ptr<Members>(new EnetMembers); }

#endif

} // namespace sbs
