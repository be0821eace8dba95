// Attribute words over a file's contents.
#include "unitdata/file_attributes.h"

#include "payloads/mcu_table.h"

namespace corv {

FileAttributes ComputeFileAttributes(const uint8_t* data, uint32_t length, uint8_t mcuType) {
  const bool little = Mcu(mcuType).littleEndianWords;
  FileAttributes a;
  a.size = length;
  uint64_t word = 0;
  for (uint32_t start = 0, index = 0; start < length; start += 4, ++index) {
    uint8_t b[4] = {0, 0, 0, 0};
    for (uint32_t i = 0; i < 4 && start + i < length; ++i) b[i] = data[start + i];
    if (little) {
      word = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    } else {
      word = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
    }
    const uint32_t w = static_cast<uint32_t>(word);
    if (index % 2 == 0) {
      a.evenSum += w;
      a.evenXor ^= w;
    } else {
      a.oddSum += w;
      a.oddXor ^= w;
    }
  }
  return a;
}

}  // namespace corv
