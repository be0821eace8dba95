// The option parser on arbitrary argument lists: the input is split into
// arguments at NUL bytes. Parsing must not crash, must give the same settings
// twice, and must keep the settings inside what the options can produce.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "run/command_line.h"
#include "platform/console.h"

namespace {

bool Same(const corv::RunSettings& a, const corv::RunSettings& b) {
  return a.portNumber == b.portNumber && a.baudRate == b.baudRate && a.paritySetting == b.paritySetting &&
         a.programmingRate == b.programmingRate && a.requestedUnitId == b.requestedUnitId &&
         a.unitIdGiven == b.unitIdGiven && a.lockBaud == b.lockBaud && a.interrogateOnly == b.interrogateOnly &&
         a.yesToPrompts == b.yesToPrompts && a.verifyOn == b.verifyOn && a.silent == b.silent &&
         a.writeAlways == b.writeAlways && a.debugOn == b.debugOn && a.detailedDebug == b.detailedDebug &&
         a.overlappedRequested == b.overlappedRequested && a.parameterFile == b.parameterFile;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size && args.size() <= 40; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  corv::RunSettings a, b;
  const bool okA = corv::ParseArguments(args, a);
  const bool okB = corv::ParseArguments(args, b);
  if (okA != okB || !Same(a, b)) std::abort();
  if (a.paritySetting > 1) std::abort();
  if (okA && a.baudRate <= 0) std::abort();  // a starting rate is a positive number
  if (a.detailedDebug && !a.debugOn) std::abort();

  // CORVANTAPORT taken from the last argument; the console text is only
  // ever the one line.
  corv::ScriptedConsole console;
  corv::VirtualClock clock;
  corv::Context ctx(console, clock);
  ctx.settings = a;
  corv::ApplyPortVariable(ctx, args.back());
  if (a.portNumber != 0 && ctx.settings.portNumber != a.portNumber) std::abort();
  if (!console.Output().empty() && console.Output() != "Using CORVANTAPORT from environment\n") std::abort();
  return 0;
}
