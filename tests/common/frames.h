// Frames built and read by hand in the tests: a body with its check appended,
// and big-endian fields written and read, as the line carries them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/crc16.h"

namespace corv::testing {

// `body` with its CRC-16 appended, low byte first.
inline std::vector<uint8_t> Framed(std::vector<uint8_t> body) {
  const uint16_t crc = Crc16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  return body;
}

// `value` appended in one, two or four bytes, most significant first.
inline void Put8(std::vector<uint8_t>& b, uint32_t value) { b.push_back(static_cast<uint8_t>(value)); }
inline void Put16(std::vector<uint8_t>& b, uint32_t value) {
  Put8(b, value >> 8);
  Put8(b, value);
}
inline void Put32(std::vector<uint8_t>& b, uint32_t value) {
  Put16(b, value >> 16);
  Put16(b, value);
}

// The four bytes at `at`, most significant first.
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

}  // namespace corv::testing
