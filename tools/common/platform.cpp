// The tools' operating-system shim: POSIX (termios, poll, fork and exec) and
// Windows (console input, pipes, CreateProcess), same declarations.
#include "common/platform.h"

#include <cstdio>
#include <ctime>

#ifdef _WIN32

#include <winsock2.h>
#include <windows.h>
// After windows.h: RtlGenRandom, the system's random source (ADVAPI32), and
// the interfaces' list (IPHLPAPI).
#include <iphlpapi.h>
#include <ntsecapi.h>

namespace tools {

namespace {

volatile LONG interrupted = 0;
DWORD savedInputMode = 0;
bool rawMode = false;

BOOL WINAPI onConsoleEvent(DWORD) {
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

std::string lastErrorText() {
    DWORD code = GetLastError();
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

// One argument as CreateProcess's command line parser reads it back.
std::string quoteArgument(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

enum InputKind { InputUnknown, InputConsole, InputPipe, InputFile };

InputKind inputKind() {
    static InputKind kind = InputUnknown;
    if (kind == InputUnknown) {
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode;
        DWORD type = GetFileType(in);
        if (type == FILE_TYPE_CHAR && GetConsoleMode(in, &mode))
            kind = InputConsole;
        else if (type == FILE_TYPE_PIPE)
            kind = InputPipe;
        else
            kind = InputFile;
    }
    return kind;
}

// Console keys as the bytes a terminal would send: Enter is "\r".
int readConsoleKeys(HANDLE in, char *buffer, int size, int waitMs) {
    if (WaitForSingleObject(in, static_cast<DWORD>(waitMs)) != WAIT_OBJECT_0) return 0;
    INPUT_RECORD records[64];
    DWORD count = 0;
    if (!ReadConsoleInputA(in, records, 64, &count)) return -1;
    int n = 0;
    for (DWORD i = 0; i < count; ++i) {
        const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
        if (records[i].EventType != KEY_EVENT || !key.bKeyDown || key.uChar.AsciiChar == 0)
            continue;
        for (WORD r = 0; r < key.wRepeatCount && n < size; ++r) buffer[n++] = key.uChar.AsciiChar;
    }
    return n;
}

} // namespace

std::string executablePath() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

std::string executableDir() {
    std::string path = executablePath();
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

uint64_t monotonicMs() { return GetTickCount64(); }

std::string wallClock() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.wHour, t.wMinute, t.wSecond,
                  t.wMilliseconds);
    return text;
}

void sleepMs(int ms) { Sleep(static_cast<DWORD>(ms)); }

bool interactiveTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
           GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode);
}

void terminalRaw() {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(in, &savedInputMode)) return;
    SetConsoleMode(in, ENABLE_PROCESSED_INPUT);
    rawMode = true;
}

void terminalRestore() {
    if (rawMode) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), savedInputMode);
    rawMode = false;
}

bool terminalReadHidden(std::string *line) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    bool console = GetConsoleMode(in, &mode) != 0;
    if (console)
        SetConsoleMode(in,
                       (mode | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
    line->clear();
    bool complete = false;
    char c;
    DWORD got = 0;
    while (!complete && !interruptRequested() && ReadFile(in, &c, 1, &got, nullptr) && got == 1) {
        complete = c == '\n';
        if (!complete && c != '\r') *line += c;
    }
    if (console) SetConsoleMode(in, mode);
    return complete && !interruptRequested();
}

int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 80;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool terminalEscapes() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    const DWORD virtualTerminal = 0x0004; // ENABLE_VIRTUAL_TERMINAL_PROCESSING
    return GetConsoleMode(out, &mode) && SetConsoleMode(out, mode | virtualTerminal);
}

int inputRead(char *buffer, int size, int waitMs) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD got = 0;
    switch (inputKind()) {
    case InputConsole:
        return readConsoleKeys(in, buffer, size, waitMs);
    case InputPipe: {
        DWORD available = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) return -1;
        if (available == 0) {
            Sleep(static_cast<DWORD>(waitMs));
            if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) return -1;
            if (available == 0) return 0;
        }
        if (available > static_cast<DWORD>(size)) available = static_cast<DWORD>(size);
        if (!ReadFile(in, buffer, available, &got, nullptr)) return -1;
        return static_cast<int>(got);
    }
    default:
        if (!ReadFile(in, buffer, static_cast<DWORD>(size), &got, nullptr) || got == 0) return -1;
        return static_cast<int>(got);
    }
}

bool interruptRequested() { return interrupted != 0; }

void catchSignals() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

bool systemRandom(unsigned char *bytes, size_t n) {
    return RtlGenRandom(bytes, static_cast<ULONG>(n)) != FALSE;
}

bool loopbackOnly() {
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16384, r = ERROR_BUFFER_OVERFLOW;
    std::vector<ULONGLONG> list; // aligned for the records
    // The list may grow between two calls: ask again a few times.
    for (int attempt = 0; attempt < 3 && r == ERROR_BUFFER_OVERFLOW; ++attempt) {
        list.assign(size / sizeof(ULONGLONG) + 1, 0);
        r = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                 reinterpret_cast<PIP_ADAPTER_ADDRESSES>(list.data()), &size);
    }
    if (r == ERROR_NO_DATA) return true;
    if (r != NO_ERROR) return false;
    for (auto *a = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(list.data()); a; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        // A network of one address (/32) has no broadcast address.
        for (auto *u = a->FirstUnicastAddress; u; u = u->Next)
            if (u->Address.lpSockaddr->sa_family == AF_INET && u->OnLinkPrefixLength < 32)
                return false;
    }
    return true;
}

void setEnvironment(const std::string &name, const std::string &value) {
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

bool childStart(Child *child, const std::vector<std::string> &args, std::string *error) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) {
        *error = "CreatePipe: " + lastErrorText();
        return false;
    }
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0)) {
        *error = "CreatePipe: " + lastErrorText();
        CloseHandle(inRead);
        CloseHandle(inWrite);
        return false;
    }
    // Our ends stay ours: the child inherits only its own.
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);

    std::string line;
    for (const std::string &a : args) line += (line.empty() ? "" : " ") + quoteArgument(a);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = outWrite;
    PROCESS_INFORMATION pi = {};
    BOOL ok =
        CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    if (!ok) *error = args[0] + ": " + lastErrorText();
    CloseHandle(inRead);
    CloseHandle(outWrite);
    if (!ok) {
        CloseHandle(inWrite);
        CloseHandle(outRead);
        return false;
    }
    CloseHandle(pi.hThread);
    child->process = reinterpret_cast<intptr_t>(pi.hProcess);
    child->input = reinterpret_cast<intptr_t>(inWrite);
    child->output = reinterpret_cast<intptr_t>(outRead);
    child->running = true;
    return true;
}

int childRead(Child *child, char *buffer, int size) {
    if (child->output == -1) return -1;
    HANDLE out = reinterpret_cast<HANDLE>(child->output);
    DWORD available = 0, got = 0;
    if (!PeekNamedPipe(out, nullptr, 0, nullptr, &available, nullptr)) return -1;
    if (available == 0) return 0;
    if (available > static_cast<DWORD>(size)) available = static_cast<DWORD>(size);
    if (!ReadFile(out, buffer, available, &got, nullptr)) return -1;
    return static_cast<int>(got);
}

bool childWrite(Child *child, const std::string &bytes) {
    if (child->input == -1) return false;
    DWORD written = 0;
    return WriteFile(reinterpret_cast<HANDLE>(child->input), bytes.data(),
                     static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

void childCloseInput(Child *child) {
    if (child->input != -1) CloseHandle(reinterpret_cast<HANDLE>(child->input));
    child->input = -1;
}

bool childEnded(Child *child) {
    if (!child->running) return true;
    HANDLE process = reinterpret_cast<HANDLE>(child->process);
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    child->status = static_cast<int>(code);
    child->running = false;
    return true;
}

void childKill(Child *child) {
    if (!child->running) return;
    HANDLE process = reinterpret_cast<HANDLE>(child->process);
    TerminateProcess(process, 137);
    WaitForSingleObject(process, 5000);
    childEnded(child);
}

void childClose(Child *child) {
    childCloseInput(child);
    if (child->output != -1) CloseHandle(reinterpret_cast<HANDLE>(child->output));
    if (child->process) CloseHandle(reinterpret_cast<HANDLE>(child->process));
    child->output = -1;
    child->process = 0;
}

} // namespace tools

#else // POSIX

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace tools {

namespace {

volatile sig_atomic_t interrupted = 0;
struct termios savedTerminal;
bool rawMode = false;

void onSignal(int) { interrupted = 1; }

} // namespace

std::string executablePath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string executableDir() {
    std::string path = executablePath();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

uint64_t monotonicMs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

std::string wallClock() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(now.tv_usec / 1000));
    return text;
}

void sleepMs(int ms) { poll(nullptr, 0, ms); }

bool interactiveTerminal() { return isatty(0) && isatty(1); }

void terminalRaw() {
    if (tcgetattr(0, &savedTerminal) != 0) return;
    struct termios raw = savedTerminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(0, TCSANOW, &raw);
    rawMode = true;
}

void terminalRestore() {
    if (rawMode) tcsetattr(0, TCSANOW, &savedTerminal);
    rawMode = false;
}

bool terminalReadHidden(std::string *line) {
    struct termios saved;
    bool tty = tcgetattr(0, &saved) == 0;
    if (tty) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
        quiet.c_lflag |= ICANON;
        tcsetattr(0, TCSANOW, &quiet);
    }
    line->clear();
    bool complete = false;
    while (!complete && !interruptRequested()) {
        char c;
        ssize_t n = read(0, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) break;
        complete = c == '\n';
        if (!complete) *line += c;
    }
    if (tty) tcsetattr(0, TCSANOW, &saved);
    return complete && !interruptRequested();
}

int terminalColumns() {
    struct winsize size;
    if (ioctl(1, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

bool terminalEscapes() { return true; }

int inputRead(char *buffer, int size, int waitMs) {
    struct pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return 0;
    ssize_t n = read(0, buffer, static_cast<size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    return -1;
}

bool interruptRequested() { return interrupted != 0; }

void catchSignals() {
    signal(SIGPIPE, SIG_IGN);
    struct sigaction a = {};
    a.sa_handler = onSignal; // no SA_RESTART: a waiting poll returns at once
    sigaction(SIGINT, &a, nullptr);
    sigaction(SIGTERM, &a, nullptr);
}

bool systemRandom(unsigned char *bytes, size_t n) {
    for (size_t done = 0; done < n;) {
        ssize_t got = getrandom(bytes + done, n - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool loopbackOnly() {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool only = true;
    for (ifaddrs *i = list; i && only; i = i->ifa_next)
        only = !(i->ifa_addr && i->ifa_addr->sa_family == AF_INET && i->ifa_broadaddr &&
                 (i->ifa_flags & IFF_UP) && (i->ifa_flags & IFF_BROADCAST) &&
                 !(i->ifa_flags & IFF_LOOPBACK));
    freeifaddrs(list);
    return only;
}

void setEnvironment(const std::string &name, const std::string &value) {
    setenv(name.c_str(), value.c_str(), 1);
}

bool childStart(Child *child, const std::vector<std::string> &args, std::string *error) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        *error = "pipe failed";
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        *error = "pipe failed";
        return false;
    }
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        *error = "fork failed";
        return false;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    child->process = pid;
    child->input = in[1];
    child->output = out[0];
    child->running = true;
    return true;
}

int childRead(Child *child, char *buffer, int size) {
    if (child->output == -1) return -1;
    ssize_t n = read(static_cast<int>(child->output), buffer, static_cast<size_t>(size));
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;
}

bool childWrite(Child *child, const std::string &bytes) {
    if (child->input == -1) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(static_cast<int>(child->input), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void childCloseInput(Child *child) {
    if (child->input != -1) close(static_cast<int>(child->input));
    child->input = -1;
}

bool childEnded(Child *child) {
    if (!child->running) return true;
    int status = 0;
    pid_t pid = static_cast<pid_t>(child->process);
    if (waitpid(pid, &status, WNOHANG) != pid) return false;
    child->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    child->running = false;
    return true;
}

void childKill(Child *child) {
    if (!child->running) return;
    kill(static_cast<pid_t>(child->process), SIGKILL);
    int status = 0;
    waitpid(static_cast<pid_t>(child->process), &status, 0);
    child->status = 128 + SIGKILL;
    child->running = false;
}

void childClose(Child *child) {
    childCloseInput(child);
    if (child->output != -1) close(static_cast<int>(child->output));
    child->output = -1;
}

} // namespace tools

#endif
