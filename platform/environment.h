// The process environment: one variable's value, and the reading of what the
// system's backends take from it.
#pragma once
#include <functional>
#include <string>

namespace corv {

// The variable's value, or "" when it is not set.
std::string EnvironmentValue(const char* name);

// Reads, once at start-up, what the system's backends take from the
// environment (on POSIX the machine folder, CORVANTAROOT; nothing on Windows).
// Read again only when the environment was changed on purpose (tests).
void ReadSystemEnvironment();

// Reads an environment variable ("" when unset); tests give their own.
using EnvLookup = std::function<std::string(const char*)>;

}  // namespace corv
