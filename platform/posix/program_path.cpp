// The program's own path: the link /proc/self/exe.
#include "platform/program_path.h"

#include <unistd.h>

namespace corv {

std::string ProgramPath(const char* argv0) {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<size_t>(n));
  return argv0 ? std::string(argv0) : std::string();
}

}  // namespace corv
