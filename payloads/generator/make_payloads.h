// Makes the stand-in payloads: image streams with the catalogue's exact layout
// and the flash-drive files with their headers and sizes, all from one fixed
// seed so that every build makes the same bytes.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "payloads/payload_table.h"

namespace corv {

std::vector<uint8_t> MakeImage(const ImageLayout& entry);
// Text body for the strings file, pseudo-random bytes for the others.
std::vector<uint8_t> MakeFile(const FileLayout& entry, bool textBody);

// The four bytes that, appended to data whose CRC-32 is `crcBefore`, make the
// CRC-32 of the whole equal `target`.
std::array<uint8_t, 4> CrcForcingBytes(uint32_t crcBefore, uint32_t target);

}  // namespace corv
