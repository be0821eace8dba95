// The unit information of one run: the extended information and information
// text read from the running software, the boot-loader records read after each
// reboot, the unit type, and the programmers selected for the download. The
// versions record itself is kept by the link (Link::versions).
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "payloads/catalogue.h"

namespace corv {

struct UnitInfo {
  uint8_t cardFamily = 0;  // 1 Display, 2 Transmitter, 0 not known

  // Extended information (0x1015) and information text (0x1016).
  bool extendedRead = false;
  uint8_t infoTextFlag = 0;
  uint16_t maskFt = 0, maskRt = 0, maskNew = 0;
  uint32_t serialNumber = 0;
  uint8_t pModuleType = 0;
  uint32_t pModuleSerial = 0;
  uint16_t pModuleLastVersion = 0;
  uint8_t buildTime[6] = {};
  uint8_t infoTextLength = 0;
  std::string informationText;

  // Boot-loader records (0x1012, 0x1013).
  uint8_t bootRecordByte = 0;
  uint8_t mcuType = 0;
  uint8_t bootVersion = 0;
  uint8_t bootRelease = 0;
  uint32_t checksum = 0;
  uint8_t bootFlags = 0;

  // Programmers selected by MCU type and boot-loader version.
  std::optional<ImageName> flashProgrammer;
  std::optional<ImageName> stringsProgrammer;

  // Overlapped (duplex) writes in use; once switched off for a missing CTS it
  // stays off for the rest of the run, whatever a later reboot selects.
  bool overlapped = false;
  bool overlappedLatchedOff = false;

  // Flash target (selected by MCU type).
  uint16_t pageSize = 0;
  bool oldFieldsInFlash = false;
  std::optional<ImageName> bootLoaderImage;
};

}  // namespace corv
