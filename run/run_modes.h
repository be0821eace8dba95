// The three run modes (update, interrogation, manufacturing) and the choice of
// the one a run does.
#pragma once
#include "run/unit_session.h"
#include "support/context.h"

namespace corv {

// Manufacturing mode (with Program true, else "-- nothing to do"), else the
// interrogation run with -i, else the update run.
void RunOneMode(Context& ctx, UnitSession& unit);

void UpdateRun(Context& ctx, UnitSession& unit);
void InterrogationRun(Context& ctx, UnitSession& unit);
void ManufacturingRun(Context& ctx, UnitSession& unit);

}  // namespace corv
