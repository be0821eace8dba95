#include "tests/link/far_end.h"

#include "link/crc16.h"

namespace corv::test {

std::vector<uint8_t> Framed(std::vector<uint8_t> body) {
  const uint16_t crc = Crc16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc));
  body.push_back(static_cast<uint8_t>(crc >> 8));
  return body;
}

}  // namespace corv::test
