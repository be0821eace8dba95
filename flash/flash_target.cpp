// Flash target selection and the old-fields area, by the unit's MCU type.
#include "flash/flash_target.h"

namespace corv {

bool SelectFlashTarget(Link& link, UnitInfo& info) {
  const FlashTargetEntry e = FlashTargetFor(info.mcuType);
  if (e.refused) Fatal(link.ctx, "Unsupported unit");
  if (!e.known) return false;
  info.pageSize = e.pageSize;
  info.oldFieldsInFlash = e.oldFieldsInFlash;
  info.bootLoaderImage = e.bootLoaderImage;
  return info.flashProgrammer.has_value() && info.bootLoaderImage.has_value();
}

OldFieldsArea GetOldFieldsArea(Context& ctx, const UnitInfo& info) {
  const auto area = OldFieldsAreaFor(info.mcuType);
  if (!area) Fatal(ctx, "CorvUpdater cannot update this unit: the software is not compatible with this CPU type");
  return *area;
}

}  // namespace corv
