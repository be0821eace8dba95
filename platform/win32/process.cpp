// GetCurrentProcessId, GetModuleFileNameA, and CreateProcessA with a wait for
// the child's exit code.
#include "platform/process.h"

#include <windows.h>

namespace corv {

uint32_t ProcessNumber() { return static_cast<uint32_t>(GetCurrentProcessId()); }

std::string OwnProgramPath(const char* argv0) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) break;
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) break;
    path.resize(path.size() * 2);
  }
  return argv0 ? std::string(argv0) : std::string();
}

int RunChildProgram(std::string_view commandLine, const std::vector<std::string>& args) {
  if (args.empty()) return -1;
  // CreateProcessA may write into the line it is given.
  std::string line(commandLine);
  STARTUPINFOA start{};
  start.cb = sizeof start;
  // The child writes where this program writes and reads what it would read.
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child{};
  if (!CreateProcessA(args.front().c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start,
                      &child))
    return -1;
  CloseHandle(child.hThread);
  DWORD code = 0;
  const bool ended = WaitForSingleObject(child.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  if (!ended) return -1;
  // A status the caller would read as "could not start" is still a failure.
  return code > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(code);
}

}  // namespace corv
