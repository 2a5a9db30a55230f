// Name resolution for the client role. getaddrinfo has the same interface
// over Winsock and POSIX; only the header differs.
#include "platform/platform.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace ll {

int resolveTcp(const char *host, const char *service, struct addrinfo **out) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return ::getaddrinfo(host, service, &hints, out);
}

const struct addrinfo *resolveNext(const struct addrinfo *ai) { return ai->ai_next; }

void resolveFree(struct addrinfo *list) {
    if (list) ::freeaddrinfo(list);
}

} // namespace ll
