// The flash drive's files and their attribute words, the strings area, the LPC
// ISP chip, the modem, and the unit's resynchronisation and reply faults.
#include <gtest/gtest.h>

#include "sim/unit_data.h"
#include "tests/sim/bench.h"

namespace corv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FileCmd(uint16_t code, uint8_t file) {
  Bytes f = Cmd(1, code);
  Put8(f, file);
  return f;
}

Bytes FileBlock(uint8_t file, uint32_t offset, const Bytes& data, size_t from, size_t n) {
  Bytes w = FileCmd(0x1071, file);
  Put32(w, offset);
  Put8(w, static_cast<uint32_t>(n));
  w.insert(w.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
           data.begin() + static_cast<std::ptrdiff_t>(from + n));
  return w;
}

// Writes a 302-byte file as 128, 128 and 46 bytes; returns its attribute reply.
Bytes Write302(Bench& b, const Bytes& data) {
  EXPECT_EQ(b.Ask(FileCmd(0x1070, 0x50)).back(), 0);
  for (uint32_t off = 0; off < data.size(); off += 128) {
    const size_t n = std::min<size_t>(128, data.size() - off);
    const Bytes r = b.Ask(FileBlock(0x50, off, data, off, n));
    EXPECT_EQ(r.size(), 11u);
    EXPECT_EQ(r.back(), 0);
  }
  EXPECT_EQ(b.Ask(FileCmd(0x1080, 0x50)).back(), 0);
  return b.Ask(FileCmd(0x1082, 0x50));
}

TEST(UnitFiles, AttributesOfA302ByteFileByMcuWordOrder) {
  Bytes data(302);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  // Length, the sums of the even and odd 32-bit words and their exclusive ors,
  // over 76 words (the last two bytes padded with zeros), little-endian words
  // (MCU type 3) and big-endian ones (MCU type 2).
  const std::array<uint32_t, 5> le = {302, 0x1F1409EE, 0xFBF93316, 0xB8484818, 0x320B18C8};
  const std::array<uint32_t, 5> be = {302, 0x000B150C, 0x2831F8EA, 0x184848B8, 0xC8180B32};
  Bench b3(DefaultProfile());
  StartProgrammer(b3);
  EXPECT_EQ(b3.Ask(FileCmd(0x1082, 0x50)), (Bytes{1, 0x45, 0x10, 0x82, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                    0, 0, 0, 0, 0, 0}))
      << "a missing file";
  const Bytes a3 = Write302(b3, data);
  ASSERT_EQ(a3.size(), 25u);
  EXPECT_EQ(a3[4], 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Get32(a3, 5 + 4 * i), le[i]) << "word " << i;

  Bench b2(DisplayMcu2Profile());
  StartProgrammer(b2);
  const Bytes a2 = Write302(b2, data);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Get32(a2, 5 + 4 * i), be[i]) << "word " << i;

  // Read back: the read reply carries 0x1061.
  EXPECT_EQ(b3.Ask(FileCmd(0x1060, 0x50)).back(), 0);
  Bytes rd = FileCmd(0x1062, 0x50);
  Put32(rd, 256);
  Put8(rd, 46);
  const Bytes r = b3.Ask(rd);
  ASSERT_EQ(r.size(), 56u);
  EXPECT_EQ(r[3], 0x61);
  EXPECT_EQ(Bytes(r.begin() + 10, r.end()), Bytes(data.begin() + 256, data.end()));
  EXPECT_EQ(b3.Ask(FileCmd(0x1080, 0x50)).back(), 0);
  EXPECT_EQ(b3.Ask(FileCmd(0x1060, 0x51)).back(), 1) << "no such file";
  EXPECT_EQ(b3.Ask(FileBlock(0x50, 0, data, 0, 4)).back(), 2) << "not created for writing";
}

TEST(UnitFiles, EmptyFileAndBlockFaults) {
  Bench b(DefaultProfile());
  b.unit.faults.fileBlockResult[2] = 0x21;
  StartProgrammer(b);
  EXPECT_EQ(b.Ask(FileCmd(0x1070, 0x40)).back(), 0);
  EXPECT_EQ(b.Ask(FileCmd(0x1080, 0x40)).back(), 0);
  EXPECT_EQ(b.unit.Attributes(0x40), (std::array<uint32_t, 5>{}));
  EXPECT_EQ(b.Ask(FileCmd(0x1082, 0x40))[4], 0) << "an empty file exists";
  const Bytes data(256, 0x5A);
  EXPECT_EQ(b.Ask(FileCmd(0x1070, 0x40)).back(), 0);
  EXPECT_EQ(b.Ask(FileBlock(0x40, 0, data, 0, 128)).back(), 0);
  EXPECT_EQ(b.Ask(FileBlock(0x40, 128, data, 128, 128)).back(), 0x21);
  EXPECT_EQ(b.unit.Files().at(0x40).size(), 128u) << "the failed block was not written";
}

TEST(UnitStrings, AreaHoldsWhatIsWrittenAndReportsItsHeader) {
  UnitProfile p = TransmitterMcu2Profile(1);
  Bench b(p);
  StartProgrammer(b);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1058)),
            (Bytes{1, 0x45, 0x10, 0x58, 1, 0, 0, 0xFA, 0x00, 0, 0, 0, 0x9B, 0x53, 0x54, 0x11, 0x11}));
  auto write = [&](uint32_t off, const Bytes& d) {
    Bytes w = Cmd(1, 0x1059);
    Put32(w, off);
    Put8(w, static_cast<uint32_t>(d.size()));
    w.insert(w.end(), d.begin(), d.end());
    return b.Ask(w);
  };
  EXPECT_EQ(write(0, Bytes(128, 0xFF)), (Bytes{1, 0x45, 0x10, 0x59, 0, 0, 0, 0, 128, 0}));
  EXPECT_EQ(b.Ask(Cmd(1, 0x1058)), (Bytes{1, 0x45, 0x10, 0x58, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xFF, 0xFF, 0xFF, 0xFF}))
      << "no valid header while the file is written";
  const Bytes header{0, 0, 0, 100, 0, 0, 0, 0x9C, 0x53, 0x54, 0x9E, 0xBB};
  EXPECT_EQ(write(0, header).back(), 0);
  EXPECT_EQ(b.Ask(Cmd(1, 0x1058)),
            (Bytes{1, 0x45, 0x10, 0x58, 1, 0, 0, 0, 100, 0, 0, 0, 0x9C, 0x53, 0x54, 0x9E, 0xBB}));
  Bytes rd = Cmd(1, 0x105A);
  Put32(rd, 8);
  Put8(rd, 6);
  EXPECT_EQ(b.Ask(rd), (Bytes{1, 0x45, 0x10, 0x5A, 0, 0, 0, 8, 6, 0x53, 0x54, 0x9E, 0xBB, 0xFF, 0xFF}));
  EXPECT_EQ(write(131072 - 4, Bytes(8, 1)).back(), 0x11) << "beyond the 128K EEPROM";

  Bench failed(TransmitterMcu2Profile(2));
  StartProgrammer(failed);
  EXPECT_EQ(failed.Ask(Cmd(1, 0x1058))[4], 2);
  Bytes w = Cmd(1, 0x1059);
  Put32(w, 0);
  Put8(w, 1);
  Put8(w, 0);
  EXPECT_NE(failed.Ask(w).back(), 0) << "a failed EEPROM takes no writes";
}

TEST(UnitSpecialKinds, LpcSynchronisesModemAnswersDeadPortIsSilent) {
  UnitProfile lpc;
  lpc.kind = UnitKind::LpcIsp;
  lpc.rate = 115200;
  Bench l(lpc);
  EXPECT_TRUE(l.Feed(Framed({240, 0x41})).empty()) << "frames mean nothing to it";
  const Bytes sync = l.Feed({'?'});
  EXPECT_EQ(std::string(sync.begin(), sync.end()), "Synchronized\r\n");
  const std::string line = "Synchronized\r\n";
  const Bytes ok = l.Feed(Bytes(line.begin(), line.end()));
  EXPECT_EQ(std::string(ok.begin(), ok.end()), "Synchronized\r\nOK\r\n");

  UnitProfile modem;
  modem.kind = UnitKind::Modem;
  modem.rate = 9600;
  Bench m(modem);
  m.Feed({0x12, 0x34, 'x'});  // earlier garbage on the line
  const Bytes answer = m.Feed({'A', 'T', '\r'});
  EXPECT_EQ(std::string(answer.begin(), answer.end()), "\r\nOK\r\n");

  UnitProfile dead;
  dead.kind = UnitKind::Dead;
  Bench d(dead);
  EXPECT_TRUE(d.Feed({'?'}).empty());
  EXPECT_TRUE(d.Feed(Framed({240, 0x41})).empty());
}

TEST(UnitFraming, ResynchronisesOnGarbageSilenceAndBadChecks) {
  Bench b(DefaultProfile());
  // Garbage and a damaged frame ahead of a good one.
  Bytes bad = Framed(Cmd(240, 0x1010));
  bad[3] ^= 1;
  Bytes stream{0x00, 0x45, 0x77};
  stream.insert(stream.end(), bad.begin(), bad.end());
  const Bytes good = Framed({240, 0x41});
  stream.insert(stream.end(), good.begin(), good.end());
  EXPECT_EQ(b.Feed(stream), Framed({240, 0x42}));
  EXPECT_GE(b.unit.Counters().droppedBytes, 3u);

  // Half a frame, a silence, then a whole one: the half is dropped.
  const Bytes versions = Framed(Cmd(240, 0x1010));
  b.Feed(Bytes(versions.begin(), versions.begin() + 3));
  b.Wait(50000);
  EXPECT_EQ(b.Feed(versions).size(), 14u);
  // Frames for other units are read and left unanswered.
  EXPECT_TRUE(b.Ask(Cmd(5, 0x1010)).empty());
  EXPECT_TRUE(b.Ask({240, 0x47}).empty());
}

TEST(UnitFraming, ReplyFaultsDropStrayCorruptLate) {
  Bench b(DefaultProfile());
  b.unit.faults.dropReply = {1};
  b.unit.faults.strayBeforeReply = {2};
  b.unit.faults.corruptReply = {3};
  b.unit.faults.lateReplyUs[4] = 300000;
  const Bytes q = Framed({240, 0x41});
  const Bytes a = Framed({240, 0x42});
  EXPECT_TRUE(b.Feed(q).empty());
  Bytes stray = a;
  stray.insert(stray.begin(), 0x00);
  EXPECT_EQ(b.Feed(q), stray);
  const Bytes corrupt = b.Feed(q);
  EXPECT_EQ(corrupt.size(), 4u);
  EXPECT_NE(Crc16(corrupt.data(), corrupt.size()), 0);
  const uint64_t asked = b.now;
  EXPECT_EQ(b.Feed(q), a);
  EXPECT_GE(b.wire.sent.back().atUs, asked + 300000);
  EXPECT_EQ(b.Feed(q), a);
  EXPECT_EQ(b.unit.Counters().replies, 5u);
}

}  // namespace
}  // namespace corv::sim::test
