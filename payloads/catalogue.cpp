// The catalogue over the byte blocks the assembler embedded (embed.S in the build
// tree): each payload file sits between a _begin and an _end label.
#include "payloads/catalogue.h"

#include <cstdint>

#include "payloads/payload_table.h"

#define CORV_PAYLOAD(stem)                          \
  extern "C" const uint8_t corv_payload_##stem##_begin[]; \
  extern "C" const uint8_t corv_payload_##stem##_end[];
CORV_PAYLOAD(programmer_a)
CORV_PAYLOAD(programmer_b)
CORV_PAYLOAD(programmer_c)
CORV_PAYLOAD(programmer_d)
CORV_PAYLOAD(strings_programmer_a)
CORV_PAYLOAD(strings_programmer_b)
CORV_PAYLOAD(boot_loader_mcu2)
CORV_PAYLOAD(boot_loader_mcu3)
CORV_PAYLOAD(boot_loader_mcu5)
CORV_PAYLOAD(display_mcu2)
CORV_PAYLOAD(display_mcu3)
CORV_PAYLOAD(transmitter_small_eeprom)
CORV_PAYLOAD(transmitter_128k_eeprom)
CORV_PAYLOAD(strings)
CORV_PAYLOAD(images)
CORV_PAYLOAD(font01)
CORV_PAYLOAD(font02)
CORV_PAYLOAD(font03)
CORV_PAYLOAD(font04)
CORV_PAYLOAD(font05)
CORV_PAYLOAD(font06)
CORV_PAYLOAD(font07)
CORV_PAYLOAD(font08)
CORV_PAYLOAD(font09)
CORV_PAYLOAD(font10)
CORV_PAYLOAD(font11)
CORV_PAYLOAD(font12)
CORV_PAYLOAD(font13)
CORV_PAYLOAD(font14)
#undef CORV_PAYLOAD

namespace corv {
namespace {

ByteBlock Block(const uint8_t* begin, const uint8_t* end) {
  // The labels belong to one assembled section; their distance is the file size.
  auto length = reinterpret_cast<uintptr_t>(end) - reinterpret_cast<uintptr_t>(begin);
  return ByteBlock{begin, static_cast<uint32_t>(length)};
}

#define CORV_BLOCK(stem) Block(corv_payload_##stem##_begin, corv_payload_##stem##_end)

}  // namespace

ByteBlock ImageBlock(ImageName name) {
  switch (name) {
    case ImageName::ProgrammerA: return CORV_BLOCK(programmer_a);
    case ImageName::ProgrammerB: return CORV_BLOCK(programmer_b);
    case ImageName::ProgrammerC: return CORV_BLOCK(programmer_c);
    case ImageName::ProgrammerD: return CORV_BLOCK(programmer_d);
    case ImageName::StringsProgrammerA: return CORV_BLOCK(strings_programmer_a);
    case ImageName::StringsProgrammerB: return CORV_BLOCK(strings_programmer_b);
    case ImageName::BootLoaderMcu2: return CORV_BLOCK(boot_loader_mcu2);
    case ImageName::BootLoaderMcu3: return CORV_BLOCK(boot_loader_mcu3);
    case ImageName::BootLoaderMcu5: return CORV_BLOCK(boot_loader_mcu5);
    case ImageName::DisplaySoftwareMcu2: return CORV_BLOCK(display_mcu2);
    case ImageName::DisplaySoftwareMcu3: return CORV_BLOCK(display_mcu3);
    case ImageName::TransmitterSoftwareSmallEeprom: return CORV_BLOCK(transmitter_small_eeprom);
    case ImageName::TransmitterSoftware128kEeprom: return CORV_BLOCK(transmitter_128k_eeprom);
  }
  return {};
}

const uint8_t* ImageFirstByte(ImageName name) { return ImageBlock(name).data; }

ImageStream OpenImage(ImageName name) {
  ByteBlock b = ImageBlock(name);
  return ImageStream(b.data, b.length);
}

ByteBlock StringsFile() { return CORV_BLOCK(strings); }
ByteBlock ImagesFile() { return CORV_BLOCK(images); }

const std::array<FontEntry, kFontCount>& FontTable() {
  static const std::array<FontEntry, kFontCount> table = [] {
    const ByteBlock blocks[kFontCount] = {
        CORV_BLOCK(font01), CORV_BLOCK(font02), CORV_BLOCK(font03), CORV_BLOCK(font04), CORV_BLOCK(font05),
        CORV_BLOCK(font06), CORV_BLOCK(font07), CORV_BLOCK(font08), CORV_BLOCK(font09), CORV_BLOCK(font10),
        CORV_BLOCK(font11), CORV_BLOCK(font12), CORV_BLOCK(font13), CORV_BLOCK(font14),
    };
    std::array<FontEntry, kFontCount> t{};
    for (int i = 0; i < kFontCount; ++i) t[i] = FontEntry{blocks[i].data, blocks[i].length, static_cast<uint8_t>(kFontLayouts[i].fileNumber)};
    return t;
  }();
  return table;
}

uint32_t SoftwareChecksum(ImageName name) {
  switch (name) {
    case ImageName::DisplaySoftwareMcu2: return kDisplayMcu2Checksum;
    case ImageName::DisplaySoftwareMcu3: return kDisplayMcu3Checksum;
    case ImageName::TransmitterSoftwareSmallEeprom: return kTransmitterSmallChecksum;
    case ImageName::TransmitterSoftware128kEeprom: return kTransmitter128kChecksum;
    default: return 0;
  }
}

bool StandInPayloads() {
#ifdef CORV_REAL_PAYLOADS
  return false;
#else
  return true;
#endif
}

}  // namespace corv
