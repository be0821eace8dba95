// The image-stream reader on hand-made streams, the CRC-32, and the check that
// stops a build from embedding payload files that do not fit the catalogue.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "payloads/catalogue.h"
#include "payloads/crc32.h"
#include "payloads/payload_check.h"
#include "tests/common/frames.h"
#include "tests/common/scratch.h"
#include "tests/common/processes.h"

namespace corv {
namespace {

using Bytes = std::vector<uint8_t>;

using testing::Put32;

Bytes Stream(std::initializer_list<std::pair<uint32_t, uint16_t>> records, bool endMarker = true) {
  Bytes b;
  Put32(b, 0x40000200);
  Put32(b, 1234);
  uint8_t fill = 1;
  for (auto [address, length] : records) {
    Put32(b, address);
    b.push_back(static_cast<uint8_t>(length >> 8));
    b.push_back(static_cast<uint8_t>(length));
    for (int i = 0; i < length; ++i) b.push_back(fill);
    ++fill;
  }
  if (endMarker) Put32(b, kImageEndMarker);
  return b;
}

TEST(ImageStreamReader, RecordsBytesAndTheEnd) {
  Bytes b = Stream({{0, 128}, {384, 129}, {512, 3}});
  ImageStream s(b.data(), b.size());
  EXPECT_EQ(s.ReadStartAddress(), 0x40000200u);
  EXPECT_EQ(s.ReadTotalLength(), 1234u);
  ImageRecord r;
  ASSERT_TRUE(s.NextRecord(r));
  EXPECT_EQ(r.address, 0u);
  EXPECT_EQ(r.length, 128);
  EXPECT_EQ(r.data, b.data() + 14);
  ASSERT_TRUE(s.NextRecord(r));
  EXPECT_EQ(r.address, 384u);
  EXPECT_EQ(r.length, 129);
  EXPECT_EQ(r.data[128], 2);
  // Byte reads and record reads share the position: the next record's header.
  EXPECT_EQ(s.Get(), 0);
  EXPECT_EQ(s.Get(), 0);
  EXPECT_EQ(s.Get(), 2);
  EXPECT_EQ(s.Get(), 0);
  EXPECT_EQ(s.Get(), 0);
  EXPECT_EQ(s.Get(), 3);
  EXPECT_EQ(s.Get(), 3);
  EXPECT_EQ(s.Get(), 3);
  EXPECT_EQ(s.Get(), 3);
  EXPECT_FALSE(s.NextRecord(r));
  EXPECT_TRUE(s.Ended());
  EXPECT_FALSE(s.Broken());
  EXPECT_EQ(s.Position(), b.size());
  EXPECT_EQ(s.Get(), -1);
  EXPECT_FALSE(s.NextRecord(r));

  // A stream whose records begin with the end marker has none.
  Bytes empty = Stream({});
  ImageStream e(empty.data(), empty.size());
  e.ReadStartAddress();
  e.ReadTotalLength();
  EXPECT_FALSE(e.NextRecord(r));
  EXPECT_TRUE(e.Ended());
  EXPECT_EQ(e.Position(), 12u);

  // Cut inside a record's data, inside a length, and before the header ends:
  // the reader stops at the block's end and says so.
  Bytes cut = Stream({{0, 128}, {128, 100}}, false);
  for (size_t size : {cut.size() - 1, size_t{8 + 134 + 5}, size_t{8 + 134}, size_t{6}}) {
    SCOPED_TRACE("size " + std::to_string(size));
    ImageStream c(cut.data(), size);
    c.ReadStartAddress();
    c.ReadTotalLength();
    while (c.NextRecord(r)) EXPECT_LE(r.data + r.length, cut.data() + size);
    EXPECT_TRUE(c.Broken());
    EXPECT_FALSE(c.Ended());
    EXPECT_EQ(c.Get(), -1);
  }
}

TEST(ImageCrc, StandardValuesAndPieces) {
  const std::string check = "123456789";
  const auto* p = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(Crc32(p, 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(p + 4, 5, Crc32(p, 4)), 0xCBF43926u);
  EXPECT_EQ(Crc32(p, 0), 0u);
  const uint8_t zeros[4] = {};
  EXPECT_EQ(Crc32(zeros, 4), 0x2144DF1Cu);
  ByteBlock bl = ImageBlock(ImageName::BootLoaderMcu5);
  if (!StandInPayloads()) GTEST_SKIP() << "real payloads: the boot loader's stand-in checksum is not known here";
  EXPECT_EQ(ImageDataCrc(bl.data, bl.length), 0xB0071005u);
}

const ImageLayout& LayoutOf(ImageName name) {
  for (const ImageLayout& s : kImageLayouts)
    if (s.name == name) return s;
  throw std::logic_error("no entry");
}

Bytes Copy(ImageName name) {
  ByteBlock b = ImageBlock(name);
  return Bytes(b.data, b.data + b.length);
}

TEST(PayloadCheck, RefusesWhatDoesNotFitTheCatalogue) {
  const ImageLayout& bl2 = LayoutOf(ImageName::BootLoaderMcu2);
  Bytes good = Copy(ImageName::BootLoaderMcu2);
  EXPECT_EQ(CheckImage(bl2, good.data(), good.size()), "");

  auto refused = [&](Bytes b, const std::string& words) {
    std::string problem = CheckImage(bl2, b.data(), b.size());
    EXPECT_NE(problem.find("boot_loader_mcu2.img: "), std::string::npos) << problem;
    EXPECT_NE(problem.find(words), std::string::npos) << problem;
  };
  Bytes b = good;
  b[3] ^= 1;
  refused(b, "start address");
  b = good;
  b[7] ^= 1;
  refused(b, "total length");
  // The fifth record (slot 5, address 640) moved onto the old-fields area.
  size_t fifth = 8 + 4 * 134;
  b = good;
  b[fifth + 2] = 0x02;
  b[fifth + 3] = 0x00;
  refused(b, "old-fields");
  b = good;
  b[fifth + 3] = 0x81;
  refused(b, "multiple of 128");
  b = good;
  b[fifth + 2] = 0x01;
  b[fifth + 3] = 0x00;
  refused(b, "rising order");
  b = good;
  b[8 + 5] = 127;  // first record one byte short: every later header shifts
  EXPECT_NE(CheckImage(bl2, b.data(), b.size()), "");
  b = good;
  b.resize(b.size() - 4);
  refused(b, "end marker");
  b = good;
  b.push_back(0);
  refused(b, "file size");
  // The end marker one record early: a record short.
  b = good;
  size_t last = good.size() - 4 - 134;
  b.resize(last);
  Put32(b, kImageEndMarker);
  refused(b, "record count");

  // A programmer's records may be short, but not empty or over 128.
  const ImageLayout& pa = LayoutOf(ImageName::ProgrammerA);
  Bytes prog = Copy(ImageName::ProgrammerA);
  EXPECT_EQ(CheckImage(pa, prog.data(), prog.size()), "");
  prog[8 + 4] = 0;
  prog[8 + 5] = 129;
  EXPECT_NE(CheckImage(pa, prog.data(), prog.size()).find("record length"), std::string::npos);

  ByteBlock s = StringsFile();
  Bytes strings(s.data, s.data + s.length);
  EXPECT_EQ(CheckFile(kStringsFileLayout, strings.data(), strings.size()), "");
  strings[11] ^= 1;
  EXPECT_NE(CheckFile(kStringsFileLayout, strings.data(), strings.size()).find("header"), std::string::npos);
  strings[11] ^= 1;
  strings.pop_back();
  EXPECT_NE(CheckFile(kStringsFileLayout, strings.data(), strings.size()).find("size 64211"), std::string::npos);
  const FontEntry& f2 = FontTable()[1];
  Bytes font(f2.data, f2.data + f2.length);
  EXPECT_EQ(CheckFile(kFontLayouts[1], font.data(), font.size()), "");
  EXPECT_NE(CheckFile(kFontLayouts[0], font.data(), font.size()), "");  // font 1's length differs
  font[2] = '#';
  EXPECT_NE(CheckFile(kFontLayouts[1], font.data(), font.size()), "");
}

// Only MCU types 1 and 2 keep old fields in low flash; a boot loader of the
// other types may cover 768..1023, where they keep nothing.
TEST(PayloadCheck, OldFieldsAreaIsFreeOnlyWhereTheUnitKeepsOldFields) {
  struct Case {
    ImageName name;
    uint32_t movedTo;  // the seventh record's new address
    bool refused;
  };
  for (const Case& c : {Case{ImageName::BootLoaderMcu3, 768, false}, Case{ImageName::BootLoaderMcu3, 896, false},
                        Case{ImageName::BootLoaderMcu5, 768, false}, Case{ImageName::BootLoaderMcu2, 512, true}}) {
    const ImageLayout& entry = LayoutOf(c.name);
    SCOPED_TRACE(std::string(entry.file) + " at " + std::to_string(c.movedTo));
    Bytes b = Copy(c.name);
    size_t seventh = 8 + 6 * 134;
    if (c.name == ImageName::BootLoaderMcu2) seventh = 8 + 4 * 134;  // the fifth, after slots 0..3
    testing::Set32(b, seventh, c.movedTo);
    const std::string problem = CheckImage(entry, b.data(), b.size());
    if (c.refused) {
      EXPECT_NE(problem.find("old-fields"), std::string::npos) << problem;
    } else {
      EXPECT_EQ(problem, "");
    }
  }
}

// Runs the build's payload tool; its exit status and what it printed.
int RunTool(const std::vector<std::string>& args, std::string& output) {
  testing::Finished r = testing::RunToEnd(testing::BinDir() + "/corv_payload_tool", args,
                                          {.input = testing::Input::DevNull}, "", 60, 60);
  output = std::move(r.out);
  return r.status;
}

Bytes ReadAll(const std::filesystem::path& path) {
  const std::string bytes = testing::ReadFile(path);
  return Bytes(bytes.begin(), bytes.end());
}

TEST(PayloadTool, RegeneratesTheSameBytesAndRefusesAWrongFolder) {
  const testing::TempDir scratch("corv-payloads");
  const std::filesystem::path dir = scratch.path;
  std::string output;
  ASSERT_EQ(RunTool({"generate", dir.string()}, output), 0) << output;
  if (StandInPayloads()) {
    // A fresh run gives the very bytes this build embedded.
    for (const ImageLayout& entry : kImageLayouts) {
      ByteBlock b = ImageBlock(entry.name);
      EXPECT_EQ(ReadAll(dir / entry.file), Bytes(b.data, b.data + b.length)) << entry.file;
    }
    ByteBlock i = ImagesFile();
    EXPECT_EQ(ReadAll(dir / "images.bin"), Bytes(i.data, i.data + i.length));
    const FontEntry& f14 = FontTable()[13];
    EXPECT_EQ(ReadAll(dir / "font14.bin"), Bytes(f14.data, f14.data + f14.length));
  }
  EXPECT_EQ(RunTool({"check", dir.string()}, output), 0) << output;

  // One software image with a short record, one font missing.
  std::filesystem::path software = dir / "display_mcu3.img";
  Bytes bad = ReadAll(software);
  bad[8 + 5] = 64;
  std::ofstream(software, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bad.data()), bad.size());
  std::filesystem::remove(dir / "font07.bin");
  EXPECT_EQ(RunTool({"check", dir.string()}, output), 1);
  EXPECT_NE(output.find("display_mcu3.img: "), std::string::npos) << output;
  EXPECT_NE(output.find("font07.bin: missing"), std::string::npos) << output;
  EXPECT_NE(output.find("refusing to embed it"), std::string::npos) << output;
  EXPECT_EQ(output.find("font06.bin"), std::string::npos) << output;
  EXPECT_EQ(RunTool({"check"}, output), 2);
  if (!StandInPayloads()) GTEST_SKIP() << "real payloads: the stand-ins' bytes were not compared";
}

}  // namespace
}  // namespace corv
