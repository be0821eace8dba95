// What an update must rewrite, decided from what the unit reported: the
// decision flags, the reasons printed for them (detail stream, lines that
// begin "Updating"), the summary of what will be done (notice stream), and
// the software payload a unit gets. Nothing here talks to the unit.
#pragma once
#include <cstdint>
#include <optional>

#include "flash/unit_info.h"
#include "payloads/catalogue.h"
#include "support/context.h"

namespace corv {

// The instrument software this program carries.
inline constexpr uint16_t kCurrentSoftwareVersion = 510;
// Valid serial numbers, both ends included.
inline constexpr uint32_t kFirstSerialNumber = 10000;
inline constexpr uint32_t kLastSerialNumber = 100000;

// Boot flags of the boot-loader release record.
inline constexpr uint8_t kFlagNoSoftware = 0x01;
inline constexpr uint8_t kFlagFlashTestFailed = 0x04;
inline constexpr uint8_t kFlagTestSoftware = 0x80;  // pre-production board

struct UpdateFlags {
  bool fields = false;      // rewrite the manufacturing fields with the supplied record
  bool bootLoader = false;  // write the boot-loader image before the software
  bool software = false;    // write the instrument software
  bool largeEeprom = false; // a working 128K EEPROM: chooses the Transmitter software
  bool Any() const { return fields || bootLoader || software; }
};

// The checksum a unit holding its current software reports; none for the
// combinations that are not compared.
std::optional<uint32_t> ExpectedChecksum(const UnitInfo& info, bool largeEeprom);

// The software payload for the unit's type and MCU type; none when the
// program carries no software for it.
std::optional<ImageName> SoftwarePayload(const UnitInfo& info, bool largeEeprom);

// The boot loader is older than the current one (old releases per MCU type).
void DecideBootLoaderAge(Context& ctx, const UnitInfo& info, UpdateFlags& flags);

// The software: another version than the current one, or the current one with
// another checksum, no software, a failed flash test or no checksum to compare.
void DecideSoftware(Context& ctx, uint16_t softwareVersion, const UnitInfo& info, UpdateFlags& flags);

// What one rewrite brings with it: new fields or a new boot loader need the
// software written; in manufacturing mode every rewrite also writes the
// fields; -w writes the software whatever was decided.
void ApplyConsequences(Context& ctx, UpdateFlags& flags);

// The "-- " lines that say what will be done.
void PrintSummary(Context& ctx, const UpdateFlags& flags);

}  // namespace corv
