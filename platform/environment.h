// The process environment: one variable's value.
#pragma once
#include <functional>
#include <string>

namespace corv {

// The variable's value, or "" when it is not set.
std::string EnvironmentValue(const char* name);

// Reads an environment variable ("" when unset); tests give their own.
using EnvLookup = std::function<std::string(const char*)>;

}  // namespace corv
