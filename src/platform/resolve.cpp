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

int resolveTcp(const char *address, const char *service, struct addrinfo **out) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return ::getaddrinfo(address, service, &hints, out);
}

const struct addrinfo *resolveNext(const struct addrinfo *ai) { return ai->ai_next; }

int resolveFamily(const struct addrinfo *ai) { return ai->ai_family; }

void resolveText(const struct addrinfo *ai, char *text, size_t size) {
#ifdef _WIN32
    DWORD room = static_cast<DWORD>(size);
#else
    socklen_t room = static_cast<socklen_t>(size);
#endif
    if (::getnameinfo(ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), text, room, nullptr, 0,
                      NI_NUMERICHOST) != 0)
        text[0] = '\0';
}

void resolveFree(struct addrinfo *list) {
    if (list) ::freeaddrinfo(list);
}

} // namespace ll
