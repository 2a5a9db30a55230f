// The router mapping's lease schedule, against a home router the test plays
// itself, in the network namespace of this test process: the default route
// points at 127.0.0.2, where the test answers NAT-PMP or UPnP, and a guard
// drops whatever is addressed outside 127.0.0.0/8 before it is sent (the
// SSDP search to the multicast group). The lobby host's clock stands still
// and moves only when the test says, so leases of twenty minutes are renewed
// and run out at once.
#include "support/testkit.h"

#include "net/base/clock.h"
#include "net/base/limits.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace kit;

const char Gateway[] = "127.0.0.2";
const char External[] = "11.22.33.44"; // what the router reports; never sent to
const uint16_t NatPmpPort = 5351, SsdpPort = 1900, HttpPort = 5555;

// A socket bound to the router's address: UDP, or a listening TCP one.
int socketAt(uint16_t port, int type = SOCK_DGRAM) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, Gateway, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        ADD_FAILURE() << "bind " << port;
    if (type == SOCK_STREAM) ::listen(fd, 8);
    return fd;
}

void put16(uint8_t *p, uint32_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
void put32(uint8_t *p, uint32_t v) { put16(p, v >> 16), put16(p + 2, v); }

std::string soap(const std::string &inner) {
    return "<?xml version=\"1.0\"?><s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" +
           inner + "</s:Body></s:Envelope>";
}
std::string fault(int code) {
    return soap("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</"
                "faultstring><detail><UPnPError "
                "xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                std::to_string(code) + "</errorCode></UPnPError></detail></s:Fault>");
}
const char Description[] =
    "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device><deviceType>"
    "urn:schemas-upnp-org:device:InternetGatewayDevice:1</"
    "deviceType><deviceList><device><deviceList><device>"
    "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</"
    "serviceType>"
    "<controlURL>/ctl</controlURL></service></serviceList></device></deviceList></device></"
    "deviceList>"
    "</device></root>";

// The home router: NAT-PMP, or UPnP that grants permanent leases only
// (error 725 for any other). What it answers can change under a test.
struct FakeRouter {
    bool upnp;
    std::atomic<uint32_t> lifetimeS{1200}; // NAT-PMP: the lease it grants
    std::atomic<uint16_t> result{0};       // NAT-PMP: its result code
    std::atomic<uint16_t> externalPort{LobbyPort};
    std::atomic<bool> silent{false}; // NAT-PMP: mapping requests go unanswered
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::vector<uint32_t> asked;        // the lease of every mapping request (NAT-PMP, UPnP)
    int nat = -1, ssdp = -1, http = -1; // bound before the library asks anything
    std::thread thread;

    explicit FakeRouter(bool u) : upnp(u) {
        // The guard first: nothing may leave for an address beyond loopback.
        // Once per process (and its network namespace).
        static int made =
            std::system("nft -f " LL_GUARD " && ip route add default via 127.0.0.2 dev lo");
        EXPECT_EQ(made, 0)
            << "no guard or no default route: the test needs a network namespace of its own";
        if (upnp)
            ssdp = socketAt(SsdpPort), http = socketAt(HttpPort, SOCK_STREAM);
        else
            nat = socketAt(NatPmpPort);
        thread = std::thread([this] { run(); });
    }
    ~FakeRouter() {
        stop = true;
        thread.join();
    }
    size_t requests() {
        std::lock_guard<std::mutex> g(lock);
        return asked.size();
    }
    std::vector<uint32_t> leases() {
        std::lock_guard<std::mutex> g(lock);
        return asked;
    }

    void run() {
        while (!stop) {
            pollfd p[3] = {{nat, POLLIN, 0}, {ssdp, POLLIN, 0}, {http, POLLIN, 0}};
            if (::poll(p, 3, 20) <= 0) continue;
            if (p[0].revents) natpmp(nat);
            if (p[1].revents) search(ssdp);
            if (p[2].revents) serve(http);
        }
        for (int fd : {nat, ssdp, http})
            if (fd >= 0) ::close(fd);
    }
    void natpmp(int fd) {
        uint8_t q[64], a[16] = {};
        sockaddr_in from;
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 2) return;
        a[1] = uint8_t(128 + q[1]);
        if (q[1] == 0) { // the external address
            ::inet_pton(AF_INET, External, a + 8);
            ::sendto(fd, a, 12, 0, reinterpret_cast<sockaddr *>(&from), len);
            return;
        }
        uint32_t asks = uint32_t(q[8]) << 24 | uint32_t(q[9]) << 16 | uint32_t(q[10]) << 8 | q[11];
        if (n != 12) return;
        if (asks != 0) { // not a deletion
            std::lock_guard<std::mutex> g(lock);
            asked.push_back(asks);
            if (silent) return;
        }
        put16(a + 2, result), put16(a + 8, LobbyPort), put16(a + 10, externalPort);
        put32(a + 12, asks ? lifetimeS.load() : 0);
        ::sendto(fd, a, 16, 0, reinterpret_cast<sockaddr *>(&from), len);
    }
    void search(int fd) {
        char q[1500];
        sockaddr_in from;
        socklen_t len = sizeof from;
        if (::recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&from), &len) <= 0) return;
        std::string a =
            "HTTP/1.1 200 OK\r\nST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
            "LOCATION: http://127.0.0.2:5555/desc.xml\r\n\r\n";
        ::sendto(fd, a.data(), a.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
    }
    // One HTTP exchange: the whole request (its head, and a body of
    // Content-Length), then the answer, then the end of the connection.
    void serve(int listener) {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        std::string q;
        for (;;) {
            size_t head = q.find("\r\n\r\n"), at = q.find("Content-Length:");
            size_t length =
                at == std::string::npos ? 0 : std::strtoul(q.c_str() + at + 15, nullptr, 10);
            if (head != std::string::npos && q.size() >= head + 4 + length) break;
            pollfd p = {c, POLLIN, 0};
            char buf[4096];
            ssize_t n = ::poll(&p, 1, 2000) > 0 ? ::recv(c, buf, sizeof buf, 0) : 0;
            if (n <= 0) break;
            q.append(buf, size_t(n));
        }
        std::string body, status = "200 OK";
        if (q.find("GET /desc.xml") == 0) {
            body = Description;
        } else if (q.find("#GetExternalIPAddress") != std::string::npos) {
            body = soap("<u:GetExternalIPAddressResponse><NewExternalIPAddress>" +
                        std::string(External) +
                        "</NewExternalIPAddress></u:GetExternalIPAddressResponse>");
        } else if (q.find("#GetSpecificPortMappingEntry") != std::string::npos) {
            status = "500 Internal Server Error", body = fault(714); // nobody holds the port
        } else if (q.find("#AddPortMapping") != std::string::npos) {
            size_t at = q.find("<NewLeaseDuration>");
            uint32_t lease = at == std::string::npos ? 0 : uint32_t(std::atoi(q.c_str() + at + 18));
            std::lock_guard<std::mutex> g(lock);
            asked.push_back(lease);
            if (lease != 0) status = "500 Internal Server Error", body = fault(725);
        }
        std::string a = "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        ::send(c, a.data(), a.size(), MSG_NOSIGNAL);
        ::close(c);
    }
};

class Lease : public LibTest {
  protected:
    void SetUp() override {
        LibTest::SetUp();
        ll::clockHold();
    }
    void TearDown() override {
        ll::clockRelease();
        LibTest::TearDown();
    }
    // Opens a lobby with "portmap" 1; the text of its notice.
    std::string open() {
        Map m;
        p2pCreateLobby(m.set("user", "gold").set("portmap", 1));
        EXPECT_EQ(m.i("result"), 1);
        Msg n{};
        if (!waitUntil([&] { return recv(&n); })) return "<no notice>";
        EXPECT_EQ(n.usr, 0);
        EXPECT_EQ(n.id, MsgPortmap);
        return n.msg;
    }
    // Moves the clock on, and gives the router thread time to see it.
    void advance(uint64_t ms) {
        ll::clockAdvance(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    bool lost() {
        Msg n{};
        return waitUntil([&] { return recv(&n); }) && n == Msg{0, MsgPortmap, "lost"};
    }
};

const uint64_t HalfLife = uint64_t(ll::PortmapLeaseS) * 500;

TEST_F(Lease, RenewedAtHalfLifeAndLostWhenTheRouterStaysSilentForAWholeLease) {
    FakeRouter router(false);
    EXPECT_EQ(open(), External);
    EXPECT_EQ(router.requests(), 1u);
    // Asked again once per half-life, no more often, for the lease asked.
    for (size_t renewals = 1; renewals <= 2; ++renewals) {
        advance(HalfLife - 1);
        EXPECT_EQ(router.requests(), renewals) << "renewed before the half-life";
        advance(1);
        EXPECT_TRUE(waitUntil([&] { return router.requests() == renewals + 1; })) << "not renewed";
    }
    EXPECT_EQ(router.leases(), std::vector<uint32_t>(3, ll::PortmapLeaseS));
    EXPECT_TRUE(drain().empty()) << "renewals are quiet";

    // The router falls silent: asked again, quietly, while the lease lasts
    // (half of what is left, a minute apart at least), told lost once it
    // has run out.
    router.silent = true;
    uint64_t lease = 2 * HalfLife, passed = 0;
    for (; passed + 60000 < lease; passed += 60000) advance(60000);
    advance(lease - 1 - passed);
    EXPECT_TRUE(drain().empty()) << "lost before the lease ran out";
    size_t asked = router.requests() - 3;
    EXPECT_GE(asked, 3u);
    EXPECT_LE(asked, lease / ll::PortmapRetryLeastMs);
    advance(1);
    EXPECT_TRUE(lost());
    // Told once; the router is asked nothing more.
    advance(lease);
    EXPECT_EQ(router.requests(), 3 + asked);
    EXPECT_TRUE(drain().empty());
}

TEST_F(Lease, OneSecondLeaseIsKeptUntilAnotherMachineTakesThePortOrTheRouterRefuses) {
    FakeRouter router(false);
    router.lifetimeS = 1;
    EXPECT_EQ(open(), External);
    for (size_t renewals = 1; renewals <= 2; ++renewals) {
        advance(499);
        EXPECT_EQ(router.requests(), renewals) << "renewed before the half-life";
        advance(1);
        EXPECT_TRUE(waitUntil([&] { return router.requests() == renewals + 1; })) << "not renewed";
    }
    EXPECT_TRUE(drain().empty());
    // Ours lapsed and another machine holds the lobby port: the router maps
    // us to another one.
    router.externalPort = LobbyPort + 1;
    advance(500);
    EXPECT_TRUE(lost());
    advance(60000);
    EXPECT_EQ(router.requests(), 4u);
    EXPECT_TRUE(drain().empty()) << "told once";

    // The next lobby's renewal is refused.
    p2pDisconnect(nullptr);
    router.externalPort = LobbyPort;
    EXPECT_EQ(open(), External);
    router.result = 2; // not authorised
    advance(500);
    EXPECT_TRUE(lost());
}

TEST_F(Lease, PermanentLeaseWhereTheRouterGrantsNoOtherIsNeverRenewed) {
    FakeRouter router(true);
    EXPECT_EQ(open(), External);
    // A lease first; after error 725, a permanent one.
    EXPECT_EQ(router.leases(), (std::vector<uint32_t>{ll::PortmapLeaseS, 0}));
    advance(24 * 3600 * 1000ull);
    EXPECT_EQ(router.requests(), 2u);
    EXPECT_TRUE(drain().empty());
}

} // namespace
