// IPv4 addresses as dotted-quad text, shared by the conversations that read
// or write them (the home router's, LAN discovery's). No sockets, no state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ll {

// Dotted-quad IPv4 text, exactly four decimal parts of 0..255; the address
// in host order.
bool ipv4Parse(const char *text, size_t length, uint32_t *address);
// Writes the dotted quad and its terminator; returns its length.
size_t ipv4Format(uint32_t address, char out[16]);

} // namespace ll
