// Finding and reaching the unit: what answers on an open port (the unit's
// software at some address and rate, its boot loader, the processor's own ISP
// boot loader, a modem), the search of the saved port and COM1 to COM32, the
// opening of the port a run uses, the connection that reads the versions
// (asking for a power cycle when nothing answers), and the regaining of contact
// after the unit restarted. Long waits give way to Escape ("Aborted").
#pragma once
#include <string_view>

#include "link/exchange.h"
#include "link/link.h"

namespace corv {

// One exchange each, on the port as it is; true when the expected answer came.
// Quick response (0x41) at link.unitId.
bool QuickResponseExchange(Link& link);
// Boot-loader response (0x1012) at link.bootAddress, once unless told
// otherwise; keeps its byte in link.bootVersionByte.
bool BootLoaderResponseExchange(Link& link, const Tries& tries = {});
// Versions (0x1010) at link.unitId, up to 20 attempts; the fields go to `out`.
bool VersionRequest(Link& link, UnitVersions& out);

// Ends the run with "Aborted" when Escape is waiting; other keys are dropped.
void AbortCheck(Context& ctx);

// What runs behind the open port: sets softwareMode, unitId, connected and the
// remembered rate. A full probe searches addresses 1 to 33 after 240 (only 1
// in manufacturing mode); a quick one 240 and 1.
bool ProbeUnit(Link& link, bool full);
// The saved port, then COM1 to COM32: quick probes, then full ones. True with
// the port open and the unit recognised.
bool SearchPorts(Link& link);
// Opens the run's port (given, saved or searched, else asked for) and probes
// it; fatal when no port can be opened.
void OpenUnitPort(Link& link);
// Reads the versions, asking for a power cycle to catch the boot loader when
// nothing answers; calls link.versionsRead once they are in.
bool ConnectUnit(Link& link);
// Contact and versions again after the unit restarted its software.
bool Reconnect(Link& link);
// Quick-response requests at the unit's address and remembered rate across
// its start-up time (about 5 s): true, with the software mode set, once its
// software answers. Nothing else is tried.
bool SoftwareAnswers(Link& link);

}  // namespace corv
