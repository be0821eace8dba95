// The software-mode guards and the read-back comparison of the unit-data operations.
#include "unitdata/unit_mode.h"

namespace corv {

void RequireFlashProgrammer(Link& link) {
  if (link.softwareMode != modeFlashProgrammer) {
    Fatal(link.ctx, "Flash programmer is not running in the unit, cannot perform this operation");
  }
}

void RequireCorvantaSoftware(Link& link) {
  if (link.softwareMode != modeCorvantaSoftware) {
    Fatal(link.ctx, "Corvanta software is not running in the unit, cannot perform this operation");
  }
}

void CompareReadBack(Context& ctx, uint32_t offset, const uint8_t* got, const uint8_t* expected, uint8_t length) {
  for (uint8_t i = 0; i < length; ++i) {
    if (got[i] != expected[i]) {
      TextStream t;
      t << "Verify file failed at " << Hex{offset, 8};
      Fatal(ctx, t.Text());
    }
  }
}

}  // namespace corv
