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
  const McuRow& mcu = Mcu(mcuType);
  if (mcu.programmers[0].bootVersion == 0) {
    c.verdict = ProgrammerVerdict::IncompatibleCpu;
    return c;
  }
  for (const ProgrammerRow& p : mcu.programmers) {
    if (p.bootVersion == 0 || p.bootVersion != bootVersion) continue;
    c.flash = p.flash;
    if (cardFamily == kFamilyTransmitter) c.strings = p.strings;
  }
  c.verdict = c.flash ? ProgrammerVerdict::Selected : ProgrammerVerdict::UnsupportedBootLoader;
  return c;
}

}  // namespace corv
