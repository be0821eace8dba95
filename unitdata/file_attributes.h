// The five attribute words of a flash-drive file (size, and the sum and XOR of
// its odd- and even-numbered 32-bit words) as the unit reports them, and the
// same words computed over new contents, so that a file already in the unit
// can be recognised without reading it.
#pragma once
#include <cstdint>

namespace corv {

struct FileAttributes {
  uint32_t size = 0;
  uint32_t evenSum = 0;  // 1st, 3rd, 5th ... word
  uint32_t oddSum = 0;   // 2nd, 4th, 6th ... word
  uint32_t evenXor = 0;
  uint32_t oddXor = 0;
  bool operator==(const FileAttributes&) const = default;
};

// Words of four bytes each, the last group padded with zero bytes, in the byte
// order of the MCU type (the MCU table's littleEndianWords).
FileAttributes ComputeFileAttributes(const uint8_t* data, uint32_t length, uint8_t mcuType);

}  // namespace corv
