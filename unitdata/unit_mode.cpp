// The software-mode guards of the unit-data operations.
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

}  // namespace corv
