// Bringing the unit's strings file up to date, and the images file and the
// fonts of its flash drive. The strings file needs a working 128K EEPROM; its
// attributes say whether the unit has one, which also chooses the software the
// unit gets. The drive files are compared one by one and only sent when they
// differ.
#pragma once
#include <cstdint>

#include "flash/unit_info.h"
#include "link/link.h"

namespace corv {

// Needs the flash programmer (fatal otherwise). `workingEeprom` is set when
// the unit reports a working 128K EEPROM (status 1); only then is the file
// compared and, when its header differs or `force` is set, rewritten: a block
// of 0xFF at offset 0, the body from offset 128, the first block last, so that
// a file cut short never carries a valid header. Read back when verification
// is on. False when an exchange gives up or the unit reports a hardware
// failure during overlapped writing; unit write statuses and a read-back that
// differs are fatal.
bool UpdateStringsFile(Link& link, const UnitInfo& info, bool force, const uint8_t* data, uint32_t length,
                       bool& workingEeprom);

// The images file (file 64) from the payload catalogue. The caller names a
// failure "Unable to send images file".
bool UpdateImagesFile(Link& link, const UnitInfo& info);

// The fourteen fonts in table order, each tested on its own; stops at the
// first that fails. The caller names a failure "Unable to send font file".
bool UpdateFontFiles(Link& link, const UnitInfo& info);

}  // namespace corv
