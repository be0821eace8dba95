// Frames built and read by hand in the tests: a body with its check appended,
// one request and its reply on a port, big-endian fields written and read, as the line carries them, and the length
// of a request to the boot loader or flash programmer from its first bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/crc16.h"
#include "platform/port.h"

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

// One request on `port` (its check appended) and the reply of `replyLength`
// bytes that follows, without its check; empty when less came or the check failed.
inline std::vector<uint8_t> Ask(SerialPort& port, const std::vector<uint8_t>& request, size_t replyLength) {
  const std::vector<uint8_t> out = Framed(request);
  port.Transmit(out.data(), static_cast<uint16_t>(out.size()));
  std::vector<uint8_t> in(replyLength + 2);
  const int n = port.Receive(in.data(), static_cast<uint16_t>(in.size()));
  if (n != static_cast<int>(in.size()) || Crc16(in.data(), in.size()) != 0) return {};
  in.resize(replyLength);
  return in;
}

// The `width` bytes at `p`, most significant first.
inline uint32_t GetBig(const uint8_t* p, size_t width) {
  uint32_t v = 0;
  for (size_t k = 0; k < width; ++k) v = v << 8 | p[k];
  return v;
}

// The four bytes at `at`, most significant first.
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) { return GetBig(b.data() + at, 4); }

// `value` written over the four bytes at `at`, most significant first.
inline void Set32(std::vector<uint8_t>& b, size_t at, uint32_t value) {
  for (size_t k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(value >> (24 - 8 * k));
}

// The whole length (check included) of the request to the boot loader or the
// flash programmer that `b` begins, read from its code and length fields; 0
// while too little of it has come to tell. A code neither knows is taken as
// `unknown` bytes long.
inline size_t RequestLength(const std::vector<uint8_t>& b, size_t unknown) {
  if (b.size() >= 2 && b[1] == 0x41) return 4;  // the quick response request
  if (b.size() < 4) return 0;
  const auto after = [&b](size_t header, size_t lengthAt, size_t width) -> size_t {
    return b.size() < lengthAt + width ? 0 : header + GetBig(b.data() + lengthAt, width) + 2;
  };
  switch (b[2] << 8 | b[3]) {
    // boot loader
    case 0x1011: case 0x1012: case 0x1032: case 0x1033: case 0x1091: return 6;
    case 0x1013: case 0x1090: return 7;
    case 0x1022: return 10;
    case 0x1021: case 0x1034: return 11;
    case 0x1020: case 0x1030: return after(9, 8, 1);
    case 0x1031: return after(11, 10, 1);
    case 0x1040: return after(10, 8, 2);
    // flash programmer
    case 0x1058: return 6;
    case 0x1060: case 0x1070: case 0x1080: case 0x1082: return 7;
    case 0x105A: return 11;
    case 0x1062: return 12;
    case 0x1059: return after(9, 8, 1);
    case 0x1071: return after(10, 9, 1);
    default: return unknown;
  }
}

}  // namespace corv::testing
