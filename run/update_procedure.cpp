// The update of a connected unit, step by step. The unit moves from its running
// software into its boot loader, into the flash programmer (for a Transmitter's
// strings first, then back into the boot loader), and is reset at the end.
#include "run/update_procedure.h"

#include "flash/boot_commands.h"
#include "flash/flash_target.h"
#include "flash/flash_writer.h"
#include "flash/programmer_download.h"
#include "flash/reboot.h"
#include "flash/unit_tables.h"
#include "payloads/mcu_table.h"
#include "run/update_decision.h"
#include "run/update_questions.h"
#include "unitdata/old_fields.h"
#include "unitdata/strings_file.h"

namespace corv {

namespace {

constexpr uint16_t kSerialCompareVersion = 220;  // from here on the unit reports its serial number
constexpr uint16_t kFieldsCheckVersion = 440;    // from here on the unit compares its fields itself

// The serial number and the manufacturing fields (manufacturing mode: what the
// new record changes; otherwise: a unit without a valid serial number).
void WeighSerialNumber(Context& ctx, UpdateTarget& u, int32_t newSerial, UpdateFlags& flags) {
  const uint32_t unitSerial = u.info.serialNumber;
  OutStream& d = ctx.Detail();
  if (!ctx.settings.manufacturingMode) {
    if (unitSerial < kFirstSerialNumber || unitSerial > kLastSerialNumber) {
      d << "Updating corvanta software because the serial number is missing\r\n";
      flags.software = true;
    }
    return;
  }
  const uint16_t version = u.link.versions.softwareVersion;
  if (u.link.softwareMode != modeCorvantaSoftware || version < kSerialCompareVersion) {
    d << "Updating manufacturing fields because the software is either not present or older than V2.20\r\n";
    flags.fields = true;
    return;
  }
  if (static_cast<int64_t>(newSerial) != static_cast<int64_t>(unitSerial)) {
    if (newSerial != 0 && unitSerial != 0) {
      ConfirmSerialReplacement(ctx, unitSerial);
    } else {
      if (unitSerial == 0) ctx.Report() << "Serial number in the unit is empty\r\n";
      if (newSerial == 0) ctx.Report() << "New serial number is empty\r\n";
    }
    flags.fields = true;
    d << "Updating manufacturing fields because the new serial number is different\r\n";
  }
  if (version < kFieldsCheckVersion) {
    flags.fields = true;
    d << "Updating manufacturing fields because the software is older than V4.40\r\n";
    return;
  }
  bool differs = false;
  if (!CheckManufacturingFields(u.link, u.fields, differs)) Fatal(ctx, "Unable to talk to unit");
  // The unit's own comparison decides, whatever the serial number said.
  flags.fields = differs;
}

void RebootOrFatal(Context& ctx, UpdateTarget& u) {
  if (!RebootToBootLoader(u.link, u.info, false)) Fatal(ctx, "Unable to initialise Corvanta unit");
}

void NoteBootLoaderMode(Context& ctx, const Link& link) {
  if (link.softwareMode != modeCorvantaBootLoader) {
    ctx.Detail() << "-- Software mode of unit is not modeCorvantaBootLoader\r\n";
  }
}

// A pre-production board (test software present) is only updated in
// manufacturing mode, after CorvBoot put the secured boot loader on it; only
// such a board has its boot loader brought up to date.
void HandleTestSoftware(Context& ctx, UpdateTarget& u, UpdateFlags& flags) {
  if ((u.info.bootFlags & kFlagTestSoftware) == 0) return;
  if (!ctx.settings.manufacturingMode) {
    ResetUnit(u.link, u.info);  // leave it running; the run stops either way
    Fatal(ctx, "Cannot update this unit (pre-production board)");
  }
  ctx.Notice() << "Updating with secured corvanta boot loader\r\n";
  u.installSecuredBootLoader();
  NoteBootLoaderMode(ctx, u.link);
  if (u.info.bootFlags & kFlagTestSoftware) Fatal(ctx, "Unable to update to secured boot loader");
  DecideBootLoaderAge(ctx, u.info, flags);
}

// A Transmitter of an MCU type with a strings file keeps its texts there; its answer
// also tells whether the unit has the 128K EEPROM the larger software needs.
void UpdateStrings(Context& ctx, UpdateTarget& u, UpdateFlags& flags) {
  if (u.info.cardFamily != kFamilyTransmitter || !Mcu(u.info.mcuType).transmitterStrings) return;
  if (!u.info.stringsProgrammer) Fatal(ctx, "Cannot update strings in this unit");
  if (!DownloadProgrammer(u.link, u.info, *u.info.stringsProgrammer)) Fatal(ctx, "Unable to download programmer");
  if (!SelectFlashTarget(u.link, u.info)) Fatal(ctx, "Unknown corvanta unit");
  const ByteBlock strings = StringsFile();
  if (!UpdateStringsFile(u.link, u.info, ctx.settings.writeAlways, strings.data, strings.length, flags.largeEeprom)) {
    Fatal(ctx, "Unable to write new file");
  }
  RebootOrFatal(ctx, u);
}

void StartFlashProgrammer(Context& ctx, UpdateTarget& u) {
  if (!u.info.flashProgrammer || !DownloadProgrammer(u.link, u.info, *u.info.flashProgrammer)) {
    Fatal(ctx, "Unable to download flash programmer");
  }
  if (!SelectFlashTarget(u.link, u.info)) Fatal(ctx, "Unknown corvanta unit");
  if (u.link.softwareMode != modeFlashProgrammer) {
    ctx.Detail() << "-- Software mode of unit is not modeFlashProgrammer\r\n";
  }
}

ImageName ChooseSoftware(Context& ctx, const UnitInfo& info, const UpdateFlags& flags) {
  if (!ctx.settings.silent) {
    if (info.cardFamily == kFamilyDisplay) ctx.Notice() << "  Selected unit is a Display\r\n";
    if (info.cardFamily == kFamilyTransmitter) ctx.Notice() << "  Selected unit is a Transmitter\r\n";
  }
  const std::optional<ImageName> payload = SoftwarePayload(info, flags.largeEeprom);
  if (!payload) Fatal(ctx, "No new software can be found for this unit");
  return *payload;
}

// One image into flash, then the programmer restarted for the next one.
void WriteOneImage(Context& ctx, UpdateTarget& u, ImageName image, const FlashHook& hook) {
  if (!WriteImage(u.link, u.info, image, hook)) Fatal(ctx, "Unable to write new software");
  if (!ResetProgrammer(u.link, u.info)) Fatal(ctx, "Unable to reset flash programmer");
}

void WriteUnit(Context& ctx, UpdateTarget& u, const UpdateFlags& flags) {
  StartFlashProgrammer(ctx, u);
  const ImageName software = ChooseSoftware(ctx, u.info, flags);
  // The flash target always names a boot-loader image once selected.
  auto writeBootLoader = [&](const FlashHook& hook) {
    ctx.Notice() << "Preparing to update Boot Loader...\r\n";
    if (!u.info.bootLoaderImage) Fatal(ctx, "Unable to write new software");
    WriteOneImage(ctx, u, *u.info.bootLoaderImage, hook);
  };
  if (flags.fields) {
    // The supplied record replaces whatever the rewrite left.
    if (flags.bootLoader) writeBootLoader({});
    if (flags.software) WriteOneImage(ctx, u, software, {});
    if (!UpdateManufacturingFields(u.link, u.fields)) Fatal(ctx, "Unable to write to flash memory");
    return;
  }
  // The unit's own fields are carried across the rewrite: read before it and
  // written back after the first page of each image.
  OldFieldsBuffer old;
  if (!ReadOldFields(u.link, u.info, old)) Fatal(ctx, "Unable to read from flash memory");
  if (flags.bootLoader) writeBootLoader(OldFieldsHook(u.link, u.info, old));
  if (flags.software) WriteOneImage(ctx, u, software, OldFieldsHook(u.link, u.info, old));
  if (!PreserveManufacturingFields(u.link, static_cast<int32_t>(u.info.serialNumber))) {
    Fatal(ctx, "Unable to write to flash memory");
  }
}

// A Display of an MCU type with a flash drive keeps images and fonts there; each
// file is only sent when the unit's copy differs.
void UpdateDriveFiles(Context& ctx, UpdateTarget& u) {
  if (u.info.cardFamily != kFamilyDisplay || !Mcu(u.info.mcuType).displayDrive) return;
  if (u.link.softwareMode != modeFlashProgrammer) StartFlashProgrammer(ctx, u);
  if (!UpdateImagesFile(u.link, u.info)) Fatal(ctx, "Unable to send images file");
  if (!UpdateFontFiles(u.link, u.info)) Fatal(ctx, "Unable to send font file");
}

}  // namespace

bool RunUpdate(Context& ctx, UpdateTarget& u, int32_t newSerialNumber, bool confirm) {
  UpdateFlags flags;
  SettleUnitType(ctx, u.info);
  PModuleNotice(ctx, u.link.versions, u.info);
  if (confirm && !ctx.settings.yesToPrompts) ConfirmUpgrade(ctx);
  WeighSerialNumber(ctx, u, newSerialNumber, flags);

  RebootOrFatal(ctx, u);
  NoteBootLoaderMode(ctx, u.link);
  HandleTestSoftware(ctx, u, flags);
  UpdateStrings(ctx, u, flags);

  DecideSoftware(ctx, u.link.versions.softwareVersion, u.info, flags);
  ApplyConsequences(ctx, flags);
  PrintSummary(ctx, flags);

  if (flags.Any()) WriteUnit(ctx, u, flags);
  UpdateDriveFiles(ctx, u);
  return ResetUnit(u.link, u.info);
}

}  // namespace corv
