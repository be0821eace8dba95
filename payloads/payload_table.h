// What each embedded payload must look like: the file it is built from and the
// header values, counts and sizes the rest of the program relies on. The payload
// check holds files to these values, and the generator makes stand-ins that meet
// them.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "payloads/catalogue.h"

namespace corv {

struct ImageLayout {
  ImageName name;
  std::string_view file;
  uint32_t startAddress;
  uint32_t totalLength;  // the progress bar's nominal count
  uint32_t recordCount;
  uint32_t firstRecordAddress;
  uint32_t dataBytes;
  uint32_t streamSize;
  bool fullRecords;      // every record exactly 128 bytes (else at most 128)
  int mcuType;           // decides which old-fields area must stay free
  uint32_t crc;          // CRC-32 of the data of the stand-in; 0 for programmers
};

inline constexpr uint32_t kRecordSpacing = 128;
inline constexpr uint32_t kMaxRecordLength = 128;

inline constexpr std::array<ImageLayout, kImageCount> kImageLayouts = {{
    {ImageName::ProgrammerA, "programmer_a.img", 0x00FFD088, 5856, 46, 0x00FFD080, 5856, 6144, false, 2, 0},
    {ImageName::ProgrammerB, "programmer_b.img", 0x00FFD088, 5856, 46, 0x00FFD080, 5856, 6144, false, 2, 0},
    {ImageName::ProgrammerC, "programmer_c.img", 0x40000200, 20056, 158, 0x40000000, 20056, 21016, false, 3, 0},
    {ImageName::ProgrammerD, "programmer_d.img", 0x10002305, 9340, 73, 0x10000200, 9340, 9790, false, 5, 0},
    {ImageName::StringsProgrammerA, "strings_programmer_a.img", 0x00FFD088, 4540, 36, 0x00FFD080, 4540, 4768, false, 2, 0},
    {ImageName::StringsProgrammerB, "strings_programmer_b.img", 0x00FFD088, 4540, 36, 0x00FFD080, 4540, 4768, false, 2, 0},
    {ImageName::BootLoaderMcu2, "boot_loader_mcu2.img", 0x00001000, 4272, 35, 0, 4480, 4702, true, 2, kBootLoaderCrcMcu2},
    {ImageName::BootLoaderMcu3, "boot_loader_mcu3.img", 0x00000400, 7900, 57, 0, 7296, 7650, true, 3, kBootLoaderCrcMcu3},
    {ImageName::BootLoaderMcu5, "boot_loader_mcu5.img", 0x00001EC1, 8240, 62, 0, 7936, 8320, true, 5, kBootLoaderCrcMcu5},
    {ImageName::DisplaySoftwareMcu2, "display_mcu2.img", 0x00002080, 183853, 1436, 0, 183808, 192436, true, 2, kDisplayMcu2Checksum},
    {ImageName::DisplaySoftwareMcu3, "display_mcu3.img", 0x00004040, 194328, 1515, 0x4000, 193920, 203022, true, 3, kDisplayMcu3Checksum},
    {ImageName::TransmitterSoftwareSmallEeprom, "transmitter_small_eeprom.img", 0x00002080, 244707, 1914, 0, 244992, 256488, true, 2, kTransmitterSmallChecksum},
    {ImageName::TransmitterSoftware128kEeprom, "transmitter_128k_eeprom.img", 0x00002080, 233263, 1825, 0, 233600, 244562, true, 2, kTransmitter128kChecksum},
}};

struct FileLayout {
  std::string_view file;
  uint32_t length;
  std::string_view beginning;  // the bytes the file must start with
  int fileNumber;              // the unit's file number; -1 for the strings file
};

inline constexpr std::string_view kStringsHeaderBytes{"\x00\x00\xFA\xD4\x00\x00\x00\x9C\x53\x54\x9E\xBB", 12};
inline constexpr std::string_view kImagesBeginning{"IM\x0C\x10", 4};
inline constexpr std::string_view kFontBeginning{"FO$", 3};

inline constexpr FileLayout kStringsFileLayout{"strings.bin", kStringsFileSize, kStringsHeaderBytes, -1};
inline constexpr FileLayout kImagesFileLayout{"images.bin", 540012, kImagesBeginning, kImagesFileNumber};

inline constexpr std::array<FileLayout, kFontCount> kFontLayouts = {{
    {"font01.bin", 1204, kFontBeginning, 80},
    {"font02.bin", 380, kFontBeginning, 81},
    {"font03.bin", 543, kFontBeginning, 82},
    {"font04.bin", 712, kFontBeginning, 83},
    {"font05.bin", 914, kFontBeginning, 84},
    {"font06.bin", 1116, kFontBeginning, 85},
    {"font07.bin", 1407, kFontBeginning, 86},
    {"font08.bin", 1710, kFontBeginning, 87},
    {"font09.bin", 2051, kFontBeginning, 88},
    {"font10.bin", 2300, kFontBeginning, 89},
    {"font11.bin", 7294, kFontBeginning, 90},
    {"font12.bin", 12396, kFontBeginning, 91},
    {"font13.bin", 18623, kFontBeginning, 92},
    {"font14.bin", 48973, kFontBeginning, 93},
}};

}  // namespace corv
