// The unit's manufacturing-fields record rules and file attribute words.
#include "sim/unit_data.h"

#include <algorithm>

#include "link/crc16.h"

namespace corv::sim {

namespace {

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

std::string HexText(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

}  // namespace

std::vector<uint8_t> MakeFieldsRecord(uint32_t serial) {
  std::vector<uint8_t> r(kFieldsLength, 0xFF);
  if (serial == 0) return r;
  const uint32_t enc = serial ^ kSerialCipher;
  for (int i = 0; i < 4; ++i) r[i] = static_cast<uint8_t>(enc >> (24 - 8 * i));
  Put16(&r[4], Crc16(&r[0], 4));
  for (int i = 0; i < 32; ++i) r[6 + i] = static_cast<uint8_t>((serial >> (8 * (i % 4))) ^ (0x3C + 17 * i));
  Put16(&r[38], Crc16(&r[6], 32));
  return r;
}

bool FieldsValid(const uint8_t* r) {
  if (std::all_of(r, r + kFieldsLength, [](uint8_t b) { return b == 0xFF; })) return false;
  return Crc16(r, 4) == Get16(r + 4) && Crc16(r + 6, 32) == Get16(r + 38);
}

uint32_t FieldsSerial(const uint8_t* r) {
  if (!FieldsValid(r)) return 0;
  const uint32_t enc = (uint32_t{r[0]} << 24) | (uint32_t{r[1]} << 16) | (uint32_t{r[2]} << 8) | r[3];
  return enc ^ kSerialCipher;
}

FieldsText FieldsAsText(const std::vector<uint8_t>& r) {
  FieldsText t;
  if (r.size() < kFieldsLength) return t;
  t.serialNo = HexText(&r[0], 4);
  t.serialNoCrc = HexText(&r[4], 2);
  t.secretKeys = HexText(&r[6], 32);
  t.secretKeysCrc = HexText(&r[38], 2);
  return t;
}

bool LittleEndianWords(int mcuType) { return mcuType == 3 || mcuType == 5; }

std::array<uint32_t, 5> FileAttributes(const uint8_t* data, size_t size, bool littleEndian) {
  std::array<uint32_t, 5> a{static_cast<uint32_t>(size), 0, 0, 0, 0};
  for (size_t w = 0; w * 4 < size; ++w) {
    uint8_t b[4] = {0, 0, 0, 0};
    for (size_t i = 0; i < 4 && w * 4 + i < size; ++i) b[i] = data[w * 4 + i];
    const uint32_t word = littleEndian
                              ? uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24)
                              : (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
    const int odd = static_cast<int>(w & 1);  // 0: 1st, 3rd ... word
    a[1 + odd] += word;
    a[3 + odd] ^= word;
  }
  return a;
}

}  // namespace corv::sim
