// The one table of what differs between the MCU types of the units, a row per
// type: the flash page and old-fields area, the payloads the type gets (flash
// and strings programmers by boot-loader version, boot-loader image, software),
// the transfer windows, the programming-rate limit and the programmer's start
// rate. The payload check, the flash, unit-data and update code all read it;
// a type without a row reads the fallback row, where nothing is known.
#pragma once
#include <array>
#include <cstdint>
#include <optional>

#include "payloads/catalogue.h"

namespace corv {

// The flash and (for Transmitters) strings programmer for one boot-loader version.
struct ProgrammerRow {
  uint8_t bootVersion = 0;  // 0: no such row
  ImageName flash = ImageName::ProgrammerA;
  std::optional<ImageName> strings = std::nullopt;
};

struct McuRow {
  uint8_t type = 0;
  bool known = false;    // a row of the table; false for the fallback
  bool refused = false;  // the program does not write this type ("Unsupported unit")
  // An NXP LPC chip: its boot loader raises CTS itself and its programmer
  // clears the chip.
  bool lpc = false;

  // Flash.
  uint16_t pageSize = 0;
  bool oldFieldsInFlash = false;  // manufacturing fields kept in low flash
  uint32_t oldFieldsFirst = 0;    // the old-fields area, inclusive
  uint32_t oldFieldsLast = 0;

  // Payloads.
  std::array<ProgrammerRow, 2> programmers{};
  std::optional<ImageName> bootLoader = std::nullopt;
  uint8_t currentBootRelease = 0;  // older boot loaders are replaced; 0 never
  std::optional<ImageName> displaySoftware = std::nullopt;
  std::optional<ImageName> transmitterSoftware = std::nullopt;      // without a working 128K EEPROM
  std::optional<ImageName> transmitterSoftware128k = std::nullopt;  // with one
  bool transmitterStrings = false;  // a Transmitter keeps a strings file
  bool displayDrive = false;        // a Display keeps images and fonts on its flash drive

  // Transfers: blocks in flight at most in overlapped mode.
  int downloadWindow = 1;  // programmer download
  int flashWindow = 2;     // flash writing
  int driveWindow = 2;     // flash-drive files and strings
  bool littleEndianWords = false;    // how the unit forms its file attribute words
  bool answersBufferSize = true;     // the programmer answers the buffer-size command
  int32_t fastestProgrammingRate = 0;  // 0: any rate of the set-baud-rate table
  int32_t programmerStartRate = 0;     // 0: the programmer keeps the boot loader's rate

  constexpr uint32_t OldFieldsLength() const { return oldFieldsLast + 1 - oldFieldsFirst; }
};

inline constexpr std::array<McuRow, 4> kMcuTable = {{
    {.type = 1,
     .known = true,
     .refused = true,
     .pageSize = 32,
     .oldFieldsInFlash = true,
     .oldFieldsFirst = 512,
     .oldFieldsLast = 639,
     .answersBufferSize = false},
    {.type = 2,
     .known = true,
     .pageSize = 128,
     .oldFieldsInFlash = true,
     .oldFieldsFirst = 512,
     .oldFieldsLast = 639,
     .programmers = {{{2, ImageName::ProgrammerA, ImageName::StringsProgrammerA},
                      {3, ImageName::ProgrammerB, ImageName::StringsProgrammerB}}},
     .bootLoader = ImageName::BootLoaderMcu2,
     .currentBootRelease = 5,
     .displaySoftware = ImageName::DisplaySoftwareMcu2,
     .transmitterSoftware = ImageName::TransmitterSoftwareSmallEeprom,
     .transmitterSoftware128k = ImageName::TransmitterSoftware128kEeprom,
     .transmitterStrings = true,
     .answersBufferSize = false,
     // Its programmers go no faster.
     .fastestProgrammingRate = 115200},
    {.type = 3,
     .known = true,
     .lpc = true,
     .pageSize = 256,
     .oldFieldsFirst = 768,
     .oldFieldsLast = 1023,
     .programmers = {{{3, ImageName::ProgrammerC, std::nullopt}}},
     .bootLoader = ImageName::BootLoaderMcu3,
     .currentBootRelease = 9,
     .displaySoftware = ImageName::DisplaySoftwareMcu3,
     .displayDrive = true,
     .downloadWindow = 8,
     .flashWindow = 8,
     .driveWindow = 8,
     .littleEndianWords = true,
     .programmerStartRate = 115200},
    // Like type 3 in its page and old-fields area; its manufacturing fields live
    // apart from the flash image, so nothing is carried across a rewrite.
    {.type = 5,
     .known = true,
     .lpc = true,
     .pageSize = 256,
     .oldFieldsFirst = 768,
     .oldFieldsLast = 1023,
     .programmers = {{{3, ImageName::ProgrammerD, std::nullopt}}},
     .bootLoader = ImageName::BootLoaderMcu5,
     .downloadWindow = 8,
     .flashWindow = 8,
     .driveWindow = 8,
     .littleEndianWords = true,
     .programmerStartRate = 115200},
}};

inline constexpr McuRow kUnknownMcu{};

// The row of an MCU type, or the fallback row.
constexpr const McuRow& Mcu(int type) {
  for (const McuRow& row : kMcuTable) {
    if (row.type == type) return row;
  }
  return kUnknownMcu;
}

}  // namespace corv
