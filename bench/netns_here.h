// Moves the calling process into a network namespace of its own with only
// loopback up, so a benchmark owns the lobby port and its traffic meets
// nothing else on the machine. Needs the privilege to make namespaces.
#pragma once

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

inline bool enterPrivateNetwork(std::string *why) {
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strcpy(ifr.ifr_name, "lo");
    bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (!ok) *why = std::string("bringing lo up: ") + std::strerror(errno);
    if (s >= 0) close(s);
    return ok;
}
