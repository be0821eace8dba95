// Flash target selection and the old-fields area, by the unit's MCU type.
#include "flash/flash_target.h"

#include "payloads/mcu_table.h"

namespace corv {

bool SelectFlashTarget(Link& link, UnitInfo& info) {
  const McuRow& mcu = Mcu(info.mcuType);
  if (mcu.refused) Fatal(link.ctx, "Unsupported unit");
  if (!mcu.known) return false;
  info.pageSize = mcu.pageSize;
  info.oldFieldsInFlash = mcu.oldFieldsInFlash;
  info.bootLoaderImage = mcu.bootLoader;
  return info.flashProgrammer.has_value() && info.bootLoaderImage.has_value();
}

OldFieldsArea GetOldFieldsArea(Context& ctx, const UnitInfo& info) {
  const McuRow& mcu = Mcu(info.mcuType);
  if (!mcu.known) Fatal(ctx, "CorvUpdater cannot update this unit: the software is not compatible with this CPU type");
  return {mcu.oldFieldsFirst, mcu.oldFieldsLast, mcu.OldFieldsLength()};
}

}  // namespace corv
