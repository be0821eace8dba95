// Option groups after "-", "/" or "+", letters in either case; B, P, R and U
// take the rest of their argument or else the whole next one. Other arguments
// are a port (COM3, 3) or the parameter file name.
#include "run/command_line.h"

#include <cstdint>
#include <string>

#include "platform/conventions.h"
#include "platform/network_port.h"
#include "support/files.h"

namespace corv {

void PrintBanner(OutStream& console) {
  console << "Corvanta Updater " << Dec{kProgramVersion} << "." << Dec{kProgramMinor, 2} << "v"
          << Dec{kProgramRelease, 2} << "\r\n";
}

void PrintUsage(OutStream& c) {
  static constexpr const char* kLines[] = {
      "Usage: CorvUpdater [options] [Filename] [[COM]<port>]",
      "",
      "-i           Interrogate unit and show information, do not update",
      "-y           Yes to prompts (continues without waiting for key)",
      "-v           Verify on",
      "-s           Silence extra information",
      "-w           Write software always, even if its the correct version",
      "-d           Debug on",
      "-dd          Detailed Debug on (shows com data)",
      "-b           Set the initial baud rate to one of the following:",
      "             9600, 19200, 38400, 57600 or 115200",
      "-p<n>        Start with parity setting where n = 0 (none), 1 (even)",
      "-l           Lock baud rate, do not auto-search for the correct baud rate",
      "-r           Set the baud rate for programming to one of the following:",
      "             115200, 128000, 230400, 460800, 921600",
      "-u<ID>       Unit ID",
      "-o           Overlapped writes to flash, uses faster flash programming",
      "             protocol if possible",
      "",
      "[filename]   Parameter file",
      "",
      "port         1, 2, 3, 4...",
      "",
      "default setting for auto-search are 19200 baud, even parity.",
  };
  for (const char* line : kLines) c << line << "\r\n";
}

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsWithCom(std::string_view text) { return text.size() > 3 && UpperCase(text.substr(0, 3)) == "COM"; }

// Where "/" begins absolute paths, an argument beginning with "/" that holds a
// second "/" is one, so that a parameter file can be named as
// /srv/line1/job.ini; on Windows "/" always begins options.
bool IsOptionGroup(std::string_view arg) {
  if (arg.empty()) return false;
  if (arg[0] == '-' || arg[0] == '+') return true;
  return arg[0] == '/' && !(SlashPathsAreFiles() && arg.find('/', 1) != std::string_view::npos);
}

// A starting rate is a positive whole number that fits the setting: decimal
// digits only, not 0.
bool RateValue(std::string_view text, int32_t& rate) {
  if (text.empty() || text.size() > 10 || !AllDigits(text)) return false;
  const int64_t n = std::stoll(std::string(text));
  if (n <= 0 || n > INT32_MAX) return false;
  rate = static_cast<int32_t>(n);
  return true;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& args, RunSettings& s) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (!IsOptionGroup(arg)) {
      if (IsNetworkPortName(arg)) {
        s.portName = std::string(arg);
      } else if (StartsWithCom(arg)) {
        s.portNumber = static_cast<int16_t>(DecimalValue(arg.substr(3)));
      } else if (AllDigits(arg)) {
        s.portNumber = static_cast<int16_t>(DecimalValue(arg));
      } else {
        s.parameterFile = std::string(arg);
      }
      continue;
    }
    for (size_t j = 1; j < arg.size();) {
      char letter = Upper(arg[j++]);
      switch (letter) {
        case 'I': s.interrogateOnly = true; continue;
        case 'Y': s.yesToPrompts = true; continue;
        case 'V': s.verifyOn = true; continue;
        case 'S': s.silent = true; continue;
        case 'W': s.writeAlways = true; continue;
        case 'L': s.lockBaud = true; continue;
        case 'O': s.overlappedRequested = true; continue;
        case 'D':
          s.debugOn = true;
          if (j < arg.size() && Upper(arg[j]) == 'D') {
            s.detailedDebug = true;
            ++j;
          }
          continue;
        case 'B':
        case 'P':
        case 'R':
        case 'U':
          break;
        default:
          return false;
      }
      // A value letter takes the rest of the argument, or else the whole next
      // one, and ends the group.
      std::string_view value;
      if (j < arg.size()) {
        value = arg.substr(j);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return false;
      }
      switch (letter) {
        case 'B':
          if (!RateValue(value, s.baudRate)) return false;
          break;
        case 'R': s.programmingRate = DecimalValue(value); break;
        case 'U':
          s.requestedUnitId = static_cast<uint8_t>(DecimalValue(value) & 0xFF);
          s.unitIdGiven = true;
          break;
        case 'P':
          if (value == "0") {
            s.paritySetting = 0;
          } else if (value == "1") {
            s.paritySetting = 1;
          } else {
            return false;
          }
          break;
      }
      break;
    }
  }
  return true;
}

void ApplyPortVariable(Context& ctx, std::string_view value) {
  if (ctx.settings.portNumber != 0 || !ctx.settings.portName.empty() || value.empty()) return;
  ctx.Plain() << "Using CORVANTAPORT from environment\r\n";
  if (IsNetworkPortName(value)) {
    ctx.settings.portName = std::string(value);
    return;
  }
  if (StartsWithCom(value)) value.remove_prefix(3);
  ctx.settings.portNumber = static_cast<int16_t>(DecimalValue(value));
}

void ReadCommandLine(Context& ctx, const std::vector<std::string>& args, std::string_view portVariable) {
  ctx.settings.baudRate = 19200;
  ctx.settings.paritySetting = 0;
  if (!ParseArguments(args, ctx.settings)) {
    PrintUsage(ctx.Plain());
    Fatal(ctx, "Incorrect arguments");
  }
  ApplyPortVariable(ctx, portVariable);
}

}  // namespace corv
