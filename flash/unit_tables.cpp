// The classification tables of the units the program can update.
#include "flash/unit_tables.h"

namespace corv {

uint8_t CardFamily(uint16_t cardNumber) {
  switch (cardNumber) {
    case 611:
    case 647:
      return kFamilyDisplay;
    case 620:
    case 468:
      return kFamilyTransmitter;
    default:
      return 0;
  }
}

ProgrammerChoice ChooseProgrammers(uint8_t mcuType, uint8_t bootVersion, uint8_t cardFamily) {
  ProgrammerChoice c;
  const bool transmitter = cardFamily == kFamilyTransmitter;
  switch (mcuType) {
    case 2:
      if (bootVersion == 2) {
        c.flash = ImageName::ProgrammerA;
        if (transmitter) c.strings = ImageName::StringsProgrammerA;
      } else if (bootVersion == 3) {
        c.flash = ImageName::ProgrammerB;
        if (transmitter) c.strings = ImageName::StringsProgrammerB;
      }
      break;
    case 3:
      if (bootVersion == 3) c.flash = ImageName::ProgrammerC;
      break;
    case 5:
      if (bootVersion == 3) c.flash = ImageName::ProgrammerD;
      break;
    default:
      c.verdict = ProgrammerVerdict::IncompatibleCpu;
      return c;
  }
  c.verdict = c.flash ? ProgrammerVerdict::Selected : ProgrammerVerdict::UnsupportedBootLoader;
  return c;
}

FlashTargetEntry FlashTargetFor(uint8_t mcuType) {
  FlashTargetEntry e;
  switch (mcuType) {
    case 1:
      e.known = true;
      e.refused = true;
      e.pageSize = 32;
      e.oldFieldsInFlash = true;
      break;
    case 2:
      e.known = true;
      e.pageSize = 128;
      e.oldFieldsInFlash = true;
      e.bootLoaderImage = ImageName::BootLoaderMcu2;
      break;
    case 3:
      e.known = true;
      e.pageSize = 256;
      e.bootLoaderImage = ImageName::BootLoaderMcu3;
      break;
    case 5:
      // Grouped with type 3: the same page, its old-fields area is type 3's and
      // its manufacturing fields live apart from the flash image, so nothing
      // has to be carried across a rewrite.
      e.known = true;
      e.pageSize = 256;
      e.bootLoaderImage = ImageName::BootLoaderMcu5;
      break;
    default:
      break;
  }
  return e;
}

std::optional<OldFieldsArea> OldFieldsAreaFor(uint8_t mcuType) {
  switch (mcuType) {
    case 1:
    case 2:
      return OldFieldsArea{512, 639, 128};
    case 3:
    case 5:
      return OldFieldsArea{768, 1023, 256};
    default:
      return std::nullopt;
  }
}

bool FastProgrammerMcu(uint8_t mcuType) { return mcuType == 3 || mcuType == 5; }
int DownloadWindow(uint8_t mcuType) { return FastProgrammerMcu(mcuType) ? 8 : 1; }
int FlashWindow(uint8_t mcuType) { return FastProgrammerMcu(mcuType) ? 8 : 2; }

}  // namespace corv
