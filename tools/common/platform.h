// What the tools need from the operating system, in one shim with a POSIX
// half and a Windows half (platform.cpp): where the program is, the clock,
// reading the terminal or a pipe without blocking, a secret without echo,
// random bytes, and starting copies of a program with their input and output
// on pipes. Loading the library is loader.h's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// ---- This program -----------------------------------------------------------
// The directory of this executable, with a trailing separator.
std::string executableDir();
// The full path of this executable.
std::string executablePath();

// ---- Time ------------------------------------------------------------------
uint64_t monotonicMs();
// Local wall-clock time as HH:MM:SS.mmm.
std::string wallClock();
void sleepMs(int ms);

// ---- Standard input and output ---------------------------------------------
// True when both standard input and standard output are a terminal (console).
bool interactiveTerminal();
// Interactive only: keys arrive one at a time without echo (the program draws
// the line itself); Ctrl-C still interrupts. Restored by terminalRestore.
void terminalRaw();
void terminalRestore();
// Reads one line of input with the terminal's echo off (a secret): false when
// the input ends first or Ctrl-C comes. The line's "\r\n" is dropped; the
// Enter key is not echoed either.
bool terminalReadHidden(std::string *line);
// Width of the terminal in characters (80 when unknown).
int terminalColumns();
// Makes the terminal understand "\r\x1b[K" (erase the line); false where it
// cannot, so the caller erases with spaces.
bool terminalEscapes();
// Waits up to waitMs for input and reads what is there: > 0 bytes read, 0
// none yet, -1 the input has ended.
int inputRead(char *buffer, int size, int waitMs);
// From now on Ctrl-C (SIGINT, SIGTERM) only raises the flag that
// interruptRequested reads, and a write to a closed pipe fails instead of
// ending the program.
void catchSignals();
bool interruptRequested();

// ---- The system's random source -------------------------------------------
// Fills bytes[0..n) with random bytes; false when the source fails.
bool systemRandom(unsigned char *bytes, size_t n);
// Sets the variable `name` for this program and the children it starts.
void setEnvironment(const std::string &name, const std::string &value);

// ---- The network ------------------------------------------------------------
// True when the interfaces were read and none that is up, loopback aside,
// has an IPv4 network with a broadcast address: nothing for a search of the
// local network (p2pFindLobbies) to reach.
bool loopbackOnly();

// ---- Child processes (the demo) --------------------------------------------
struct Child {
    intptr_t process = 0; // pid, or the process HANDLE
    intptr_t input = -1;  // our end of its standard input
    intptr_t output = -1; // our end of its standard output and error
    bool running = false;
    int status = 0; // exit status once it has ended
};

// Starts `args` (args[0] the program) with standard input from a pipe and
// standard output and error into one pipe.
bool childStart(Child *child, const std::vector<std::string> &args, std::string *error);
// Reads what the child has written: > 0 bytes, 0 nothing now, -1 end of output.
int childRead(Child *child, char *buffer, int size);
bool childWrite(Child *child, const std::string &bytes);
void childCloseInput(Child *child);
// True once the child has ended (its status in child->status).
bool childEnded(Child *child);
void childKill(Child *child);
void childClose(Child *child);

} // namespace tools
