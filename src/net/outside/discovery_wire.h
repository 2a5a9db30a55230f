// The two datagrams of LAN discovery, with no sockets: a player's query,
// sent to the directed broadcast address of each of its networks, and a
// lobby host's answer. Both start with a three-byte magic and a kind byte,
// then the protocol version. The parsers take untrusted bytes of a given
// length, accept exactly the layouts below and nothing else, and never read
// past them; the fuzz target drives them.
//
//   query:  'L' 'L' 'D' 'Q' version                              (5 bytes)
//   answer: 'L' 'L' 'D' 'A' version members flags length name   (8 + length)
//
// members is the lobby host and its clients (1..254), flags bit 0 a private
// lobby (the other bits 0), length the name's bytes (1..63, none of them 0).
#pragma once

#include "net/base/limits.h"

#include <cstddef>
#include <cstdint>

namespace ll {

// The lobby protocol this library speaks. A player lists only lobbies that
// answer with the same version: it could not join the others.
const uint8_t DiscoveryVersion = 1;
const size_t DiscoveryQuerySize = 5;
const size_t DiscoveryAnswerHead = 8;
const size_t DiscoveryAnswerMax = DiscoveryAnswerHead + MaxNameLength;

struct DiscoveryAnswer {
    uint8_t version;
    uint8_t members;
    bool isPrivate;
    uint8_t nameLength;
    char name[HandshakeLimit]; // nameLength bytes and a terminator
};

// Writes the query; returns its length.
size_t discoveryQuery(uint8_t out[DiscoveryQuerySize]);
// True for a query of any version (the answer tells the player ours).
bool discoveryQueryParse(const uint8_t *data, size_t length);

// Writes the answer for a lobby (a name of 1..MaxNameLength bytes, members
// 1..MaxClients + 1); returns its length, 0 when the values do not fit.
size_t discoveryAnswer(uint8_t out[DiscoveryAnswerMax], uint8_t members, bool isPrivate,
                       const char *name, size_t nameLength);
bool discoveryAnswerParse(const uint8_t *data, size_t length, DiscoveryAnswer *out);

// The text of the notice for an answer from `address` (host order):
// "ADDRESS MEMBERS open|private NAME", the name last and only its printable
// ASCII characters. Returns its length; the text is terminated.
// The dotted quad, a space, up to three digits, " private ", the name and
// the terminator.
const size_t DiscoveryNoticeMax = 15 + 1 + 3 + 9 + MaxNameLength + 1;
size_t discoveryNotice(uint32_t address, const DiscoveryAnswer &answer,
                       char out[DiscoveryNoticeMax]);

} // namespace ll
