// The update of a connected unit: settle the unit type, warn about its
// P-Module, ask for confirmation, weigh the serial number and manufacturing
// fields, reboot it into its boot loader, bring a Transmitter's strings file up
// to date, decide what must be rewritten and why, write the boot loader,
// software and manufacturing fields through the flash programmer, send a
// Display's images and fonts, and reset the unit. Every failure but an
// unanswered reset ends the run through the fatal path with its own message;
// a declined question ends it with status 1.
#pragma once
#include <cstdint>
#include <functional>

#include "flash/unit_info.h"
#include "link/link.h"
#include "unitdata/manufacturing_fields.h"

namespace corv {

// What the update works on.
struct UpdateTarget {
  Link& link;
  UnitInfo& info;
  // The record a manufacturing run supplies (ReadManufacturingInput).
  const ManufacturingRecord& fields;
  // Hands the port to CorvBoot and returns with the unit in its boot loader
  // again (or ends the run).
  std::function<void()> installSecuredBootLoader;
};

// `newSerialNumber` is 0 in the update run; `confirm` asks before anything is
// changed (unless -y). Ends with the unit reset: true when the unit answered
// the reset, false when every attempt went unanswered. A unit whose reply was
// lost restarts all the same, so only the unit answering again tells the two
// apart: the caller reconnects, and without the unit's software answering ends
// the run with "Unable to reset unit".
bool RunUpdate(Context& ctx, UpdateTarget& unit, int32_t newSerialNumber, bool confirm);

}  // namespace corv
