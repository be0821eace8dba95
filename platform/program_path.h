// The program's own path as the system knows it (`argv0`, as the program was
// started, where the system cannot tell).
#pragma once
#include <string>

namespace corv {

std::string ProgramPath(const char* argv0);

}  // namespace corv
