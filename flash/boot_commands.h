// The boot loader's and flash programmer's command set: raising the link to the
// programming rate, running a program from RAM, resetting the unit or the
// programmer, waiting for the unit's CTS line, and the three commands that no
// step of the update uses (buffer size, clear chip, external memory start).
#pragma once
#include <cstdint>

#include "flash/unit_info.h"
#include "link/link.h"

namespace corv {

// The programming rates by their index in the set-baud-rate command (1..9).
inline constexpr int32_t kProgrammingRates[10] = {0, 9600, 19200, 38400, 57600, 115200, 128000, 230400, 460800, 921600};
inline constexpr int kDefaultRateIndex = 5;  // 115200

// Raises the link to the programming rate (-r, 115200 when not given); false
// after 200 unanswered tries. A port that cannot be reopened at all stops the
// run with "Unable to change baudrate".
bool StepUpBaudRate(Link& link, UnitInfo& info);

// Waits up to 1000 ms for CTS. When it comes: hardware handshaking on and the
// port reopened with it; when not: overlapped mode off for the rest of the run.
// Returns whether CTS came.
bool WaitForCts(Link& link, UnitInfo& info);

// 0x1022: starts the program at `entry` (20 attempts) and pauses 100 ms.
bool RunRamProgram(Link& link, uint32_t entry);

// 0x1032: the unit restarts its software; softwareMode becomes modeUnknown and,
// in overlapped mode, hardware handshaking is switched off. False after 20
// unanswered attempts; the unit may still have restarted (the reply to one of
// them lost), so hardware handshaking is switched off then too.
bool ResetUnit(Link& link, UnitInfo& info);

// 0x1033: the programmer restarts (one that starts at its own rate is raised
// to the programming rate again; failing that stops the run with "Unable to
// change baud rate").
bool ResetProgrammer(Link& link, UnitInfo& info);

// 0x1091 (2 attempts): the unit's buffer size, 128 when it does not say.
uint16_t GetBufferSize(Link& link, const UnitInfo& info);
// 0x1034 "erase" (LPC chips only; others: "Only supported on LPC chips").
bool ClearChip(Link& link, const UnitInfo& info);
// 0x1091 with a plain reply.
bool ExternalMemoryStart(Link& link);

}  // namespace corv
