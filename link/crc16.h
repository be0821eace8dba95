// The frame check of every packet: CRC-16 of the Modbus RTU standard (reflected
// polynomial 0xA001, initial 0xFFFF, no final inversion), appended low byte first.
// A frame with its check appended yields 0 over all its bytes.
#pragma once
#include <cstddef>
#include <cstdint>

namespace corv {

inline uint16_t Crc16(const uint8_t* data, size_t n, uint16_t crc = 0xFFFF) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
  }
  return crc;
}

}  // namespace corv
