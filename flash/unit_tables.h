// The classification of a unit: card number to unit type, and MCU type and
// boot-loader version to the programmers it gets (from the MCU table,
// payloads/mcu_table.h). Pure look-ups; the operations that stop the run on a
// refusal are in interrogation.h and flash_target.h.
#pragma once
#include <cstdint>
#include <optional>

#include "payloads/catalogue.h"
#include "payloads/mcu_table.h"

namespace corv {

inline constexpr uint8_t kFamilyDisplay = 1;
inline constexpr uint8_t kFamilyTransmitter = 2;

// 1 Display, 2 Transmitter; 0 for a card number the program does not support.
uint8_t CardFamily(uint16_t cardNumber);

enum class ProgrammerVerdict {
  Selected,
  UnsupportedBootLoader,  // an MCU type with programmers, but none for this boot-loader version
  IncompatibleCpu,        // an MCU type without programmers
};
struct ProgrammerChoice {
  ProgrammerVerdict verdict = ProgrammerVerdict::IncompatibleCpu;
  std::optional<ImageName> flash;
  std::optional<ImageName> strings;  // Transmitters only
};
ProgrammerChoice ChooseProgrammers(uint8_t mcuType, uint8_t bootVersion, uint8_t cardFamily);

}  // namespace corv
