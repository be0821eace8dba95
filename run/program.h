// The program from its banner to its exit status.
#pragma once
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/environment.h"
#include "support/context.h"

namespace corv {

struct StartOptions {
  // Where the environment is read from at start-up.
  EnvLookup env = [](const char* name) { return EnvironmentValue(name); };
  bool installAbortHandler = true;
  // The serial ports; none means no port can be opened and no unit found.
  PortDriver* portDriver = nullptr;
};

// The log folder: LogFiles in the program's folder.
std::string LogFolder(const std::string& programPath);

// Banner, command line and CORVANTAPORT, CorvManufacture, log, abort handler,
// connection, one run mode, then the port closed, the log closed and the closing
// key prompt. `args` are the arguments after the program name; ctx.programPath
// names the program. Returns 0; every other end throws RunExit with its status.
int RunCorvUpdater(Context& ctx, const std::vector<std::string>& args, const StartOptions& options = {});

}  // namespace corv
