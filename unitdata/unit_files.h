// Bringing one file of the unit's flash drive up to date: compare the unit's
// attributes with the new contents, and only when they differ create the file,
// write it in 128-byte blocks (stop-and-wait, or overlapped when the run uses
// overlapped writes), close it, and read it back when verification is on.
#pragma once
#include <cstdint>

#include "flash/unit_info.h"
#include "link/link.h"

namespace corv {

// Needs the flash programmer (fatal otherwise). False when an exchange gives
// up or the unit reports a hardware failure during overlapped writing; unit
// statuses on open, create, close, a single block write, and a read-back that
// differs, are fatal. The caller names the failure ("Unable to send ...").
bool UpdateUnitFile(Link& link, const UnitInfo& info, uint8_t file, const uint8_t* data, uint32_t length);

}  // namespace corv
