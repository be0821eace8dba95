// The run modes as the steps they take; every failure ends the run through the
// fatal path with its own message.
#include "run/run_modes.h"

#include "support/ini.h"

namespace corv {

namespace {

constexpr uint8_t kRunningSoftware = 1;

// A reset is confirmed by its answer, or, when every answer went missing, by
// the unit's software answering again within its start-up time: the reply to a
// reset that was carried out can be lost, and the resent requests then reach a
// unit that is restarting. A unit that never reset still runs its programmer
// or boot loader, which does not answer; no search for it follows.
bool ResetConfirmed(bool answered, UnitSession& unit) { return answered || unit.SoftwareAnswers(); }

}  // namespace

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
  const bool resetAnswered = unit.RunUpdateProcedure(0, true);
  ctx.Detail() << "Pausing for 2 seconds to bypass boot loader and unit startup\r\n";
  ctx.console.Flush();
  ctx.clock.SleepMs(2000);
  if (!ResetConfirmed(resetAnswered, unit)) Fatal(ctx, "Unable to reset unit");
  // Once the reset is known to be done, the update is done whatever the
  // reconnection finds.
  unit.Reconnect();
  ctx.Notice() << "Success: all operations are complete\r\n";
}

void InterrogationRun(Context& ctx, UnitSession& unit) {
  if (!unit.RebootAndInterrogate(false)) Fatal(ctx, "Unable to initialise Corvanta unit");
  if (!unit.SelectFlashTarget()) Fatal(ctx, "Unknown corvanta unit");
  if (!ResetConfirmed(unit.ResetUnit(), unit)) Fatal(ctx, "Unable to reset unit");
}

void ManufacturingRun(Context& ctx, UnitSession& unit) {
  int32_t serial = unit.ReadManufacturingInput();
  const bool resetAnswered = unit.RunUpdateProcedure(serial, false);
  if (!ResetConfirmed(resetAnswered, unit)) Fatal(ctx, "Unable to reset unit");
  if (!unit.Reconnect()) Fatal(ctx, "Unable to reconnect to unit");
  if (unit.SoftwareMode() != kRunningSoftware) Fatal(ctx, "Unit is not running the Corvanta software");
  ctx.Notice() << "Success: all operations are complete\r\n";
}

}  // namespace corv
