// The embedded payloads against the catalogue's published numbers, read the way
// the flash code reads them: through the image-stream reader.
#include <gtest/gtest.h>

#include <string>

#include "payloads/catalogue.h"
#include "payloads/crc32.h"
#include "tests/common/frames.h"

namespace corv {
namespace {

struct Expected {
  ImageName name;
  uint32_t start, total, records, firstAddress, dataBytes, streamSize;
  bool full;
  int mcu;
  uint32_t crc;  // 0: programmers carry none
};

// Written out from the catalogue's tables, independently of the build's table.
const Expected kExpected[] = {
    {ImageName::ProgrammerA, 0x00FFD088, 5856, 46, 0x00FFD080, 5856, 6144, false, 2, 0},
    {ImageName::ProgrammerB, 0x00FFD088, 5856, 46, 0x00FFD080, 5856, 6144, false, 2, 0},
    {ImageName::ProgrammerC, 0x40000200, 20056, 158, 0x40000000, 20056, 21016, false, 3, 0},
    {ImageName::ProgrammerD, 0x10002305, 9340, 73, 0x10000200, 9340, 9790, false, 5, 0},
    {ImageName::StringsProgrammerA, 0x00FFD088, 4540, 36, 0x00FFD080, 4540, 4768, false, 2, 0},
    {ImageName::StringsProgrammerB, 0x00FFD088, 4540, 36, 0x00FFD080, 4540, 4768, false, 2, 0},
    {ImageName::BootLoaderMcu2, 0x00001000, 4272, 35, 0, 4480, 4702, true, 2, 0xB0071002},
    {ImageName::BootLoaderMcu3, 0x00000400, 7900, 57, 0, 7296, 7650, true, 3, 0xB0071003},
    {ImageName::BootLoaderMcu5, 0x00001EC1, 8240, 62, 0, 7936, 8320, true, 5, 0xB0071005},
    {ImageName::DisplaySoftwareMcu2, 0x00002080, 183853, 1436, 0, 183808, 192436, true, 2, 0x776A4F32},
    {ImageName::DisplaySoftwareMcu3, 0x00004040, 194328, 1515, 0x4000, 193920, 203022, true, 3, 0xCFD9091F},
    {ImageName::TransmitterSoftwareSmallEeprom, 0x00002080, 244707, 1914, 0, 244992, 256488, true, 2, 0xDDBA46E5},
    {ImageName::TransmitterSoftware128kEeprom, 0x00002080, 233263, 1825, 0, 233600, 244562, true, 2, 0x56149889},
};

TEST(ImageCatalogue, EveryImageHasTheCataloguesLayout) {
  for (const Expected& e : kExpected) {
    SCOPED_TRACE("image " + std::to_string(static_cast<int>(e.name)));
    ASSERT_EQ(ImageFirstByte(e.name), ImageBlock(e.name).data);
    ImageStream s = OpenImage(e.name);
    EXPECT_EQ(s.ReadStartAddress(), e.start);
    EXPECT_EQ(s.ReadTotalLength(), e.total);

    uint32_t count = 0, data = 0, gaps = 0, crc = 0;
    uint64_t next = 0;
    bool oldFieldsTouched = false;
    ImageRecord r;
    while (s.NextRecord(r)) {
      if (count == 0) {
        EXPECT_EQ(r.address, e.firstAddress);
      } else if (r.address != next) {
        ++gaps;
      }
      EXPECT_EQ(r.address % 128, 0u) << "record " << count;
      EXPECT_GE(r.address, next) << "record " << count;
      if (e.full) {
        EXPECT_EQ(r.length, 128) << "record " << count;
      } else {
        EXPECT_TRUE(r.length >= 1 && r.length <= 128) << "record " << count;
      }
      uint32_t lo = e.mcu == 2 ? 512 : 768, hi = e.mcu == 2 ? 639 : 1023;
      if (r.address <= hi && r.address + r.length - 1 >= lo) oldFieldsTouched = true;
      crc = Crc32(r.data, r.length, crc);
      next = static_cast<uint64_t>(r.address) + r.length;
      data += r.length;
      ++count;
    }
    EXPECT_TRUE(s.Ended());
    EXPECT_FALSE(s.Broken());
    EXPECT_EQ(count, e.records);
    EXPECT_EQ(data, e.dataBytes);
    EXPECT_EQ(s.Position(), e.streamSize);
    EXPECT_EQ(ImageBlock(e.name).length, e.streamSize);
    EXPECT_FALSE(oldFieldsTouched);
    EXPECT_EQ(s.Get(), -1);
    if (e.name == ImageName::ProgrammerC) {
      EXPECT_EQ(gaps, 1u);
    }
    if (e.crc != 0) {
      EXPECT_GE(gaps, 2u);
      if (StandInPayloads()) {
        EXPECT_EQ(crc, e.crc);
      }
    }
  }
  if (!StandInPayloads()) GTEST_SKIP() << "real payloads: their checksums against the table were not compared";
}

TEST(ImageCatalogue, ChecksumsAndBootLoaderConstants) {
  EXPECT_EQ(SoftwareChecksum(ImageName::DisplaySoftwareMcu2), 0x776A4F32u);
  EXPECT_EQ(SoftwareChecksum(ImageName::DisplaySoftwareMcu3), 0xCFD9091Fu);
  EXPECT_EQ(SoftwareChecksum(ImageName::TransmitterSoftware128kEeprom), 0x56149889u);
  EXPECT_EQ(SoftwareChecksum(ImageName::TransmitterSoftwareSmallEeprom), 0xDDBA46E5u);
  EXPECT_EQ(SoftwareChecksum(ImageName::BootLoaderMcu3), 0u);
  EXPECT_EQ(SoftwareChecksum(ImageName::ProgrammerC), 0u);
  EXPECT_EQ(kPayloadSoftwareVersion, 510);
}

TEST(FlashDriveFiles, HeadersLengthsAndFileNumbers) {
  ByteBlock strings = StringsFile();
  ASSERT_EQ(strings.length, 64212u);
  EXPECT_EQ(testing::GetBig(strings.data, 4), 64212u);
  EXPECT_EQ(testing::GetBig(strings.data + 4, 4), 0x9Cu);
  EXPECT_EQ(testing::GetBig(strings.data + 8, 2), 0x5354u);
  EXPECT_EQ(testing::GetBig(strings.data + 10, 2), 0x9EBBu);
  EXPECT_EQ(kStringsFileSize, 64212u);
  EXPECT_EQ(kStringsIdentWord, 0x9Cu);
  EXPECT_EQ(kStringsMagic, 0x5354u);
  EXPECT_EQ(kStringsIdentHalf, 0x9EBBu);

  ByteBlock images = ImagesFile();
  ASSERT_EQ(images.length, 540012u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(images.data), 4), std::string("IM\x0C\x10", 4));
  EXPECT_EQ(kImagesFileNumber, 64);

  const uint32_t lengths[kFontCount] = {1204, 380, 543, 712, 914, 1116, 1407, 1710, 2051, 2300, 7294, 12396, 18623, 48973};
  const auto& fonts = FontTable();
  for (int i = 0; i < kFontCount; ++i) {
    SCOPED_TRACE("font " + std::to_string(i + 1));
    EXPECT_EQ(fonts[i].fileNumber, 80 + i);
    ASSERT_EQ(fonts[i].length, lengths[i]);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fonts[i].data), 3), "FO$");
  }
  // Distinct blocks: no two fonts share bytes.
  for (int i = 1; i < kFontCount; ++i)
    EXPECT_GE(reinterpret_cast<uintptr_t>(fonts[i].data), reinterpret_cast<uintptr_t>(fonts[i - 1].data) + fonts[i - 1].length);
}

}  // namespace
}  // namespace corv
