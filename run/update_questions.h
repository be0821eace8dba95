// What an update asks or warns about before it touches the unit: the unit type
// when the card does not tell it, the P-Module notice of a Transmitter, the
// upgrade confirmation and the question before a serial number is replaced.
// A declined question (any key but Y or y, or the end of the input) ends the
// run with status 1, releasing the port, its lock and the terminal.
#pragma once
#include <cstdint>
#include <string_view>

#include "flash/unit_info.h"
#include "link/link.h"
#include "support/context.h"

namespace corv {

// Asks until the answer is 1 (Display) or 2 (Transmitter) and stores it.
void SettleUnitType(Context& ctx, UnitInfo& info);

// A Transmitter's P-Module notice on the console; an FCHIP stops the run.
void PModuleNotice(Context& ctx, const UnitVersions& versions, const UnitInfo& info);

// The question on the console, one key, CR LF; true for Y or y.
bool AskYesNo(Context& ctx, std::string_view question);

// "Do you wish to upgrade this Corvanta unit? (y/n)"; declined ends the run.
void ConfirmUpgrade(Context& ctx);

// "The unit already has serial number N, are you sure it should be
// replaced? (y/n)", asked even with -y; declined ends the run.
void ConfirmSerialReplacement(Context& ctx, uint32_t unitSerial);

}  // namespace corv
