// CorvUpdater: the process around one run on the real console and clock.
#include <unistd.h>

#include <string>
#include <vector>

#include "link/port_posix.h"
#include "run/program.h"

namespace {
std::string OwnPath(const char* argv0) {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<size_t>(n));
  return argv0 ? std::string(argv0) : std::string();
}
}  // namespace

int main(int argc, char** argv) {
  corv::Context ctx(corv::TerminalConsole(), corv::SystemClock());
  ctx.programPath = OwnPath(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  corv::PosixPortDriver ports;
  corv::StartOptions options;
  options.portDriver = &ports;
  int status = 0;
  try {
    status = corv::RunCorvUpdater(ctx, args, options);
  } catch (const corv::RunExit& e) {
    status = e.status;
  }
  ctx.console.Flush();
  return status;
}
