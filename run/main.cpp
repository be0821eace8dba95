// CorvUpdater: the process around one run on the real console and clock.
#include <memory>
#include <string>
#include <vector>

#include "platform/system_port.h"
#include "platform/process.h"
#include "run/program.h"

int main(int argc, char** argv) {
  corv::Context ctx(corv::TerminalConsole(), corv::SystemClock());
  ctx.programPath = corv::OwnProgramPath(argc > 0 ? argv[0] : nullptr);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::unique_ptr<corv::PortDriver> ports = corv::SystemPortDriver();
  corv::StartOptions options;
  options.portDriver = ports.get();
  int status = 0;
  try {
    status = corv::RunCorvUpdater(ctx, args, options);
  } catch (const corv::RunExit& e) {
    status = e.status;
  }
  ctx.console.Flush();
  return status;
}
