// The fixed tables that classify a unit: card number to unit type, MCU type
// and boot-loader version to the programmers it gets, MCU type to its flash
// page, old-fields area and boot-loader image, and the transfer windows of the
// overlapped download and flash writing. Pure look-ups; the operations that
// stop the run on a refusal are in interrogation.h and flash_target.h.
#pragma once
#include <cstdint>
#include <optional>

#include "payloads/catalogue.h"

namespace corv {

inline constexpr uint8_t kFamilyDisplay = 1;
inline constexpr uint8_t kFamilyTransmitter = 2;

// 1 Display, 2 Transmitter; 0 for a card number the program does not support.
uint8_t CardFamily(uint16_t cardNumber);

enum class ProgrammerVerdict {
  Selected,
  UnsupportedBootLoader,  // MCU type 2, 3 or 5 with another boot-loader version
  IncompatibleCpu,        // any other MCU type
};
struct ProgrammerChoice {
  ProgrammerVerdict verdict = ProgrammerVerdict::IncompatibleCpu;
  std::optional<ImageName> flash;
  std::optional<ImageName> strings;  // Transmitters only
};
ProgrammerChoice ChooseProgrammers(uint8_t mcuType, uint8_t bootVersion, uint8_t cardFamily);

struct FlashTargetEntry {
  bool known = false;       // false: no flash target for this MCU type
  bool refused = false;     // MCU type 1: "Unsupported unit"
  uint16_t pageSize = 0;
  bool oldFieldsInFlash = false;
  std::optional<ImageName> bootLoaderImage;
};
FlashTargetEntry FlashTargetFor(uint8_t mcuType);

struct OldFieldsArea {
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t length = 0;
};
// Empty for an MCU type outside the table.
std::optional<OldFieldsArea> OldFieldsAreaFor(uint8_t mcuType);

// Blocks in flight at most: programmer download 8 on MCU types 3 and 5, else 1;
// flash writing 8 on MCU types 3 and 5, else 2.
int DownloadWindow(uint8_t mcuType);
int FlashWindow(uint8_t mcuType);
bool FastProgrammerMcu(uint8_t mcuType);  // MCU types 3 and 5

}  // namespace corv
