// Start-up and the top-level sequence of a run.
#include "run/program.h"

#include "platform/abort_handler.h"
#include "run/command_line.h"
#include "run/connection.h"
#include "run/run_modes.h"
#include "run/start_environment.h"
#include "support/ini.h"

namespace corv {

std::string LogFolder(const std::string& programPath) {
  std::string dir = DirectoryPart(programPath);
  if (dir.empty()) return "LogFiles";
  return WithTrailingSeparator(dir) + "LogFiles";
}

namespace {
void OpenRunLog(Context& ctx) {
  if (ctx.out.OpenLog(LogFolder(ctx.programPath), ctx.programPath)) return;
  std::string why = ctx.out.LogError();
  if (why.rfind("Error: ", 0) == 0) why.erase(0, 7);
  Fatal(ctx, "Cannot create log file in " + LogFolder(ctx.programPath) + ": " + why);
}
}  // namespace

int RunCorvUpdater(Context& ctx, const std::vector<std::string>& args, const StartOptions& options) {
  PrintBanner(ctx.Plain());
  ReadSystemEnvironment();
  const StartEnvironment environment = ReadStartEnvironment(options.env);
  ApplyStartEnvironment(environment, ctx.settings);
  ReadCommandLine(ctx, args, environment.port);
  if (!ctx.settings.parameterFile.empty())
    ctx.settings.manufacturingMode = ReadIniBool(ctx, ctx.settings.parameterFile, "CorvManufacture");
  ctx.settings.traceEnabled = true;
  OpenRunLog(ctx);
  if (options.installAbortHandler) InstallAbortHandler();

  std::unique_ptr<UnitSession> unit = ConnectToUnit(ctx, options.portDriver);
  if (!unit) Fatal(ctx, "Unable to connect to Corvanta unit");
  if (unit->SoftwareMode() == 1 && unit->SoftwareVersion() >= 220) unit->ReadExtendedInformation();
  RunOneMode(ctx, *unit);

  ctx.settings.traceEnabled = false;
  unit->ClosePortAndUnlock();
  ReleaseRun(ctx);
  ClosingKeyPrompt(ctx);
  ctx.console.Flush();
  return 0;
}

}  // namespace corv
