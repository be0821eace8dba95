// The sibling boot program CorvBoot: where it is, running it with the current
// link settings, and the installation of the secured boot loader through it.
#pragma once
#include <string>

#include "run/unit_session.h"
#include "support/context.h"

namespace corv {

// CORVUPDATER (settings.homeFolder), else the parameter-file key
// CorvantaHomeDir, else the system's default (/opt/corvanta/current; F:\EPROM\Corvanta\Current on Windows).
std::string HomeFolder(Context& ctx);

// The parameter-file key CorvBootEXE as it stands, else <home>/bin/CorvBoot (CorvBoot.exe on Windows),
// which must exist (fatal "Cannot find CorvBoot in <home>/bin").
std::string BootProgramPath(Context& ctx);

// "<path>" COM<port> -x -b<baud> -u<XX> [-dd|-d] -y [-s] [-o]
std::string BootCommandLine(const RunSettings& s, const std::string& path, uint8_t unitId, bool overlappedInUse);

// Runs the boot program and returns when it ended with status 0. A program that
// cannot be started is fatal; an error status n ends the run with status n.
void RunBootProgram(Context& ctx, const std::string& path, uint8_t unitId, bool overlappedInUse);

// Hands the port to CorvBoot, runs it, and catches the unit in its boot loader
// again (fatal "Unable to initialise Corvanta unit" when it cannot).
void InstallSecuredBootLoader(Context& ctx, UnitSession& unit);

}  // namespace corv
