// Big-endian field helpers for the unit model's frames.
#pragma once
#include <cstdint>
#include <vector>

namespace corv::sim {

inline uint16_t Be16(const std::vector<uint8_t>& f, size_t at) {
  return static_cast<uint16_t>((f[at] << 8) | f[at + 1]);
}
inline uint32_t Be32(const std::vector<uint8_t>& f, size_t at) {
  return (uint32_t{f[at]} << 24) | (uint32_t{f[at + 1]} << 16) | (uint32_t{f[at + 2]} << 8) | uint32_t{f[at + 3]};
}
inline void Add8(std::vector<uint8_t>& f, uint32_t v) { f.push_back(static_cast<uint8_t>(v)); }
inline void Add16(std::vector<uint8_t>& f, uint32_t v) {
  f.push_back(static_cast<uint8_t>(v >> 8));
  f.push_back(static_cast<uint8_t>(v));
}
inline void Add32(std::vector<uint8_t>& f, uint32_t v) {
  Add16(f, v >> 16);
  Add16(f, v);
}
// A reply header: address, 0x45, code.
inline std::vector<uint8_t> Header(uint8_t address, uint16_t code) {
  std::vector<uint8_t> f{address, 0x45};
  Add16(f, code);
  return f;
}

}  // namespace corv::sim
