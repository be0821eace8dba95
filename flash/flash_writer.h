// Writing an image into the unit's flash through the running flash programmer:
// one block at a time with a reply each, or overlapped with sequence-numbered
// blocks and cumulative acknowledgements; a hook once the first flash page is
// written (the old fields go back there); the summary line; and the port saved
// in the registry after a successful write.
#pragma once
#include <functional>

#include "flash/unit_info.h"
#include "link/link.h"
#include "payloads/image_stream.h"

namespace corv {

// Called once after the blocks below the page size and before the first block
// at or above it, with every block before it acknowledged; false fails the write.
using FlashHook = std::function<bool()>;

// Writes every record of the image stream. Uses info.overlapped, info.mcuType
// (window) and info.pageSize (hook). False on a block that gives up, a unit
// failure code or a failed hook.
bool WriteImage(Link& link, UnitInfo& info, ImageStream image, const FlashHook& hook = {});
bool WriteImage(Link& link, UnitInfo& info, ImageName image, const FlashHook& hook = {});

}  // namespace corv
