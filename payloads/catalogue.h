// The payloads carried inside the program: the flash programmers, boot-loader
// images and instrument software (image streams), and the files of the unit's
// flash drive (strings file, images file, fourteen fonts). Every payload is a
// read-only byte block linked into the executable; nothing is read from disk.
// Choosing which payload a unit gets is up to the callers; this offers each one
// by name, plus the values the program compares with what a unit reports.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "payloads/image_stream.h"

namespace corv {

enum class ImageName : uint8_t {
  ProgrammerA,                     // MCU type 2, boot-loader version 2
  ProgrammerB,                     // MCU type 2, boot-loader version 3
  ProgrammerC,                     // MCU type 3, boot-loader version 3
  ProgrammerD,                     // MCU type 5, boot-loader version 3
  StringsProgrammerA,              // Transmitter, MCU type 2, boot-loader version 2
  StringsProgrammerB,              // Transmitter, MCU type 2, boot-loader version 3
  BootLoaderMcu2,
  BootLoaderMcu3,
  BootLoaderMcu5,
  DisplaySoftwareMcu2,
  DisplaySoftwareMcu3,
  TransmitterSoftwareSmallEeprom,  // unit without a working 128K EEPROM
  TransmitterSoftware128kEeprom,   // unit with a working 128K EEPROM
};
inline constexpr int kImageCount = 13;

// A payload's bytes.
struct ByteBlock {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

struct FontEntry {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  uint8_t fileNumber = 0;  // the unit's flash-drive file number
};
inline constexpr int kFontCount = 14;

// First byte of an image stream; the stream carries its own end marker.
const uint8_t* ImageFirstByte(ImageName name);
// The whole block holding the stream (its length is the stream size).
ByteBlock ImageBlock(ImageName name);
// A reader positioned at the stream's first byte.
ImageStream OpenImage(ImageName name);

ByteBlock StringsFile();
ByteBlock ImagesFile();
// The fonts in the order they are sent, file numbers 80 to 93.
const std::array<FontEntry, kFontCount>& FontTable();

inline constexpr uint8_t kImagesFileNumber = 64;

// Strings-file header as embedded (12 bytes, big-endian): size, identification
// word, magic "ST", identification half-word. A unit reporting these four holds
// the embedded strings file.
inline constexpr uint32_t kStringsFileSize = 64212;
inline constexpr uint32_t kStringsIdentWord = 0x0000009C;
inline constexpr uint16_t kStringsMagic = 0x5354;
inline constexpr uint16_t kStringsIdentHalf = 0x9EBB;

// The four software payloads are instrument software 5.10; a unit that holds
// one reports this version and the payload's checksum.
inline constexpr uint16_t kPayloadSoftwareVersion = 510;
inline constexpr uint32_t kDisplayMcu2Checksum = 0x776A4F32;
inline constexpr uint32_t kDisplayMcu3Checksum = 0xCFD9091F;
inline constexpr uint32_t kTransmitter128kChecksum = 0x56149889;
inline constexpr uint32_t kTransmitterSmallChecksum = 0xDDBA46E5;

// CRC-32 (crc32.h) over the data of each boot-loader image: a flash pass with
// this value replaced the unit's boot loader.
inline constexpr uint32_t kBootLoaderCrcMcu2 = 0xB0071002;
inline constexpr uint32_t kBootLoaderCrcMcu3 = 0xB0071003;
inline constexpr uint32_t kBootLoaderCrcMcu5 = 0xB0071005;

// The checksum a unit reports for a software payload; 0 for other images.
uint32_t SoftwareChecksum(ImageName name);

// True when the embedded payloads are the build's generated stand-ins (their
// CRC-32 values are the checksums above); false when a build embedded real
// payload files instead.
bool StandInPayloads();

}  // namespace corv
