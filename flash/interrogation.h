// What the unit says about itself: the versions block and the card-number test
// (run when the connection has read the versions), the extended information
// and information text of the running software, and the printed blocks of the
// unit information.
#pragma once
#include "flash/unit_info.h"
#include "link/link.h"

namespace corv {

// "Corvanta Info:" and the card, circuit code, software and product lines
// (report stream).
void PrintVersionsBlock(Context& ctx, const UnitVersions& v);

// Prints the versions block and sets cardFamily; a card number outside the
// table stops the run with "Unsupported Card Number".
void VersionsRead(Link& link, UnitInfo& info);

// Points link.versionsRead at VersionsRead for this run's records. Both must
// outlive the link's use of the hook.
void InstallVersionsHook(Link& link, UnitInfo& info);

// 0x1015 (2 attempts) and, when the unit has one, 0x1016 (20 attempts); prints
// the extended information block once the text was read. False when either
// read gave up; the run goes on either way.
bool ReadExtendedInformation(Link& link, UnitInfo& info);

// The masks, serial number, P-Module, build time and information lines.
void PrintExtendedInformation(Context& ctx, const UnitVersions& v, const UnitInfo& info);

// The boot-loader version, MCU type, checksum and self-test flag lines.
void PrintBootLoaderBlock(Context& ctx, const UnitInfo& info);

// Selects the flash programmer (and a Transmitter's strings programmer) by MCU
// type and boot-loader version and turns overlapped mode on when -o asked for
// it and it was not switched off earlier in the run; a refused unit stops the
// run with the refusal message.
void SelectProgrammers(Link& link, UnitInfo& info);

}  // namespace corv
