// The old-fields copy: on units that keep their manufacturing fields in low
// flash (MCU types 1 and 2), the bytes of that area are read through the flash
// programmer before the flash is rewritten and written back from inside the
// flash writing, after its first page. Where the unit keeps no old fields in
// flash (UnitInfo::oldFieldsInFlash clear) both steps do nothing and succeed.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "flash/unit_info.h"
#include "link/link.h"

namespace corv {

// The bytes of the old-fields area, one per address, 0xFF where nothing was read.
struct OldFieldsBuffer {
  std::vector<uint8_t> bytes;
};

// 0x1051 in 128-byte steps over the area of the unit's MCU type. Both steps
// need the flash programmer (the mode message ends the run otherwise). False
// after 20 failed attempts for one block.
bool ReadOldFields(Link& link, const UnitInfo& info, OldFieldsBuffer& buffer);

// 0x1050 in the same steps with the buffer's bytes. A status other than 0 from
// the unit is reported ("Error:XX") and does not fail the operation; false after
// 20 failed attempts for one block.
bool WriteOldFields(Link& link, const UnitInfo& info, const OldFieldsBuffer& buffer);

// The write-back as the flash writer's hook: it runs once, after the first
// flash page. The link, info and buffer must outlive the flash writing.
std::function<bool()> OldFieldsHook(Link& link, const UnitInfo& info, const OldFieldsBuffer& buffer);

}  // namespace corv
