// Inside the platform layer only: the system's socket headers, and the calls
// each build implements (posix.cpp, win32.cpp) for the code both builds
// share (sockets.cpp).
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace ll {

#ifdef _WIN32
typedef int SockLength; // the length of a socket address, as the system takes it
#else
typedef socklen_t SockLength;
#endif

// address:port (host order) as the system's IPv4 socket address.
sockaddr_in ipv4SockAddr(uint32_t address, uint16_t port);

// The one connect: starts connecting the non-blocking `s` to `to`. 1
// connected at once, 0 under way, -1 failed, read from the system's error.
int connectTo(Socket s, const sockaddr *to, int length);
// A TCP socket of `family` for listening, close-on-exec / not inherited.
Socket listenerSocket(int family);
// IPv4 connections arrive on the IPv6 socket `s` too, as mapped addresses.
bool acceptIpv4Too(Socket s);
// Binds `s` for listening on `addr`; after a failure, addressTaken() tells
// whether the port is another socket's (or forbidden to us).
bool bindListener(Socket s, const sockaddr *addr, int length);
bool addressTaken();

} // namespace ll
