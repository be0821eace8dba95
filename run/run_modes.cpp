// The run modes as the steps they take; every failure ends the run through the
// fatal path with its own message.
#include "run/run_modes.h"

#include "support/ini.h"

namespace corv {

void RunOneMode(Context& ctx, UnitSession& unit) {
  if (ctx.settings.manufacturingMode) {
    if (ReadIniBool(ctx, ctx.settings.parameterFile, "Program")) {
      ctx.Notice() << "-- updating corvanta software (manufacturing)\r\n";
      ManufacturingRun(ctx, unit);
    } else {
      ctx.Notice() << "-- nothing to do\r\n";
    }
  } else if (ctx.settings.interrogateOnly) {
    ctx.Notice() << "-- interrogating unit\r\n";
    InterrogationRun(ctx, unit);
  } else {
    ctx.Notice() << "-- updating corvanta software\r\n";
    UpdateRun(ctx, unit);
  }
}

void UpdateRun(Context& ctx, UnitSession& unit) {
  unit.RunUpdateProcedure(0, true);
  ctx.Detail() << "Pausing for 2 seconds to bypass boot loader and unit startup\r\n";
  ctx.console.Flush();
  ctx.clock.SleepMs(2000);
  unit.Reconnect();  // the update is done whatever the reconnection finds
  ctx.Notice() << "Success: all operations are complete\r\n";
}

void InterrogationRun(Context& ctx, UnitSession& unit) {
  if (!unit.RebootAndInterrogate(false)) Fatal(ctx, "Unable to initialise Corvanta unit");
  if (!unit.SelectFlashTarget()) Fatal(ctx, "Unknown corvanta unit");
  if (!unit.ResetUnit()) Fatal(ctx, "Unable to reset unit");
}

void ManufacturingRun(Context& ctx, UnitSession& unit) {
  int32_t serial = unit.ReadManufacturingInput();
  unit.RunUpdateProcedure(serial, false);
  if (!unit.Reconnect()) Fatal(ctx, "Unable to reconnect to unit");
  if (unit.SoftwareMode() != 1) Fatal(ctx, "Unit is not running the Corvanta software");
  ctx.Notice() << "Success: all operations are complete\r\n";
}

}  // namespace corv
