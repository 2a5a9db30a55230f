// What the lobby host says to a home router and reads back, with no sockets:
// NAT-PMP messages (RFC 6886), the SSDP search and its answer, HTTP requests
// and answers, the IGD device description and the SOAP calls of its
// WANIPConnection / WANPPPConnection service. Every parser takes untrusted
// bytes of a given length (no terminator needed), never reads past them and
// never writes past its output's capacity; the fuzz targets drive them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ll {

// ---- NAT-PMP ----
const uint16_t NatPmpPort = 5351;
const uint8_t NatPmpOpAddress = 0; // external address request
const uint8_t NatPmpOpMapTcp = 2;  // TCP mapping request
// An answer: the request's opcode + 128, a result code (0 success), and the
// fields of that answer.
struct NatPmpAnswer {
    uint8_t opcode;
    uint16_t result;
    uint32_t address;      // address answers: the external address
    uint16_t internalPort; // mapping answers
    uint16_t externalPort;
    uint32_t lifetimeS;
};
// The two requests; each returns its length (2 and 12 bytes).
size_t natpmpAddressRequest(uint8_t out[2]);
size_t natpmpMapRequest(uint8_t out[12], uint16_t internalPort, uint16_t externalPort,
                        uint32_t lifetimeS);
// False unless the bytes are a whole answer of version 0 to one of the two
// requests.
bool natpmpParse(const uint8_t *data, size_t length, NatPmpAnswer *out);

// ---- SSDP ----
const uint16_t SsdpPort = 1900;
const uint32_t SsdpGroup = 0xEFFFFFFAu; // 239.255.255.250
// The M-SEARCH for an Internet gateway device; returns its length (0 when it
// does not fit `capacity`).
size_t ssdpSearch(char *out, size_t capacity);
// An answer "HTTP/1.1 200" with a LOCATION header: copies the location,
// terminated, into `location` (false when absent or too long).
bool ssdpParse(const char *data, size_t length, char *location, size_t capacity);

// ---- URLs ----
const size_t UrlPathCapacity = 256;
struct HttpUrl {
    uint32_t address; // IPv4 only: routers announce their addresses, not names
    uint16_t port;
    char path[UrlPathCapacity]; // begins with '/'
};
// "http://a.b.c.d[:port][/path]".
bool urlParse(const char *text, size_t length, HttpUrl *out);
// A URL from a description, absolute or relative to `base`.
bool urlResolve(const HttpUrl &base, const char *text, size_t length, HttpUrl *out);

// ---- The device description ----
const size_t ServiceTypeCapacity = 96;
struct IgdService {
    char type[ServiceTypeCapacity]; // urn:schemas-upnp-org:service:WANIPConnection:N or WANPPP...
    HttpUrl control;
};
// Finds the connection services of a description fetched from `location`:
// every WANIPConnection first, then every WANPPPConnection, at most `max`.
// Returns how many.
int descriptionParse(const char *xml, size_t length, const HttpUrl &location, IgdService *out,
                     int max);

// ---- HTTP ----
enum HttpRead { HttpIncomplete, HttpComplete, HttpBad };
struct HttpAnswer {
    int status;
    const char *body; // inside the parsed buffer
    size_t bodyLength;
};
// Parses an answer read so far into `data` (`closed`: the server has closed
// the connection, so a body without a length ends here). A chunked body is
// joined in place.
HttpRead httpParse(char *data, size_t length, bool closed, HttpAnswer *out);
// A GET of the url; returns its length (0 when it does not fit).
size_t httpGet(char *out, size_t capacity, const HttpUrl &url);

// ---- SOAP ----
struct SoapArg {
    const char *name;
    const char *value; // plain text: digits, addresses, words
};
// A POST of `action` of `service` with its arguments; returns its length (0
// when it does not fit).
size_t soapRequest(char *out, size_t capacity, const IgdService &service, const char *action,
                   const SoapArg *args, int count);
// The text of the first element of this local name (any namespace prefix),
// terminated; false when absent or too long.
bool xmlText(const char *xml, size_t length, const char *name, char *out, size_t capacity);
// A SOAP fault's UPnP errorCode, or -1.
int soapErrorCode(const char *xml, size_t length);

} // namespace ll
