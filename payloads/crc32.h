// The image checksum: the standard CRC-32 (reflected polynomial 0xEDB88320,
// initial value 0xFFFFFFFF, final inversion), computed as zlib computes it. The
// value can be carried over pieces: Crc32(b, nb, Crc32(a, na)) equals the CRC-32
// of a followed by b. A unit model computes it over the blocks of a flash pass in
// rising address order; the payload generator forces each image's value with it.
#pragma once
#include <cstddef>
#include <cstdint>

namespace corv {

// CRC-32 of n bytes, continuing from `crc` (0 to start).
uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0);

}  // namespace corv
