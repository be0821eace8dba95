// The flash target of the unit's MCU type (from the MCU table): its page size,
// whether it keeps old fields in flash, its boot-loader image, and its
// old-fields area.
#pragma once
#include <cstdint>

#include "flash/unit_info.h"
#include "link/link.h"

namespace corv {

struct OldFieldsArea {
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t length = 0;
};

// Sets pageSize, oldFieldsInFlash and bootLoaderImage from the MCU type. True
// only when a flash programmer and a boot-loader image are selected. A refused type
// (MCU type 1) stops the run with "Unsupported unit".
bool SelectFlashTarget(Link& link, UnitInfo& info);

// The old-fields area of the unit's MCU type; outside the table the run stops
// with "CorvUpdater cannot update this unit: the software is not compatible
// with this CPU type".
OldFieldsArea GetOldFieldsArea(Context& ctx, const UnitInfo& info);

}  // namespace corv
