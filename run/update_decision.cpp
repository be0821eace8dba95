// The decision rules of an update and their printed reasons.
#include "run/update_decision.h"

#include "flash/unit_tables.h"
#include "payloads/mcu_table.h"

namespace corv {

std::optional<uint32_t> ExpectedChecksum(const UnitInfo& info, bool largeEeprom) {
  const std::optional<ImageName> payload = SoftwarePayload(info, largeEeprom);
  if (!payload) return std::nullopt;
  return SoftwareChecksum(*payload);
}

std::optional<ImageName> SoftwarePayload(const UnitInfo& info, bool largeEeprom) {
  const McuRow& mcu = Mcu(info.mcuType);
  if (info.cardFamily == kFamilyDisplay) return mcu.displaySoftware;
  if (info.cardFamily == kFamilyTransmitter) return largeEeprom ? mcu.transmitterSoftware128k : mcu.transmitterSoftware;
  return std::nullopt;
}

void DecideBootLoaderAge(Context& ctx, const UnitInfo& info, UpdateFlags& flags) {
  const uint8_t current = Mcu(info.mcuType).currentBootRelease;
  if (current == 0 || info.bootRelease >= current) return;
  flags.bootLoader = true;
  ctx.Detail() << "Updating boot loader because it is older than the current version\r\n";
}

void DecideSoftware(Context& ctx, uint16_t softwareVersion, const UnitInfo& info, UpdateFlags& flags) {
  OutStream& d = ctx.Detail();
  if (softwareVersion != kCurrentSoftwareVersion) {
    // A newer version is replaced as well: the unit gets the software carried here.
    d << "Updating corvanta software because it is different than the current version\r\n";
    flags.software = true;
    return;
  }
  const std::optional<uint32_t> expected = ExpectedChecksum(info, flags.largeEeprom);
  if (expected && info.checksum != *expected) {
    d << "Updating corvanta software because the checksum is different than the current version\r\n";
    flags.software = true;
  }
  if (info.bootFlags & kFlagNoSoftware) {
    d << "Updating corvanta software because there is no software in the unit\r\n";
    flags.software = true;
  }
  if (info.bootFlags & kFlagFlashTestFailed) {
    d << "Updating corvanta software because the FLASH check failed\r\n";
    flags.software = true;
  }
  if (info.bootRelease < 4) {
    d << "Updating corvanta software because the checksum is not available (old boot loader)\r\n";
    flags.software = true;
  }
}

void ApplyConsequences(Context& ctx, UpdateFlags& flags) {
  OutStream& d = ctx.Detail();
  if (flags.fields) {
    if (!flags.software) d << "Updating corvanta software because the manufacturing fields need to be updated\r\n";
    flags.software = true;
  }
  if (flags.bootLoader) {
    if (!flags.software) d << "Updating corvatna software because the boot loader needs to be updated\r\n";
    flags.software = true;
  }
  if (ctx.settings.manufacturingMode) {
    if (flags.bootLoader && !flags.fields) {
      d << "Updating manufacturing fields because the boot loader needs to be updated\r\n";
      flags.fields = true;
    }
    if (flags.software && !flags.fields) {
      d << "Updating manufacturing fields because the corvanta software needs to be updated\r\n";
      flags.fields = true;
    }
  }
  if (ctx.settings.writeAlways) {
    if (!flags.software) d << "Updating corvanta software because -w command line option specified\r\n";
    flags.software = true;
  }
}

void PrintSummary(Context& ctx, const UpdateFlags& flags) {
  OutStream& n = ctx.Notice();
  if (ctx.settings.manufacturingMode) {
    n << (flags.fields ? "-- manufacturing fields will be updated\r\n" : "-- manufacturing fields are already correct\r\n");
  }
  if (flags.bootLoader) {
    n << "-- corvanta boot loader and software will be updated\r\n";
  } else if (flags.software) {
    n << "-- corvanta software will be updated\r\n";
  } else {
    n << "-- corvanta software is already the correct version\r\n";
  }
}

}  // namespace corv
