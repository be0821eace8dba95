// Locating and running CorvBoot.
#include "run/boot_program.h"

#include "platform/conventions.h"
#include "support/files.h"
#include "support/ini.h"

namespace corv {

std::string HomeFolder(Context& ctx) {
  if (!ctx.settings.homeFolder.empty()) return ctx.settings.homeFolder;
  std::string home = ReadIniString(ctx, ctx.settings.parameterFile, "CorvantaHomeDir");
  if (!home.empty()) return home;
  return DefaultHomeFolder();
}

std::string BootProgramPath(Context& ctx) {
  std::string exe = ReadIniString(ctx, ctx.settings.parameterFile, "CorvBootEXE");
  if (!exe.empty()) return exe;
  std::string bin = WithTrailingSeparator(HomeFolder(ctx)) + "bin";
  std::string path = WithTrailingSeparator(bin) + BootProgramFile();
  if (!FileExists(path)) Fatal(ctx, "Cannot find CorvBoot in " + bin);
  return path;
}

std::string BootCommandLine(const RunSettings& s, const std::string& path, uint8_t unitId, bool overlappedInUse) {
  TextStream t;
  t << '"' << path << '"' << ' ' << PortLabel(s) << " -x" << " -b" << Dec{s.baudRate} << " -u"
    << Hex{unitId, 2};
  if (s.detailedDebug) {
    t << " -dd";
  } else if (s.debugOn) {
    t << " -d";
  }
  t << " -y";
  if (s.silent) t << " -s";
  if (overlappedInUse) t << " -o";
  return t.Text();
}

void RunBootProgram(Context& ctx, const std::string& path, uint8_t unitId, bool overlappedInUse) {
  std::string line = BootCommandLine(ctx.settings, path, unitId, overlappedInUse);
  ctx.Plain() << "-- execute " << line << "\r\n";
  // The child shares the console: everything written so far goes first, and it
  // gets the terminal as it was found.
  ctx.console.Flush();
  ctx.console.Restore();
  int status = RunProgram(line);
  if (status < 0) Fatal(ctx, "FAILURE - cannot run CorvBoot: " + path);
  if (status > 0) {
    ctx.Plain() << "CorvBoot returned an error: " << Dec{status} << "\r\n";
    ReleaseRun(ctx);
    ClosingKeyPrompt(ctx);
    ctx.console.Flush();
    throw RunExit{status};
  }
}

void InstallSecuredBootLoader(Context& ctx, UnitSession& unit) {
  unit.ClosePortAndUnlock();  // the child needs the port
  std::string path = BootProgramPath(ctx);
  RunBootProgram(ctx, path, unit.UnitId(), unit.OverlappedInUse());
  unit.ForgetSoftwareMode();
  if (unit.RebootAndInterrogate(true)) return;
  unit.Reconnect();
  if (!unit.RebootAndInterrogate(false)) Fatal(ctx, "Unable to initialise Corvanta unit");
}

}  // namespace corv
