#include "events.h"

#include "common/hex.h"
#include "lobbylink/lobbylink.h"
#include "platform.h"
#include "terminal.h"

#include <cstdio>

namespace chat {

namespace {

bool jsonOutput = false;

std::string hexByte(unsigned char c, const char *prefix) {
    char text[8];
    std::snprintf(text, sizeof text, "%s%02x", prefix, c);
    return text;
}

// Text from the network as a terminal may safely show it: control bytes
// become \xNN, UTF-8 passes.
std::string shown(const std::string &text) {
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        out += (c < 0x20 || c == 0x7f) ? hexByte(c, "\\x") : std::string(1, ch);
    }
    return out;
}

// The trace's view: printable ASCII as it is, every other byte as \xNN.
std::string raw(const std::string &text) {
    std::string out;
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        bool plain = c >= 0x20 && c < 0x7f && c != '\\' && c != '"';
        out += plain ? std::string(1, ch) : hexByte(c, "\\x");
    }
    return out;
}

// Length of the valid UTF-8 sequence at text[i], or 0.
size_t utf8Length(const std::string &text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if ((c == 0xe0 && second < 0xa0) || (c == 0xed && second > 0x9f) ||
        (c == 0xf0 && second < 0x90) || (c == 0xf4 && second > 0x8f))
        return 0; // overlong, surrogate or beyond U+10FFFF
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return 0;
    return n;
}

// A JSON string. Bytes that are not UTF-8 become \u00XX (read as Latin-1);
// --trace gives the exact bytes in hex.
std::string jsonString(const std::string &text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c >= 0x20 && c < 0x80) {
            out += static_cast<char>(c);
        } else if (size_t n = c >= 0x80 ? utf8Length(text, i) : 0) {
            out.append(text, i, n);
            i += n - 1;
        } else { // a control character, or a byte that starts no UTF-8 character
            out += hexByte(c, "\\u00");
        }
    }
    return out + "\"";
}

std::string receiver(const Event &e) {
    return e.member == BroadcastId ? "everybody" : memberLabel(e.member, e.name);
}

std::string asText(const Event &e) {
    std::string id = " (id " + std::to_string(e.msgId) + "): ";
    switch (e.kind) {
    case EventMessage:
        return memberLabel(e.member, e.name) + id + shown(e.text);
    case EventJoined:
        return "* " + memberLabel(e.member, e.name) + " joined";
    case EventLeft:
        return "* " + memberLabel(e.member, e.name) + " left";
    case EventLost:
        return "! lost the connection to the lobby host";
    case EventOverflow:
        return "! the send queue overflowed: the connection is closed";
    case EventSent:
        return "you -> " + receiver(e) + id + shown(e.text);
    case EventInfo:
        return "* " + e.text;
    case EventProblem:
        return "! " + e.text;
    case EventMember: {
        std::string line = "- " + memberLabel(e.member, e.name);
        if (e.member == HostId) line += " lobby host";
        if (e.you) line += " (you)";
        if (e.room >= 0) line += ", queue room " + std::to_string(e.room) + " bytes";
        return line;
    }
    case EventTrace:
        return "trace " + wallClock() + " usr=" + std::to_string(e.rawUsr) +
               " id=" + std::to_string(e.rawId) + " len=" + std::to_string(e.text.size()) + " \"" +
               raw(e.text) + "\"";
    }
    return "";
}

std::string asJson(const Event &e) {
    std::string member = std::to_string(e.member), name = jsonString(e.name);
    std::string id = std::to_string(e.msgId), text = jsonString(e.text);
    switch (e.kind) {
    case EventMessage:
        return "{\"event\":\"message\",\"from\":" + member + ",\"name\":" + name + ",\"id\":" + id +
               ",\"text\":" + text + "}";
    case EventJoined:
    case EventLeft:
        return std::string("{\"event\":\"") + (e.kind == EventJoined ? "join" : "leave") +
               "\",\"member\":" + member + ",\"name\":" + name + "}";
    case EventLost:
    case EventOverflow:
        return std::string("{\"event\":\"") + (e.kind == EventLost ? "lost" : "overflow") +
               "\",\"text\":" + jsonString(asText(e).substr(2)) + "}";
    case EventSent:
        return "{\"event\":\"sent\",\"to\":" + member +
               (e.member == BroadcastId ? "" : ",\"name\":" + name) + ",\"id\":" + id +
               ",\"text\":" + text + "}";
    case EventInfo:
    case EventProblem:
        return std::string("{\"event\":\"") + (e.kind == EventInfo ? "info" : "error") +
               "\",\"text\":" + text + "}";
    case EventMember:
        return "{\"event\":\"member\",\"member\":" + member + ",\"name\":" + name +
               ",\"you\":" + (e.you ? "true" : "false") +
               (e.room >= 0 ? ",\"room\":" + std::to_string(e.room) : "") + "}";
    case EventTrace:
        return "{\"event\":\"trace\",\"time\":\"" + wallClock() +
               "\",\"usr\":" + std::to_string(e.rawUsr) + ",\"id\":" + std::to_string(e.rawId) +
               ",\"length\":" + std::to_string(e.text.size()) + ",\"hex\":\"" +
               tools::toHex(e.text) + "\"}";
    }
    return "";
}

} // namespace

void setJsonOutput(bool json) { jsonOutput = json; }

void emit(const Event &event) { terminalPrint(jsonOutput ? asJson(event) : asText(event)); }

void say(const std::string &words) {
    Event e;
    e.kind = EventInfo;
    e.text = words;
    emit(e);
}

void complain(const std::string &words) {
    Event e;
    e.kind = EventProblem;
    e.text = words;
    emit(e);
}

std::string memberLabel(int id, const std::string &name) {
    return id == 0 ? shown(name) : shown(name) + " [" + std::to_string(id) + "]";
}

} // namespace chat
