// Stand-in payload bytes. Each image is a list of runs of records 128 addresses
// apart; every record is full except possibly the last of a run. The runs leave
// the old-fields areas free and put the gaps the record counts need between them.
// Data are pseudo-random; an image with a CRC-32 in the catalogue has the last
// four data bytes of its last record chosen to give it.
#include "payloads/generator/make_payloads.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "payloads/crc32.h"

namespace corv {
namespace {

constexpr uint64_t kSeed = 0x436F72764C6F6164ull;

// splitmix64: small, fast and the same on every compiler.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }

 private:
  uint64_t state_;
};

uint64_t SeedOf(std::string_view file) {
  uint64_t h = kSeed;
  for (char c : file) h = (h ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
  return h;
}

struct Run {
  uint32_t address;     // first record's address
  uint32_t count;       // records in the run
  uint16_t lastLength;  // length of the run's last record
};

std::vector<Run> RunsOf(ImageName name) {
  constexpr uint32_t k = kRecordSpacing;
  switch (name) {
    case ImageName::ProgrammerA:
    case ImageName::ProgrammerB: return {{0x00FFD080, 46, 96}};
    // Vectors at the bottom of RAM, the one gap, then the code from its entry.
    case ImageName::ProgrammerC: return {{0x40000000, 1, 64}, {0x40000200, 157, 24}};
    case ImageName::ProgrammerD: return {{0x10000200, 73, 124}};
    case ImageName::StringsProgrammerA:
    case ImageName::StringsProgrammerB: return {{0x00FFD080, 36, 60}};
    // MCU type 2: addresses 512..639 (record slot 4) stay free.
    case ImageName::BootLoaderMcu2: return {{0, 4, 128}, {5 * k, 15, 128}, {24 * k, 16, 128}};
    // MCU types 3 and 5: addresses 768..1023 (slots 6 and 7) stay free.
    case ImageName::BootLoaderMcu3: return {{0, 6, 128}, {8 * k, 22, 128}, {32 * k, 29, 128}};
    case ImageName::BootLoaderMcu5: return {{0, 6, 128}, {8 * k, 32, 128}, {44 * k, 24, 128}};
    case ImageName::DisplaySoftwareMcu2:
      return {{0, 4, 128}, {5 * k, 595, 128}, {610 * k, 590, 128}, {1216 * k, 247, 128}};
    case ImageName::DisplaySoftwareMcu3: return {{128 * k, 572, 128}, {704 * k, 596, 128}, {1320 * k, 347, 128}};
    case ImageName::TransmitterSoftwareSmallEeprom:
      return {{0, 4, 128}, {5 * k, 795, 128}, {816 * k, 684, 128}, {1504 * k, 431, 128}};
    case ImageName::TransmitterSoftware128kEeprom:
      return {{0, 4, 128}, {5 * k, 695, 128}, {720 * k, 680, 128}, {1408 * k, 446, 128}};
  }
  throw std::logic_error("no layout");
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

std::array<uint8_t, 4> CrcForcingBytes(uint32_t crcBefore, uint32_t target) {
  // Four input bytes act on the CRC register by xor followed by 32 zero-bit
  // steps. Step the wanted register back 32 bits; the xor of that with the
  // present register is the input needed.
  uint32_t reg = ~target;
  for (int i = 0; i < 32; ++i) reg = (reg & 0x80000000u) ? ((reg ^ 0xEDB88320u) << 1) | 1u : reg << 1;
  uint32_t in = reg ^ ~crcBefore;
  return {static_cast<uint8_t>(in), static_cast<uint8_t>(in >> 8), static_cast<uint8_t>(in >> 16), static_cast<uint8_t>(in >> 24)};
}

std::vector<uint8_t> MakeImage(const ImageLayout& entry) {
  Random random(SeedOf(entry.file));
  std::vector<uint8_t> out;
  out.reserve(entry.streamSize);
  Put32(out, entry.startAddress);
  Put32(out, entry.totalLength);

  // Data bytes in stored order, as a unit sums them after a flash pass.
  uint32_t crc = 0;
  uint32_t crcBeforeTail = 0;
  for (const Run& run : RunsOf(entry.name)) {
    for (uint32_t i = 0; i < run.count; ++i) {
      uint16_t length = i + 1 == run.count ? run.lastLength : static_cast<uint16_t>(kMaxRecordLength);
      Put32(out, run.address + i * kRecordSpacing);
      out.push_back(static_cast<uint8_t>(length >> 8));
      out.push_back(static_cast<uint8_t>(length));
      size_t first = out.size();
      for (uint16_t j = 0; j < length; ++j) out.push_back(random.Byte());
      crcBeforeTail = length >= 4 ? Crc32(out.data() + first, length - 4u, crc) : crc;
      crc = Crc32(out.data() + first, length, crc);
    }
  }
  if (entry.crc != 0) {
    // Only data bytes change: the tail is the last four bytes pushed, inside the
    // last record's data (a full record), never its address or length.
    std::array<uint8_t, 4> force = CrcForcingBytes(crcBeforeTail, entry.crc);
    std::copy(force.begin(), force.end(), out.end() - 4);
  }
  Put32(out, kImageEndMarker);
  return out;
}

std::vector<uint8_t> MakeFile(const FileLayout& entry, bool textBody) {
  Random random(SeedOf(entry.file));
  std::vector<uint8_t> out(entry.beginning.begin(), entry.beginning.end());
  out.reserve(entry.length);
  if (!textBody) {
    while (out.size() < entry.length) out.push_back(random.Byte());
    return out;
  }
  // Texts of words of lower-case letters, each ended by a zero byte.
  while (out.size() < entry.length) {
    uint64_t r = random.Next();
    if (r % 11 == 0) out.push_back(0);
    else if (r % 5 == 0) out.push_back(' ');
    else out.push_back(static_cast<uint8_t>('a' + (r >> 8) % 26));
  }
  return out;
}

}  // namespace corv
