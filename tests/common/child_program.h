// Child programs for the tests that start one (CorvBoot and the like), made
// from a few steps: a shell script on POSIX; on Windows a copy of the stand-in
// (tests/stand_in, built beside the test programs) with its steps beside it.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace corv::testing {

struct ChildStep {
  enum class Kind { Arguments, ExitIfPresent, Exit, Terminate };
  Kind kind;
  std::string file{};
  int status = 0;
};

// Writes its arguments to `file`, one a line.
inline ChildStep WriteArguments(const std::string& file) { return {ChildStep::Kind::Arguments, file}; }
// Ends with `status` when `file` is there.
inline ChildStep ExitIfPresent(const std::string& file, int status) {
  return {ChildStep::Kind::ExitIfPresent, file, status};
}
inline ChildStep ExitWith(int status) { return {ChildStep::Kind::Exit, {}, status}; }
// Is ended from outside: on POSIX by SIGTERM, on Windows as a console's Ctrl+C
// ends a program (status STATUS_CONTROL_C_EXIT).
inline ChildStep Terminated() { return {ChildStep::Kind::Terminate}; }

// The status the program takes from a child ended that way: 128 + SIGTERM; on
// Windows the highest status, as the system's status for it (0xC000013A) is
// above what a status may be.
#ifdef _WIN32
inline constexpr int kTerminatedStatus = 0x7FFFFFFF;
#else
inline constexpr int kTerminatedStatus = 128 + 15;
#endif

#ifdef _WIN32
// The stand-in, beside the running test program.
inline std::string StandInProgram() {
  char self[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  return (std::filesystem::path(std::string(self, n)).parent_path() / "corv_stand_in.exe").string();
}
#endif

// Makes the program `path` (the whole file name, ".exe" and all on Windows)
// that does `steps` and then ends with status 0; its path.
inline std::string MakeChildProgram(const std::string& path, const std::vector<ChildStep>& steps) {
#ifdef _WIN32
  std::filesystem::copy_file(StandInProgram(), path, std::filesystem::copy_options::overwrite_existing);
  std::string stepsFile = path;
  const size_t dot = stepsFile.rfind('.');
  if (dot != std::string::npos && stepsFile.find_first_of("\\/", dot) == std::string::npos) stepsFile.resize(dot);
  std::ofstream out(stepsFile + ".do", std::ios::binary | std::ios::trunc);
  for (const ChildStep& s : steps) {
    switch (s.kind) {
      case ChildStep::Kind::Arguments: out << "args " << s.file << "\n"; break;
      case ChildStep::Kind::ExitIfPresent: out << "exit-if " << s.file << " " << s.status << "\n"; break;
      case ChildStep::Kind::Exit: out << "exit " << s.status << "\n"; break;
      case ChildStep::Kind::Terminate: out << "terminate\n"; break;
    }
  }
#else
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "#!/bin/sh\n";
  for (const ChildStep& s : steps) {
    switch (s.kind) {
      case ChildStep::Kind::Arguments: out << "for a in \"$@\"; do echo \"$a\"; done > \"" << s.file << "\"\n"; break;
      case ChildStep::Kind::ExitIfPresent: out << "[ -e \"" << s.file << "\" ] && exit " << s.status << "\n"; break;
      case ChildStep::Kind::Exit: out << "exit " << s.status << "\n"; break;
      case ChildStep::Kind::Terminate: out << "kill -TERM $$\n"; break;
    }
  }
  out.close();
  chmod(path.c_str(), 0755);
#endif
  return path;
}

}  // namespace corv::testing
