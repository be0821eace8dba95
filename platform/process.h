// This process and the programs it starts: its number, the path of its own
// program file, and running a child program to its end.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corv {

// The process's own number (unique among the running processes).
uint32_t ProcessNumber();

// The full path of the running program's file; `argv0` when the system cannot
// tell.
std::string OwnProgramPath(const char* argv0);

// Starts a child program and waits for it. `commandLine` is the line as
// written, `args` the same split into arguments without their quotes, the
// program first; the child gets them as they are, never through a shell. The
// child's exit status, 128 + S when signal S ended it, or a negative number
// when it could not be started.
int RunChildProgram(std::string_view commandLine, const std::vector<std::string>& args);

}  // namespace corv
