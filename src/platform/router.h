// The platform calls of the conversation with the home router (portmap.cpp):
// the default gateway, UDP datagrams, and TCP connections that are started
// and then waited for in slices. IPv4 addresses and ports in host order.
// router_posix.cpp and router_win32.cpp implement it; sockets are closed
// with sockClose and received from with sockRecv (platform.h).
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace ll {

// The gateway of the IPv4 default route; false when there is none. Linux
// asks the kernel's routing table over netlink; Windows asks iphlpapi,
// loaded only for this call so the library imports nothing beyond Winsock.
bool defaultGateway4(uint32_t *gateway);

// Non-blocking IPv4 sockets, close-on-exec / not inherited like every other.
Socket udpOpen4();
Socket tcpOpen4();
// Connects to address:port. A UDP socket then takes datagrams from there
// only, and a refusal from that address (port unreachable) makes the next
// receive fail. A TCP connect is started: 1 connected, 0 under way (wait
// with sockWaitWritable, then ask sockConnected), -1 failed.
int sockConnect4(Socket s, uint32_t address, uint16_t port);
// 1 writable (or a started connect has ended either way), 0 timed out, -1 error.
int sockWaitWritable(Socket s, int timeoutMs);
bool sockConnected(Socket s);
// One datagram to address:port; the byte count or an IoOutcome.
int sockSendTo4(Socket s, uint32_t address, uint16_t port, const void *data, int length);
// The local address of a connected socket: the one this machine uses
// towards its peer.
bool sockLocal4(Socket s, uint32_t *address);
// Waits until `a` or `b` (either may be InvalidSocket) is readable: bit 0
// for a, bit 1 for b; 0 timed out; -1 error.
int sockWaitEither(Socket a, Socket b, int timeoutMs);

} // namespace ll
