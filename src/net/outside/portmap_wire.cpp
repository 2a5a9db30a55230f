#include "net/outside/portmap_wire.h"

#include "net/base/address.h"

#include <cstring>

namespace ll {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(const char *data, size_t length, const char *word) {
    size_t n = std::strlen(word);
    if (length < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(data[i]) != lower(word[i])) return false;
    return true;
}

// The first occurrence of `word` in data[0, length), or null.
const char *find(const char *data, size_t length, const char *word) {
    size_t n = std::strlen(word);
    for (size_t i = 0; n <= length && i <= length - n; ++i)
        if (std::memcmp(data + i, word, n) == 0) return data + i;
    return nullptr;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Copies text[0, length) without surrounding white space, terminated.
bool copyTrimmed(const char *text, size_t length, char *out, size_t capacity) {
    while (length && isSpace(text[0])) ++text, --length;
    while (length && isSpace(text[length - 1])) --length;
    if (length >= capacity) return false;
    std::memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

// Appends to a bounded buffer; `ok` turns false for good when one part does
// not fit.
struct Writer {
    char *out;
    size_t capacity;
    size_t length;
    bool ok;
    void text(const char *s) { bytes(s, std::strlen(s)); }
    void bytes(const char *s, size_t n) {
        if (!ok || length + n >= capacity) {
            ok = false;
            return;
        }
        std::memcpy(out + length, s, n);
        length += n;
        out[length] = '\0';
    }
    void number(uint32_t v) {
        char digits[11];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + v % 10);
        while ((v /= 10) != 0);
        while (n) bytes(&digits[--n], 1);
    }
    size_t done() const { return ok ? length : 0; }
};

void writeHost(Writer &w, const HttpUrl &url) {
    char quad[16];
    ipv4Format(url.address, quad);
    w.text("Host: ");
    w.text(quad);
    w.text(":");
    w.number(url.port);
    w.text("\r\n");
}

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t *p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p + 2, static_cast<uint16_t>(v));
}

// A hexadecimal chunk size; false when there is none or it is absurd.
bool hexSize(const char *p, size_t length, size_t *value, size_t *used) {
    size_t v = 0, i = 0;
    for (; i < length; ++i) {
        char c = lower(p[i]);
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (d < 0) break;
        if (v > (static_cast<size_t>(1) << 24)) return false;
        v = v * 16 + static_cast<size_t>(d);
    }
    if (i == 0) return false;
    *value = v;
    *used = i;
    return true;
}

} // namespace

// ---- NAT-PMP ----

size_t natpmpAddressRequest(uint8_t out[2]) {
    out[0] = 0; // version
    out[1] = NatPmpOpAddress;
    return 2;
}

size_t natpmpMapRequest(uint8_t out[12], uint16_t internalPort, uint16_t externalPort,
                        uint32_t lifetimeS) {
    out[0] = 0;
    out[1] = NatPmpOpMapTcp;
    put16(out + 2, 0); // reserved
    put16(out + 4, internalPort);
    put16(out + 6, externalPort);
    put32(out + 8, lifetimeS);
    return 12;
}

bool natpmpParse(const uint8_t *data, size_t length, NatPmpAnswer *out) {
    if (length < 8 || data[0] != 0) return false;
    std::memset(out, 0, sizeof *out);
    out->opcode = data[1];
    out->result = get16(data + 2);
    // data[4..7]: seconds since the router's mappings were reset, unused.
    if (out->opcode == 128 + NatPmpOpAddress) {
        if (length < 12) return false;
        out->address = get32(data + 8);
        return true;
    }
    if (out->opcode == 128 + NatPmpOpMapTcp) {
        if (length < 16) return false;
        out->internalPort = get16(data + 8);
        out->externalPort = get16(data + 10);
        out->lifetimeS = get32(data + 12);
        return true;
    }
    return false;
}

// ---- SSDP ----

size_t ssdpSearch(char *out, size_t capacity) {
    Writer w{out, capacity, 0, true};
    w.text("M-SEARCH * HTTP/1.1\r\n"
           "HOST: 239.255.255.250:1900\r\n"
           "MAN: \"ssdp:discover\"\r\n"
           "MX: 1\r\n"
           "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n"
           "\r\n");
    return w.done();
}

bool ssdpParse(const char *data, size_t length, char *location, size_t capacity) {
    if (!startsWithNoCase(data, length, "HTTP/1.1 200") &&
        !startsWithNoCase(data, length, "HTTP/1.0 200"))
        return false;
    size_t at = 0;
    while (at < length) {
        size_t end = at;
        while (end < length && data[end] != '\n') ++end;
        const char *line = data + at;
        size_t n = end - at;
        if (startsWithNoCase(line, n, "location:"))
            return copyTrimmed(line + 9, n - 9, location, capacity);
        at = end + 1;
    }
    return false;
}

// ---- URLs ----

bool urlParse(const char *text, size_t length, HttpUrl *out) {
    while (length && isSpace(text[0])) ++text, --length;
    while (length && isSpace(text[length - 1])) --length;
    if (!startsWithNoCase(text, length, "http://")) return false;
    size_t i = 7, hostStart = 7;
    while (i < length && text[i] != ':' && text[i] != '/') ++i;
    if (!ipv4Parse(text + hostStart, i - hostStart, &out->address)) return false;
    out->port = 80;
    if (i < length && text[i] == ':') {
        uint32_t port = 0;
        size_t digits = 0;
        for (++i; i < length && text[i] >= '0' && text[i] <= '9' && digits < 5; ++i, ++digits)
            port = port * 10 + static_cast<uint32_t>(text[i] - '0');
        if (digits == 0 || port == 0 || port > 65535) return false;
        out->port = static_cast<uint16_t>(port);
    }
    if (i == length) return copyTrimmed("/", 1, out->path, sizeof out->path);
    if (text[i] != '/') return false;
    return copyTrimmed(text + i, length - i, out->path, sizeof out->path);
}

bool urlResolve(const HttpUrl &base, const char *text, size_t length, HttpUrl *out) {
    while (length && isSpace(text[0])) ++text, --length;
    if (startsWithNoCase(text, length, "http://")) return urlParse(text, length, out);
    out->address = base.address;
    out->port = base.port;
    if (length && text[0] == '/') return copyTrimmed(text, length, out->path, sizeof out->path);
    // Relative to the base's directory.
    size_t dir = std::strlen(base.path);
    while (dir && base.path[dir - 1] != '/') --dir;
    if (dir == 0 || dir + length >= sizeof out->path) return false;
    char joined[UrlPathCapacity];
    std::memcpy(joined, base.path, dir);
    std::memcpy(joined + dir, text, length);
    return copyTrimmed(joined, dir + length, out->path, sizeof out->path);
}

// ---- The device description ----

int descriptionParse(const char *xml, size_t length, const HttpUrl &location, IgdService *out,
                     int max) {
    // Relative control URLs are relative to URLBase where the description
    // gives one, else to the description's own URL.
    HttpUrl base = location;
    char text[UrlPathCapacity + 32];
    if (xmlText(xml, length, "URLBase", text, sizeof text) && text[0]) {
        HttpUrl given;
        if (urlParse(text, std::strlen(text), &given)) base = given;
    }
    static const char *const kinds[] = {"urn:schemas-upnp-org:service:WANIPConnection:",
                                        "urn:schemas-upnp-org:service:WANPPPConnection:"};
    int found = 0;
    for (const char *kind : kinds) {
        const char *at = xml;
        size_t left = length;
        while (found < max) {
            const char *open = find(at, left, "<service>");
            if (!open) break;
            size_t rest = length - static_cast<size_t>(open - xml);
            const char *close = find(open, rest, "</service>");
            size_t block = close ? static_cast<size_t>(close - open) : rest;
            IgdService &s = out[found];
            if (xmlText(open, block, "serviceType", s.type, sizeof s.type) &&
                std::strncmp(s.type, kind, std::strlen(kind)) == 0 &&
                xmlText(open, block, "controlURL", text, sizeof text) &&
                urlResolve(base, text, std::strlen(text), &s.control))
                ++found;
            at = open + block;
            left = length - static_cast<size_t>(at - xml);
            if (!close) break;
        }
    }
    return found;
}

// ---- HTTP ----

namespace {

// "HTTP/1.x NNN": the status, or -1.
int statusOf(const char *head, size_t headLength) {
    if (headLength < 12 || head[8] != ' ') return -1;
    int status = 0;
    for (int i = 9; i < 12; ++i) {
        if (head[i] < '0' || head[i] > '9') return -1;
        status = status * 10 + (head[i] - '0');
    }
    return status;
}

// How the body ends: with its last chunk, after Content-Length bytes, or
// when the router closes the connection.
struct Framing {
    bool chunked;
    bool sized;
    size_t contentLength;
};

// The value of a "Content-Length:" line; false without digits.
bool contentLengthOf(const char *line, size_t n, size_t *value) {
    size_t i = 15;
    while (i < n && isSpace(line[i])) ++i;
    size_t v = 0, digits = 0;
    for (; i < n && line[i] >= '0' && line[i] <= '9' && digits < 9; ++i, ++digits)
        v = v * 10 + static_cast<size_t>(line[i] - '0');
    if (digits == 0) return false;
    *value = v;
    return true;
}

// The head's lines that frame the body; false for a Content-Length without
// a number.
bool framingOf(const char *head, size_t headLength, Framing *f) {
    *f = Framing{false, false, 0};
    for (size_t at = 0; at < headLength;) {
        size_t end = at;
        while (end < headLength && head[end] != '\n') ++end;
        const char *line = head + at;
        size_t n = end - at;
        if (startsWithNoCase(line, n, "content-length:")) {
            if (!contentLengthOf(line, n, &f->contentLength)) return false;
            f->sized = true;
        } else if (startsWithNoCase(line, n, "transfer-encoding:") && find(line, n, "chunked")) {
            f->chunked = true;
        }
        at = end + 1;
    }
    return true;
}

// One pass over a chunked body: each chunk is "SIZE[;ext]\r\n" + bytes +
// "\r\n", the last of size 0. Without `join` it only checks that all are
// there; with it, it joins them in place. *joined: the joined length.
HttpRead chunkPass(char *body, size_t available, bool closed, bool join, size_t *joined) {
    const HttpRead shortOf = closed ? HttpBad : HttpIncomplete;
    size_t read = 0;
    *joined = 0;
    for (;;) {
        size_t size, used;
        if (read >= available) return shortOf;
        if (!hexSize(body + read, available - read, &size, &used)) return HttpBad;
        const char *eol = find(body + read + used, available - read - used, "\r\n");
        if (!eol) return shortOf;
        size_t dataAt = static_cast<size_t>(eol - body) + 2;
        if (size == 0) return HttpComplete;
        if (available - dataAt < size + 2) return shortOf;
        // `read` stays ahead of `joined`: nothing unread is overwritten.
        if (join) std::memmove(body + *joined, body + dataAt, size);
        *joined += size;
        read = dataAt + size + 2;
    }
}

// The first pass checks, the second joins: an incomplete answer is left as
// it was for the next read.
HttpRead chunkedBody(char *body, size_t available, bool closed, HttpAnswer *out) {
    size_t joined = 0;
    HttpRead checked = chunkPass(body, available, closed, false, &joined);
    if (checked != HttpComplete) return checked;
    chunkPass(body, available, closed, true, &joined);
    out->body = body;
    out->bodyLength = joined;
    return HttpComplete;
}

} // namespace

HttpRead httpParse(char *data, size_t length, bool closed, HttpAnswer *out) {
    const char *headEnd = find(data, length, "\r\n\r\n");
    if (!headEnd) return closed ? HttpBad : HttpIncomplete;
    size_t headLength = static_cast<size_t>(headEnd - data) + 4;
    if (!startsWithNoCase(data, length, "HTTP/1.")) return HttpBad;
    int status = statusOf(data, headLength);
    Framing framing;
    if (status < 0 || !framingOf(data, headLength, &framing)) return HttpBad;
    out->status = status;
    char *body = data + headLength;
    size_t available = length - headLength;
    if (framing.chunked) return chunkedBody(body, available, closed, out);
    size_t bodyLength = available;
    if (framing.sized) {
        if (available < framing.contentLength) return closed ? HttpBad : HttpIncomplete;
        bodyLength = framing.contentLength;
    } else if (!closed) {
        return HttpIncomplete;
    }
    out->body = body;
    out->bodyLength = bodyLength;
    return HttpComplete;
}

size_t httpGet(char *out, size_t capacity, const HttpUrl &url) {
    Writer w{out, capacity, 0, true};
    w.text("GET ");
    w.text(url.path);
    w.text(" HTTP/1.1\r\n");
    writeHost(w, url);
    w.text("Connection: close\r\n\r\n");
    return w.done();
}

// ---- SOAP ----

size_t soapRequest(char *out, size_t capacity, const IgdService &service, const char *action,
                   const SoapArg *args, int count) {
    // The body first, at the end of the buffer's second half, to know its
    // length; then the head and the body in place.
    Writer body{out + capacity / 2, capacity - capacity / 2, 0, true};
    body.text("<?xml version=\"1.0\"?>\r\n<s:Envelope "
              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:");
    body.text(action);
    body.text(" xmlns:u=\"");
    body.text(service.type);
    body.text("\">");
    for (int i = 0; i < count; ++i) {
        body.text("<");
        body.text(args[i].name);
        body.text(">");
        body.text(args[i].value);
        body.text("</");
        body.text(args[i].name);
        body.text(">");
    }
    body.text("</u:");
    body.text(action);
    body.text("></s:Body></s:Envelope>\r\n");
    if (!body.ok) return 0;
    Writer w{out, capacity / 2, 0, true};
    w.text("POST ");
    w.text(service.control.path);
    w.text(" HTTP/1.1\r\n");
    writeHost(w, service.control);
    w.text("Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"");
    w.text(service.type);
    w.text("#");
    w.text(action);
    w.text("\"\r\nContent-Length: ");
    w.number(static_cast<uint32_t>(body.length));
    w.text("\r\nConnection: close\r\n\r\n");
    if (!w.ok) return 0;
    std::memmove(out + w.length, out + capacity / 2, body.length + 1);
    return w.length + body.length;
}

namespace {

// Whether xml[i] opens a tag called `name`, any prefix dropped; *nameEnd:
// where its name ends (at white space, '>' or '/').
bool opensTag(const char *xml, size_t length, size_t i, const char *name, size_t *nameEnd) {
    if (xml[i] != '<' || i + 1 >= length || xml[i + 1] == '/') return false;
    size_t start = i + 1, end = start;
    while (end < length && !isSpace(xml[end]) && xml[end] != '>' && xml[end] != '/') ++end;
    size_t local = start;
    for (size_t k = start; k < end; ++k)
        if (xml[k] == ':') local = k + 1;
    size_t nameLength = std::strlen(name);
    *nameEnd = end;
    return end - local == nameLength && std::memcmp(xml + local, name, nameLength) == 0;
}

// The text of the element whose tag's name ends at xml[nameEnd].
bool elementText(const char *xml, size_t length, size_t nameEnd, char *out, size_t capacity) {
    size_t gt = nameEnd;
    while (gt < length && xml[gt] != '>') ++gt;
    if (gt >= length) return false;
    if (xml[gt - 1] == '/') return copyTrimmed("", 0, out, capacity); // <name/>
    size_t textStart = gt + 1, textEnd = textStart;
    while (textEnd < length && xml[textEnd] != '<') ++textEnd;
    if (textEnd >= length) return false;
    return copyTrimmed(xml + textStart, textEnd - textStart, out, capacity);
}

} // namespace

bool xmlText(const char *xml, size_t length, const char *name, char *out, size_t capacity) {
    size_t nameEnd = 0;
    for (size_t i = 0; i < length; ++i)
        if (opensTag(xml, length, i, name, &nameEnd))
            return elementText(xml, length, nameEnd, out, capacity);
    return false;
}

int soapErrorCode(const char *xml, size_t length) {
    char text[12];
    if (!xmlText(xml, length, "errorCode", text, sizeof text)) return -1;
    int code = 0;
    if (!text[0]) return -1;
    for (const char *p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || code > 99999) return -1;
        code = code * 10 + (*p - '0');
    }
    return code;
}

} // namespace ll
