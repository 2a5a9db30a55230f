// What a home router (or anything on the LAN pretending to be one) sends the
// lobby host, through the parsers of portmap_wire: the first byte picks the
// kind, the rest is the answer, in a heap block of exactly its size so a
// read past its end is caught. 0: a NAT-PMP answer; 1: an SSDP answer and
// the URL in it; 2: an HTTP answer carrying a device description; 3: an
// HTTP answer carrying a SOAP answer (with bit 2 set: the connection has
// closed after it). Besides not crashing, each parser must
// keep what it promises: terminated outputs within their capacity, a body
// inside the answer, control URLs that are paths, addresses that print back
// as they were read.
#include "fuzz/harness.h"

#include "net/base/address.h"
#include "net/outside/portmap_wire.h"

#include <cstring>
#include <vector>

using namespace ll;

namespace {

void checkUrl(const HttpUrl &u) {
    size_t n = strnlen(u.path, sizeof u.path);
    FZ_CHECK(n < sizeof u.path && n > 0 && u.path[0] == '/', "url path \"%.*s\"",
             static_cast<int>(n), u.path);
    FZ_CHECK(u.port != 0, "url port 0");
}

// An address that parsed prints back as the same four numbers.
void checkAddress(const char *text, size_t length) {
    uint32_t a;
    if (!ipv4Parse(text, length, &a)) return;
    char printed[16];
    size_t n = ipv4Format(a, printed);
    uint32_t again;
    FZ_CHECK(n < 16 && ipv4Parse(printed, n, &again) && again == a,
             "address \"%.*s\" printed as \"%s\"", static_cast<int>(length), text, printed);
}

void natpmp(const uint8_t *data, size_t size) {
    NatPmpAnswer a;
    if (!natpmpParse(data, size, &a)) return;
    FZ_CHECK(a.opcode == 128 || a.opcode == 130, "opcode %u taken", a.opcode);
    FZ_CHECK(size >= (a.opcode == 128 ? 12u : 16u), "short answer of %zu bytes taken", size);
}

void ssdp(const char *data, size_t size) {
    char location[300];
    std::memset(location, 'x', sizeof location);
    if (!ssdpParse(data, size, location, 280)) return;
    size_t n = strnlen(location, 280);
    FZ_CHECK(n < 280, "location not terminated within its capacity");
    FZ_CHECK(location[281] == 'x', "location written past its capacity");
    HttpUrl u;
    if (urlParse(location, n, &u)) checkUrl(u);
    checkAddress(location, n);
}

// The answer's body, or null.
const char *body(char *data, size_t size, bool closed, size_t *length) {
    HttpAnswer a;
    HttpRead r = httpParse(data, size, closed, &a);
    if (r != HttpComplete) return nullptr;
    FZ_CHECK(a.body >= data && a.body + a.bodyLength <= data + size, "body outside the answer");
    FZ_CHECK(a.status >= 0 && a.status <= 999, "status %d", a.status);
    *length = a.bodyLength;
    return a.body;
}

void description(char *data, size_t size, bool closed) {
    size_t length;
    const char *xml = body(data, size, closed, &length);
    if (!xml) return;
    HttpUrl location;
    FZ_CHECK(urlParse("http://127.77.0.1:5555/dev/rootDesc.xml", 39, &location), "base url");
    IgdService services[4];
    int n = descriptionParse(xml, length, location, services, 4);
    FZ_CHECK(n >= 0 && n <= 4, "%d services", n);
    for (int i = 0; i < n; ++i) {
        size_t t = strnlen(services[i].type, sizeof services[i].type);
        FZ_CHECK(t < sizeof services[i].type, "service type not terminated");
        checkUrl(services[i].control);
        // The request to it can be built, and its body reads back.
        char request[2048];
        const SoapArg args[] = {{"NewExternalPort", "31903"}};
        size_t r = soapRequest(request, sizeof request, services[i], "GetSpecificPortMappingEntry",
                               args, 1);
        if (r == 0) continue;
        char text[16];
        FZ_CHECK(r < sizeof request && xmlText(request, r, "NewExternalPort", text, sizeof text) &&
                     std::strcmp(text, "31903") == 0,
                 "request to service %d does not read back", i);
    }
}

void soap(char *data, size_t size, bool closed) {
    size_t length;
    const char *xml = body(data, size, closed, &length);
    if (!xml) return;
    int code = soapErrorCode(xml, length);
    FZ_CHECK(code >= -1 && code <= 999999, "error code %d", code);
    char text[64];
    std::memset(text, 'x', sizeof text);
    if (xmlText(xml, length, "NewExternalIPAddress", text, 40)) {
        size_t n = strnlen(text, 40);
        FZ_CHECK(n < 40 && text[41] == 'x', "element text beyond its capacity");
        checkAddress(text, n);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    uint8_t kind = data[0] % 4;
    bool closed = (data[0] & 4) != 0;                // HTTP: the server has closed the connection
    std::vector<char> answer(data + 1, data + size); // exactly the answer's bytes
    char *p = answer.empty() ? nullptr : answer.data();
    switch (kind) {
    case 0:
        natpmp(reinterpret_cast<const uint8_t *>(p), answer.size());
        break;
    case 1:
        ssdp(p, answer.size());
        break;
    case 2:
        description(p, answer.size(), closed);
        break;
    case 3:
        soap(p, answer.size(), closed);
        break;
    }
    return 0;
}
