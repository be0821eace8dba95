// The unit profile: what kind of instrument a virtual unit is and the state it
// starts in (versions, boot loader, rates, address, manufacturing fields,
// strings area, flash-drive files, timing, special kinds). Read from a small
// key=value text file (see docs/unit-profiles.md); the built-in presets give
// the common units. Unknown keys and bad values are reported, never ignored.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corv::sim {

// What answers on the port.
enum class UnitKind {
  Instrument,  // a Corvanta unit: software, boot loader, flash programmer
  LpcIsp,      // a processor held in its NXP LPC ISP boot loader
  Modem,       // a modem answering "AT" commands
  Dead,        // a port with nothing that answers
};

struct UnitProfile {
  UnitKind kind = UnitKind::Instrument;

  // Versions record (0x1010).
  uint16_t card = 647;
  uint16_t circuit = 5;
  uint16_t version = 490;  // software version x 100; 0 = no working software
  uint16_t product = 150;

  // Extended information (0x1015) and information text (0x1016).
  uint16_t maskFt = 0x1234, maskRt = 0x0F0F, maskNew = 0x0001;
  uint8_t pmoduleType = 0;  // 0 = no P-Module fitted
  uint32_t pmoduleSerial = 0;
  uint16_t pmoduleVersion = 0;
  uint8_t buildTime[6] = {19, 3, 14, 10, 30, 0};  // yy, mm, dd, hh, mm, ss
  std::string info = "Virtual belt weigher";
  uint8_t extRecordLength = 24;  // what the unit announces; 24 is the only layout

  // Boot loader (0x1012, 0x1013).
  uint8_t mcu = 3;
  uint8_t bootVersion = 3;
  uint8_t bootRelease = 9;
  uint8_t bootFlags = 0x02;  // flash test enabled
  uint8_t bootRecord = 1;
  bool releaseRecord = true;  // false: 0x1013 goes unanswered (old boot loader)
  uint32_t checksum = 0x1A2B3C4D;

  // Line.
  uint8_t address = 240;    // the software's address: 240 or 1..33
  int32_t rate = 19200;     // the software's rate
  bool evenParity = false;  // the software's parity
  int32_t bootRate = 9600;  // the boot loader's start rate: 9600 or 115200
  std::optional<bool> cts;  // unset: the boot loader (MCU 3, 5) and every programmer raise CTS
  int maxRateIndex = 0;     // highest set-baud-rate index obeyed; 0: 5 on MCU 1/2, else 9

  // Manufacturing fields: the 40-byte record the unit holds (all 0xFF = none).
  std::vector<uint8_t> fields;  // empty: built from `serial`
  uint32_t serial = 12345;      // 0 = no fields
  int fieldsCheck = -1;         // forced result codes; -1 = the unit decides
  int fieldsUpdate = -1;
  int fieldsPreserve = -1;
  int secureBootResult = 0;     // the answer to 0x10F0
  int secureBootRelease = -1;   // the release 0x10F0 leaves; -1: the current one (5 on MCU 2, else 9)

  // Strings area (EEPROM) and flash drive.
  uint8_t eeprom = 1;  // 0: 8K, 1: 128K working, 2: 128K failed
  std::vector<uint8_t> strings;  // what the area holds from offset 0
  std::map<uint8_t, std::vector<uint8_t>> files;
  uint32_t driveCapacity = 2 * 1024 * 1024;

  // Faults for the failure paths: a command the unit ignores (no answer, no
  // effect) from its n-th request on (counted from 1, in any mode), and a result
  // code a command answers with instead of its own (a non-zero one does nothing).
  std::map<uint16_t, uint64_t> unansweredFrom;
  std::map<uint16_t, uint8_t> forcedResult;
  std::map<uint16_t, uint64_t> hangAt;  // the unit hangs (silent until a power cycle) at a command's n-th request
  uint8_t notOpenStatus = 1;  // what the close of a file that is not open answers
  bool lpcSync = true;  // false: the LPC chip answers "?" but never completes the synchronisation

  // Timing (microseconds).
  uint32_t commandUs = 200;      // any command
  uint32_t flashBlockUs = 1000;  // per 128 bytes written to flash or the drive
  uint32_t resetUs = 5000;       // deaf after a reset
  uint32_t bootWindowUs = 500000;  // the boot loader's start-up window
  // On a pseudo-terminal: the program's bytes reach the unit no faster than
  // the line's rate (each takes its wire time), as on a serial line, instead
  // of as soon as the terminal passes them.
  bool wireIn = false;
};

// The default profile: a Display unit, MCU type 3, at software version 4.90.
UnitProfile DefaultProfile();
// Presets for tests: a Display with MCU type 2, a Transmitter with MCU type 2
// (EEPROM status given), a unit in the current state (version 5.10 and the
// checksum of its software payload).
UnitProfile DisplayMcu2Profile();
UnitProfile TransmitterMcu2Profile(uint8_t eeprom);

// Applies one "key=value" setting; false with `error` set when the key is
// unknown or the value does not read or is one no unit has (the error names
// the key, the value and the allowed range or form).
bool ApplySetting(UnitProfile& p, std::string_view key, std::string_view value, std::string& error);
// Reads profile text over `p` (blank lines and lines starting with "#" are
// skipped). False with "line N: ..." in `error` on the first bad line.
bool ParseProfile(UnitProfile& p, std::string_view text, std::string& error);
// A folder or a file that cannot be read is refused with the system's reason.
bool LoadProfile(UnitProfile& p, const std::string& path, std::string& error);
// The commands whose reply carries a result code that `forcedResult` can set.
bool HasResultCode(uint16_t code);

}  // namespace corv::sim
