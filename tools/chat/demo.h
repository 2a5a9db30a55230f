#pragma once

#include <string>

namespace chat {

// Runs the scripted demo; `library` is passed on as --lib when not empty.
// Returns 0 when every expected line arrived and nothing else did.
int runDemo(const std::string &library);

} // namespace chat
