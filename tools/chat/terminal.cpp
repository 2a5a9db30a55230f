#include "terminal.h"

#include "platform.h"

#include <cstdio>

namespace chat {

namespace {

const char Prompt[] = "> ";

struct Terminal {
    bool interactive = false;
    bool escapes = true; // "\r\x1b[K" erases the line
    bool ended = false;
    std::string typed; // the line so far
    bool tooLong = false;
    bool hasZero = false;
    int escape = 0; // 1 after ESC, 2 inside a control sequence
};

Terminal term;

void write(const std::string &bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    // Nobody reads any more (a closed pipe): that ends the session like the
    // end of the input.
    if (std::fflush(stdout) != 0) term.ended = true;
}

std::string eraseLine() {
    if (term.escapes) return "\r\x1b[K";
    return "\r" + std::string(static_cast<size_t>(terminalColumns() - 1), ' ') + "\r";
}

// The prompt and as much of the end of the typed line as fits on one row.
std::string promptLine() {
    size_t room = static_cast<size_t>(terminalColumns()) - sizeof Prompt;
    size_t from = term.typed.size() > room ? term.typed.size() - room : 0;
    while (from < term.typed.size() && (term.typed[from] & 0xC0) == 0x80) ++from;
    return Prompt + term.typed.substr(from);
}

void finishLine(std::vector<InputLine> *lines) {
    InputLine line;
    line.tooLong = term.tooLong;
    line.hasZero = term.hasZero;
    if (!term.tooLong) line.text = term.typed;
    lines->push_back(line);
    term.typed.clear();
    term.tooLong = term.hasZero = false;
}

void keep(char c) {
    if (c == 0) term.hasZero = true;
    if (term.typed.size() < MaxInputLine)
        term.typed += c;
    else
        term.tooLong = true;
}

// A line from a pipe or a file: everything up to "\n", a "\r" before it dropped.
void takePiped(const char *bytes, int n, std::vector<InputLine> *lines) {
    for (int i = 0; i < n; ++i) {
        if (bytes[i] != '\n') {
            keep(bytes[i]);
            continue;
        }
        if (!term.typed.empty() && term.typed.back() == '\r') term.typed.pop_back();
        finishLine(lines);
    }
}

// Inside an escape sequence (arrows and the like): true while it swallows `c`.
bool swallowEscape(unsigned char c) {
    if (term.escape == 1) {
        term.escape = (c == '[' || c == 'O') ? 2 : 0;
        return true;
    }
    if (term.escape == 2) {
        if (c >= 0x40 && c <= 0x7e) term.escape = 0;
        return true;
    }
    if (c == 0x1b) {
        term.escape = 1;
        return true;
    }
    return false;
}

// Backspace takes the last character, with all the bytes of a UTF-8 one.
void eraseLast() {
    while (!term.typed.empty() && (term.typed.back() & 0xC0) == 0x80) term.typed.pop_back();
    if (!term.typed.empty()) term.typed.pop_back();
}

// Keys from a raw terminal: printable bytes (UTF-8 passes), Backspace,
// Ctrl-U, Enter, Ctrl-D on an empty line; escape sequences (arrows and
// the like) are swallowed.
void takeKeys(const char *bytes, int n, std::vector<InputLine> *lines) {
    for (int i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (swallowEscape(c)) continue;
        if (c == '\r' || c == '\n')
            finishLine(lines);
        else if (c == 0x7f || c == 0x08)
            eraseLast();
        else if (c == 0x15)
            term.typed.clear();
        else if (c == 0x04 && term.typed.empty())
            term.ended = true;
        else if (c >= 0x20 && term.typed.size() < MaxInputLine)
            term.typed += static_cast<char>(c);
    }
    write(eraseLine() + promptLine());
}

} // namespace

void terminalStart() {
    term.interactive = interactiveTerminal();
    if (!term.interactive) return;
    terminalRaw();
    term.escapes = terminalEscapes();
    write(promptLine());
}

void terminalStop() {
    if (!term.interactive) return;
    write(eraseLine());
    terminalRestore();
    term.interactive = false;
}

bool terminalPoll(int waitMs, std::vector<InputLine> *lines) {
    if (term.ended) return false;
    char bytes[4096];
    int n = inputRead(bytes, sizeof bytes, waitMs < 0 ? 0 : waitMs);
    if (n > 0 && term.interactive) {
        takeKeys(bytes, n, lines);
    } else if (n > 0) {
        takePiped(bytes, n, lines);
    } else if (n < 0) {
        // The last line of a file may lack its "\n".
        if (!term.typed.empty() || term.tooLong) finishLine(lines);
        term.ended = true;
    }
    return !term.ended;
}

void terminalPrint(const std::string &line) {
    if (term.interactive)
        write(eraseLine() + line + "\n" + promptLine());
    else
        write(line + "\n");
}

} // namespace chat
